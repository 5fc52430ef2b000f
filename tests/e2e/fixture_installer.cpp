// Stand-in installer: records its command line, then does what the scenario in
// its settings says for this run and exits with the code it gives. The
// settings lie beside it in stand-in.txt (UTF-16, lines record=, installer=,
// marker=): a launcher that elevates it passes no environment.
// The scenario holds one part a run, separated by ';'; each part holds actions
// separated by ',':  reg=<AppDir>@<hex version>[@<autorun>]  del  exit=<code>
// What it registers carries the marker value (the conformance program
// recorded it before the launcher started), and it deletes only a
// registration that carries that marker.
#include <stdlib.h>
#include <wchar.h>

#include "fixture_record.h"

static const wchar_t kKey[] = L"Software\\Ervast\\Orvane";
static const wchar_t kMarker[] = L"OrvaneConformanceRun";

static wchar_t Marker[64];
static wchar_t Scenario[4096];

// Reads stand-in.txt beside this program into RecordPath, Scenario and Marker
// (without one, the last two from ORVANE_E2E_INSTALLER and ORVANE_E2E_MARKER).
static void ReadSettings()
{
    static wchar_t text[8192];
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = wcsrchr(path, L'\\');
    if (length == 0 || length >= MAX_PATH - 16 || slash == nullptr)
        return;
    wcscpy(slash + 1, L"stand-in.txt");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {  // started by the tests' runner: its environment
        GetEnvironmentVariableW(L"ORVANE_E2E_INSTALLER", Scenario, 4096);
        GetEnvironmentVariableW(L"ORVANE_E2E_MARKER", Marker, 64);
        return;
    }
    DWORD read = 0;
    ReadFile(file, text, sizeof text - sizeof(wchar_t), &read, nullptr);
    CloseHandle(file);
    text[read / sizeof(wchar_t)] = L'\0';
    struct Field {
        const wchar_t* key;
        wchar_t* value;
        size_t size;
    } fields[] = {{L"record=", RecordPath, MAX_PATH},
                  {L"installer=", Scenario, 4096},
                  {L"marker=", Marker, 64}};
    for (wchar_t* line = wcstok(text, L"\r\n"); line != nullptr;
         line = wcstok(nullptr, L"\r\n")) {
        for (Field& field : fields) {
            size_t key = wcslen(field.key);
            if (wcsncmp(line, field.key, key) == 0 && wcslen(line + key) < field.size)
                wcscpy(field.value, line + key);
        }
    }
}

static int CountEarlierRuns()
{
    if (!KnowRecordPath())
        return 0;
    HANDLE file = CreateFileW(RecordPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    static char text[65536];
    DWORD read = 0;
    ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    text[read] = '\0';
    int runs = 0;
    for (char* line = text; line != nullptr && *line != '\0';) {
        if (strncmp(line, "installer\t", 10) == 0)
            ++runs;
        line = strchr(line, '\n');
        if (line != nullptr)
            ++line;
    }
    return runs;
}

static void SetText(HKEY key, const wchar_t* name, const wchar_t* text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

static void SetNumber(HKEY key, const wchar_t* name, DWORD number)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
}

// The marker first: a key cut short by a kill is still known as this run's.
// Whether the key carries this run's marker.
static bool Ours(HKEY key)
{
    wchar_t marker[64] = {};
    DWORD type = 0, size = sizeof marker - sizeof(wchar_t);
    return RegQueryValueExW(key, kMarker, nullptr, &type, reinterpret_cast<BYTE*>(marker),
                            &size) == ERROR_SUCCESS &&
           type == REG_SZ && Marker[0] != L'\0' && wcscmp(marker, Marker) == 0;
}

static void Register(wchar_t* entry)
{
    wchar_t* version = wcschr(entry, L'@');
    if (version != nullptr)
        *version++ = L'\0';
    wchar_t* autorun = version != nullptr ? wcschr(version, L'@') : nullptr;
    if (autorun != nullptr)
        *autorun++ = L'\0';
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                        nullptr, &key, &disposition) != ERROR_SUCCESS)
        return;
    // A key that was there already is written into only when this run made it.
    if (disposition != REG_CREATED_NEW_KEY && !Ours(key)) {
        RegCloseKey(key);
        return;
    }
    SetText(key, kMarker, Marker);
    SetText(key, L"AppDir", entry);
    if (version != nullptr)
        SetNumber(key, L"PlayerVersion", wcstoul(version, nullptr, 16));
    SetNumber(key, L"AutorunPlayListCDs", autorun != nullptr ? wcstoul(autorun, nullptr, 10) : 1);
    RegCloseKey(key);
}

// Deletes the registration only when it carries this run's marker.
static void Unregister()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    bool ours = Ours(key);
    RegCloseKey(key);
    if (ours)
        RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    ReadSettings();
    int run = CountEarlierRuns();
    AppendRecord("installer", GetCommandLineA());
    if (Scenario[0] == L'\0')
        return 0;
    wchar_t* part = Scenario;
    for (int i = 0; i < run && part != nullptr; ++i) {
        part = wcschr(part, L';');
        if (part != nullptr)
            ++part;
    }
    if (part == nullptr)
        return 0;
    wchar_t* end = wcschr(part, L';');
    if (end != nullptr)
        *end = L'\0';

    int exitCode = 0;
    for (wchar_t* action = wcstok(part, L","); action != nullptr; action = wcstok(nullptr, L",")) {
        if (wcsncmp(action, L"reg=", 4) == 0)
            Register(action + 4);
        else if (wcscmp(action, L"del") == 0)
            Unregister();
        else if (wcsncmp(action, L"exit=", 5) == 0)
            exitCode = _wtoi(action + 5);
    }
    return exitCode;
}
