// Stand-in installer: records its command line, then does what the scenario in
// ORVANE_E2E_INSTALLER says for this run and exits with the code it gives.
// The scenario holds one part a run, separated by ';'; each part holds actions
// separated by ',':  reg=<AppDir>@<hex version>[@<autorun>]  del  exit=<code>
#include <stdlib.h>

#include "fixture_record.h"

static const char kKey[] = "Software\\Ervast\\Orvane";

static int CountEarlierRuns()
{
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("ORVANE_E2E_RECORD", path, sizeof path) == 0)
        return 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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

static void Register(char* entry)
{
    char* version = strchr(entry, '@');
    if (version != nullptr)
        *version++ = '\0';
    char* autorun = version != nullptr ? strchr(version, '@') : nullptr;
    if (autorun != nullptr)
        *autorun++ = '\0';
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "AppDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(entry),
                   static_cast<DWORD>(strlen(entry) + 1));
    if (version != nullptr) {
        DWORD value = strtoul(version, nullptr, 16);
        RegSetValueExA(key, "PlayerVersion", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    }
    DWORD on = autorun != nullptr ? strtoul(autorun, nullptr, 10) : 1;
    RegSetValueExA(key, "AutorunPlayListCDs", 0, REG_DWORD, reinterpret_cast<BYTE*>(&on), 4);
    RegCloseKey(key);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int run = CountEarlierRuns();
    AppendRecord("installer", GetCommandLineA());

    static char scenario[4096];
    if (GetEnvironmentVariableA("ORVANE_E2E_INSTALLER", scenario, sizeof scenario) == 0)
        return 0;
    char* part = scenario;
    for (int i = 0; i < run && part != nullptr; ++i) {
        part = strchr(part, ';');
        if (part != nullptr)
            ++part;
    }
    if (part == nullptr)
        return 0;
    char* end = strchr(part, ';');
    if (end != nullptr)
        *end = '\0';

    int exitCode = 0;
    for (char* action = strtok(part, ","); action != nullptr; action = strtok(nullptr, ",")) {
        if (strncmp(action, "reg=", 4) == 0)
            Register(action + 4);
        else if (strcmp(action, "del") == 0)
            RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        else if (strncmp(action, "exit=", 5) == 0)
            exitCode = atoi(action + 5);
    }
    return exitCode;
}
