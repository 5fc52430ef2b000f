// The registry: the player's registration as a scenario wants it, a real
// registration saved first (to a file of the work folder, so that a run killed
// outright is mended by the next) and put back after every scenario, and a
// listing of every key under Software with the time it was last written, to
// show that a run changed nothing.
#include "conformance.h"

static const wchar_t kVendorKey[] = L"Software\\Ervast";
static const wchar_t kPlayerKey[] = L"Software\\Ervast\\Orvane";

struct Place {
    HKEY root;
    REGSAM view;
};

// The current user, the machine's 32-bit view and its 64-bit view (on 32-bit
// Windows both views are the one machine key).
static const Place kPlaces[] = {{HKEY_CURRENT_USER, 0},
                                {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                                {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};

static int PlaceOf(Root root)
{
    switch (root) {
    case Root::User:
        return 0;
    case Root::Machine:
        return machine.launcher64 ? 2 : 1;
    case Root::Machine32:
        return 1;
    case Root::Machine64:
        return 2;
    }
    return 0;
}

static bool Writable(int place)
{
    return place == 0 || machine.mayWriteMachine;
}

// --- the saved registration -------------------------------------------------

// One value of a saved key tree, or the key itself (no name, type REG_NONE
// and no data, kind 'k'), or the vendor key's existence (kind 'v').
struct SavedEntry {
    int place;
    wchar_t kind;
    std::wstring key;  // below the player's key
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

static std::vector<SavedEntry> Saved;

static std::wstring SavePath()
{
    return machine.work + L"saved-registration.bin";
}

static void SaveTree(int place, HKEY key, const std::wstring& below)
{
    Saved.push_back({place, L'k', below, L"", REG_NONE, {}});
    wchar_t name[16384];
    static BYTE data[1 << 20];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 16384, size = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) !=
            ERROR_SUCCESS)
            break;
        Saved.push_back({place, L'=', below, name, type, std::vector<BYTE>(data, data + size)});
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY child;
        std::wstring childName = name;
        if (RegOpenKeyExW(key, childName.c_str(), 0, KEY_READ | kPlaces[place].view, &child) ==
            ERROR_SUCCESS) {
            SaveTree(place, child, below + L"\\" + childName);
            RegCloseKey(child);
        }
    }
}

// The saved file: every field of every entry as its size, then its bytes.
static void Put(std::vector<BYTE>& out, const void* bytes, size_t size)
{
    DWORD length = static_cast<DWORD>(size);
    const BYTE* p = static_cast<const BYTE*>(bytes);
    out.insert(out.end(), reinterpret_cast<BYTE*>(&length),
               reinterpret_cast<BYTE*>(&length) + sizeof length);
    out.insert(out.end(), p, p + size);
}

static bool WriteSavedFile(std::wstring* why)
{
    std::vector<BYTE> out;
    for (const SavedEntry& e : Saved) {
        Put(out, &e.place, sizeof e.place);
        Put(out, &e.kind, sizeof e.kind);
        Put(out, e.key.data(), e.key.size() * sizeof(wchar_t));
        Put(out, e.name.data(), e.name.size() * sizeof(wchar_t));
        Put(out, &e.type, sizeof e.type);
        Put(out, e.data.data(), e.data.size());
    }
    HANDLE file = CreateFileW(SavePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr) &&
              written == out.size() && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        *why = L"cannot write " + SavePath();
    return ok;
}

// The next field's bytes; empty when the file ends early.
static std::vector<BYTE> Take(const std::vector<BYTE>& in, size_t& at)
{
    DWORD length = 0;
    if (at + sizeof length > in.size())
        return {};
    memcpy(&length, in.data() + at, sizeof length);
    at += sizeof length;
    if (length > in.size() - at)
        return {};
    at += length;
    return std::vector<BYTE>(in.begin() + (at - length), in.begin() + at);
}

static std::wstring TakeText(const std::vector<BYTE>& in, size_t& at)
{
    std::vector<BYTE> bytes = Take(in, at);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                        bytes.size() / sizeof(wchar_t));
}

static bool ReadSavedFile()
{
    HANDLE file = CreateFileW(SavePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD read = 0;
    std::vector<BYTE> in(GetFileSize(file, nullptr));
    ReadFile(file, in.data(), static_cast<DWORD>(in.size()), &read, nullptr);
    CloseHandle(file);
    in.resize(read);
    Saved.clear();
    for (size_t at = 0; at < in.size();) {
        std::vector<BYTE> place = Take(in, at), kind = Take(in, at);
        std::wstring key = TakeText(in, at), name = TakeText(in, at);
        std::vector<BYTE> type = Take(in, at), data = Take(in, at);
        if (place.size() != sizeof(int) || kind.size() != sizeof(wchar_t) ||
            type.size() != sizeof(DWORD))
            break;
        SavedEntry entry{0, 0, key, name, 0, data};
        memcpy(&entry.place, place.data(), sizeof entry.place);
        memcpy(&entry.kind, kind.data(), sizeof entry.kind);
        memcpy(&entry.type, type.data(), sizeof entry.type);
        Saved.push_back(entry);
    }
    return true;
}

// --- Wine's search order ---------------------------------------------------------

static const wchar_t kWineProgramSettings[] = L"Software\\Wine\\AppDefaults";
static const wchar_t* const kPlantedPrograms[] = {L"OrvaneCD.exe", L"control.exe",
                                                  L"unmanifested.exe", L"unheld.exe"};

// Wine takes DLLs from its own system folder first; Windows searches the
// program's folder first for those it does not know. The planted scenarios
// need Windows' order: Wine reads it per program from its settings.
void SetWineSearchOrder(const std::wstring& program)
{
    std::wstring name = program.substr(program.rfind(L'\\') + 1);
    HKEY key;
    std::wstring path = std::wstring(kWineProgramSettings) + L"\\" + name + L"\\DllOverrides";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    static const wchar_t kOrder[] = L"native,builtin";
    for (const wchar_t* dll : {L"version", L"uxtheme", L"comctl32"})
        RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder), sizeof kOrder);
    RegCloseKey(key);
}

// RegDeleteKeyExW, which deletes in a named registry view, comes with Vista
// and 64-bit XP; 32-bit XP has one view, and RegDeleteKeyW serves there.
static LONG DeleteKey(HKEY parent, const wchar_t* name, REGSAM view)
{
    using DeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    auto deleteKeyEx = reinterpret_cast<DeleteKeyExFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    return deleteKeyEx != nullptr ? deleteKeyEx(parent, name, view, 0)
                                  : RegDeleteKeyW(parent, name);
}

// A key with everything below it, as RegDeleteTreeW (Vista on) does.
static bool DeleteTree(HKEY parent, const wchar_t* name, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExW(parent, name, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    wchar_t child[256];
    DWORD length = 256;
    while (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS &&
           DeleteTree(key, child, view))
        length = 256;
    RegCloseKey(key);
    return DeleteKey(parent, name, view) == ERROR_SUCCESS;
}

static void ForgetWineSearchOrder()
{
    HKEY settings;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kWineProgramSettings, 0, KEY_ALL_ACCESS, &settings) !=
        ERROR_SUCCESS)
        return;
    for (const wchar_t* program : kPlantedPrograms)
        DeleteTree(settings, program, 0);
    RegCloseKey(settings);
}

// Removes the player's key (and the vendor key, where it is left empty).
static void RemovePlayerKey(int place, bool vendorToo)
{
    HKEY vendor;
    if (RegOpenKeyExW(kPlaces[place].root, kVendorKey, 0, KEY_ALL_ACCESS | kPlaces[place].view,
                      &vendor) != ERROR_SUCCESS)
        return;
    DeleteTree(vendor, L"Orvane", kPlaces[place].view);
    DWORD subKeys = 1, values = 1;
    RegQueryInfoKeyW(vendor, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(vendor);
    if (vendorToo && subKeys == 0 && values == 0)
        DeleteKey(kPlaces[place].root, kVendorKey, kPlaces[place].view);
}

static HKEY CreateKey(int place, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(kPlaces[place].root, path.c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | kPlaces[place].view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool SaveRegistration(std::wstring* why)
{
    if (ReadSavedFile()) {
        Say(L"note: a run before this one did not end; its saved registration is put back");
        FinishRegistration();
    }
    Saved.clear();
    for (int place = 0; place < 3; ++place) {
        HKEY key;
        if (RegOpenKeyExW(kPlaces[place].root, kVendorKey, 0, KEY_READ | kPlaces[place].view,
                          &key) == ERROR_SUCCESS) {
            Saved.push_back({place, L'v', L"", L"", REG_NONE, {}});
            RegCloseKey(key);
        }
        if (RegOpenKeyExW(kPlaces[place].root, kPlayerKey, 0, KEY_READ | kPlaces[place].view,
                          &key) != ERROR_SUCCESS)
            continue;
        SaveTree(place, key, L"");
        RegCloseKey(key);
        if (place > 0)
            machine.machineRegistered = true;
    }
    if (!WriteSavedFile(why))
        return false;
    RestoreRegistration();
    return true;
}

// Puts the saved registration back; the vendor key stays, so that creating or
// removing it between scenarios never shows as a change outside it.
void RestoreRegistration()
{
    if (machine.underWine)
        ForgetWineSearchOrder();
    for (int place = 0; place < 3; ++place) {
        if (!Writable(place))
            continue;
        RemovePlayerKey(place, false);
        RegCloseKey(CreateKey(place, kVendorKey));
        for (const SavedEntry& entry : Saved) {
            if (entry.place != place || entry.kind == L'v')
                continue;
            HKEY key = CreateKey(place, kPlayerKey + entry.key);
            if (key == nullptr)
                continue;
            if (entry.kind == L'=')
                RegSetValueExW(key, entry.name.c_str(), 0, entry.type, entry.data.data(),
                               static_cast<DWORD>(entry.data.size()));
            RegCloseKey(key);
        }
    }
}

// The registry as it was before the run: the vendor key too, where there was
// none, and the saved copy no longer needed.
void FinishRegistration()
{
    RestoreRegistration();
    for (int place = 0; place < 3; ++place) {
        bool vendorExisted = false;
        for (const SavedEntry& entry : Saved)
            vendorExisted = vendorExisted || (entry.place == place && entry.kind == L'v');
        if (Writable(place) && !vendorExisted)
            RemovePlayerKey(place, true);
    }
    DeleteFileW(SavePath().c_str());
}

// --- a scenario's registration ------------------------------------------------

static void SetDword(HKEY key, const wchar_t* name, int value)
{
    DWORD data = static_cast<DWORD>(value);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

bool WriteScenarioRegistry(const Scenario& scenario, std::wstring* why)
{
    for (int place = 0; place < 3; ++place) {
        if (Writable(place))
            RemovePlayerKey(place, false);
    }
    for (const Registration& registration : scenario.registry) {
        HKEY key = CreateKey(PlaceOf(registration.root), kPlayerKey);
        if (key == nullptr) {
            *why = L"cannot write the player's key";
            return false;
        }
        if (registration.appDir != nullptr) {
            std::wstring appDir = Expand(registration.appDir);
            RegSetValueExW(key, L"AppDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(appDir.c_str()),
                           static_cast<DWORD>((appDir.size() + 1) * sizeof(wchar_t)));
        }
        if (registration.version != kAbsent)
            SetDword(key, L"PlayerVersion", registration.version);
        if (registration.autorun != kAbsent)
            SetDword(key, L"AutorunPlayListCDs", registration.autorun);
        RegCloseKey(key);
    }
    return true;
}

// --- what a run may not change ---------------------------------------------------

// Keys the stand-in installer writes, that are too large to walk twice a
// scenario (the class registrations: the launcher imports no call that could
// write them), or that Wine rewrites on its own.
static bool Skipped(const std::wstring& path)
{
    static const wchar_t* const kSkipped[] = {
        L"\\Software\\Ervast",    L"\\Software\\WOW6432Node\\Ervast", L"\\Software\\Classes",
        L"\\Software\\WOW6432Node\\Classes", L"\\Software\\Wine",   L"\\NetworkCards",
    };
    for (const wchar_t* skipped : kSkipped) {
        size_t length = wcslen(skipped);
        if (path.size() >= length && lstrcmpiW(path.c_str() + path.size() - length, skipped) == 0)
            return true;
    }
    return false;
}

static std::wstring Stamp(const std::wstring& path, const FILETIME& written)
{
    wchar_t text[32];
    wsprintfW(text, L" %08X%08X", written.dwHighDateTime, written.dwLowDateTime);
    return path + text;
}

// Every key below `key` with the time it was last written: a value set,
// changed or deleted changes its key's time.
static void Walk(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256;
        FILETIME written;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS)
            break;
        std::wstring child = path + L"\\" + name;
        HKEY opened;
        if (Skipped(child))
            continue;
        lines.push_back(Stamp(child, written));
        if (RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
            continue;
        Walk(opened, child, lines);
        RegCloseKey(opened);
    }
}

std::vector<std::wstring> SnapshotRegistry()
{
    std::vector<std::wstring> lines;
    const std::pair<HKEY, const wchar_t*> roots[] = {{HKEY_CURRENT_USER, L"HKCU"},
                                                     {HKEY_LOCAL_MACHINE, L"HKLM"}};
    for (const auto& [root, name] : roots) {
        HKEY software;
        if (RegOpenKeyExW(root, L"Software", 0, KEY_READ | KEY_WOW64_64KEY, &software) !=
            ERROR_SUCCESS)
            continue;
        FILETIME written = {};
        RegQueryInfoKeyW(software, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &written);
        lines.push_back(Stamp(std::wstring(name) + L"\\Software", written));
        Walk(software, std::wstring(name) + L"\\Software", lines);
        RegCloseKey(software);
    }
    return lines;
}
