// The registry: the player's registration as a scenario wants it, a real
// registration saved first (to a file of the work folder, so that a run killed
// outright is mended by the next) and put back after every scenario, and a
// listing of every key under Software with the time it was last written, to
// show that a run changed nothing.
#include "conformance.h"

#include <string.h>

#include <algorithm>
#include <tuple>

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

// --- the player's key as it is ------------------------------------------------

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

using Entries = std::vector<SavedEntry>;

// The registration found at the start of the run: what every scenario and
// the end of the run put back.
static Entries Saved;

static std::wstring PlaceName(int place)
{
    static const wchar_t* const kNames[] = {L"HKEY_CURRENT_USER",
                                            L"HKEY_LOCAL_MACHINE (32-bit view)",
                                            L"HKEY_LOCAL_MACHINE (64-bit view)"};
    return kNames[place];
}

static std::wstring Error(LONG status)
{
    return L" (error " + std::to_wstring(status) + L")";
}

// Opens a key without following it should it be a registry link, which is
// refused: deleting below a link would delete what it points to.
static LONG OpenUnlinked(HKEY parent, const std::wstring& name, REGSAM access, REGSAM view,
                         HKEY* key)
{
    LONG status = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access | view, key);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(*key, L"SymbolicLinkValue", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        type == REG_LINK) {
        RegCloseKey(*key);
        return ERROR_CANTOPEN;
    }
    return ERROR_SUCCESS;
}

// Every value and subkey below `key`, with buffers as large as the key says
// its longest name and data are. Any failure but the end of a list stops the
// reading: a value left out would be lost when the key is put back.
static bool ReadTree(int place, HKEY key, const std::wstring& below, Entries& out,
                     std::wstring* why)
{
    DWORD subKeys = 0, longestSubKey = 0, values = 0, longestName = 0, longestData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &longestSubKey,
                                   nullptr, &values, &longestName, &longestData, nullptr,
                                   nullptr);
    std::wstring where = PlaceName(place) + L"\\" + kPlayerKey + below;
    if (status != ERROR_SUCCESS) {
        *why = L"cannot read " + where + Error(status);
        return false;
    }
    out.push_back({place, L'k', below, L"", REG_NONE, {}});
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size()), type = 0;
        status = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(),
                               &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            *why = L"cannot read value " + std::to_wstring(i) + L" of " + where + Error(status);
            return false;
        }
        out.push_back({place, L'=', below, std::wstring(name.data(), nameLength), type,
                       std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    std::vector<wchar_t> child(longestSubKey + 1);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(child.size());
        status = RegEnumKeyExW(key, i, child.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        std::wstring childName(child.data(), status == ERROR_SUCCESS ? length : 0);
        HKEY opened = nullptr;
        if (status == ERROR_SUCCESS)
            status = OpenUnlinked(key, childName, KEY_READ, kPlaces[place].view, &opened);
        if (status != ERROR_SUCCESS) {
            *why = L"cannot read subkey " + std::to_wstring(i) + L" of " + where +
                   (status == ERROR_CANTOPEN ? L": it is a registry link" : Error(status));
            return false;
        }
        bool read = ReadTree(place, opened, below + L"\\" + childName, out, why);
        RegCloseKey(opened);
        if (!read)
            return false;
    }
    return true;
}

// The player's key at one place, and whether the vendor key is there.
static bool ReadPlace(int place, Entries& out, std::wstring* why)
{
    HKEY key;
    LONG status = OpenUnlinked(kPlaces[place].root, kVendorKey, KEY_READ, kPlaces[place].view,
                               &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status == ERROR_SUCCESS) {
        out.push_back({place, L'v', L"", L"", REG_NONE, {}});
        RegCloseKey(key);
        status = OpenUnlinked(kPlaces[place].root, kPlayerKey, KEY_READ, kPlaces[place].view,
                              &key);
    }
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS) {
        *why = L"cannot read " + PlaceName(place) + L"\\" + kPlayerKey +
               (status == ERROR_CANTOPEN ? L": a registry link" : Error(status));
        return false;
    }
    bool read = ReadTree(place, key, L"", out, why);
    RegCloseKey(key);
    return read;
}

static bool SameEntries(Entries a, Entries b)
{
    auto order = [](const SavedEntry& x, const SavedEntry& y) {
        return std::tie(x.place, x.kind, x.key, x.name) < std::tie(y.place, y.kind, y.key, y.name);
    };
    std::sort(a.begin(), a.end(), order);
    std::sort(b.begin(), b.end(), order);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const SavedEntry& x, const SavedEntry& y) {
                          return x.place == y.place && x.kind == y.kind && x.key == y.key &&
                                 x.name == y.name && x.type == y.type && x.data == y.data;
                      });
}

static Entries EntriesOf(const Entries& entries, int place, bool withVendor)
{
    Entries found;
    for (const SavedEntry& entry : entries)
        if (entry.place == place && (withVendor || entry.kind != L'v'))
            found.push_back(entry);
    return found;
}

// --- the saved copy ---------------------------------------------------------------
// A file of the work folder, so that a run killed outright is mended by the
// next: a magic number, the format's version, the entry count, the entries
// (each field as its size, then its bytes) and a checksum of all before it.

static constexpr DWORD kSavedMagic = 0x5247524F;  // "ORGR"
static constexpr DWORD kSavedFormat = 2;

static std::wstring SavePath()
{
    return machine.work + L"saved-registration.bin";
}

static DWORD Checksum(const BYTE* bytes, size_t size)
{
    DWORD hash = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

static void Put(std::vector<BYTE>& out, const void* bytes, size_t size)
{
    DWORD length = static_cast<DWORD>(size);
    const BYTE* p = static_cast<const BYTE*>(bytes);
    out.insert(out.end(), reinterpret_cast<BYTE*>(&length),
               reinterpret_cast<BYTE*>(&length) + sizeof length);
    out.insert(out.end(), p, p + size);
}

static void PutWord(std::vector<BYTE>& out, DWORD word)
{
    out.insert(out.end(), reinterpret_cast<BYTE*>(&word), reinterpret_cast<BYTE*>(&word) + 4);
}

static std::vector<BYTE> Encode(const Entries& entries)
{
    std::vector<BYTE> out;
    PutWord(out, kSavedMagic);
    PutWord(out, kSavedFormat);
    PutWord(out, static_cast<DWORD>(entries.size()));
    for (const SavedEntry& e : entries) {
        DWORD place = static_cast<DWORD>(e.place), kind = e.kind;
        Put(out, &place, sizeof place);
        Put(out, &kind, sizeof kind);
        Put(out, e.key.data(), e.key.size() * sizeof(wchar_t));
        Put(out, e.name.data(), e.name.size() * sizeof(wchar_t));
        Put(out, &e.type, sizeof e.type);
        Put(out, e.data.data(), e.data.size());
    }
    PutWord(out, Checksum(out.data(), out.size()));
    return out;
}

// The next field's bytes; false when the file ends early.
static bool Take(const std::vector<BYTE>& in, size_t end, size_t& at, std::vector<BYTE>* field)
{
    DWORD length = 0;
    if (end - at < sizeof length)
        return false;
    memcpy(&length, in.data() + at, sizeof length);
    at += sizeof length;
    if (length > end - at)
        return false;
    field->assign(in.begin() + at, in.begin() + at + length);
    at += length;
    return true;
}

static bool TakeWord(const std::vector<BYTE>& in, size_t end, size_t& at, DWORD* word)
{
    std::vector<BYTE> bytes;
    if (!Take(in, end, at, &bytes) || bytes.size() != sizeof *word)
        return false;
    memcpy(word, bytes.data(), sizeof *word);
    return true;
}

static std::wstring AsText(const std::vector<BYTE>& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                        bytes.size() / sizeof(wchar_t));
}

// The entries of a whole file; empty text when it is whole, else what is wrong.
static std::wstring Decode(const std::vector<BYTE>& in, Entries& out)
{
    DWORD header[3] = {}, sum = 0;
    if (in.size() < sizeof header + sizeof sum)
        return L"it holds " + std::to_wstring(in.size()) + L" bytes, too few for a saved copy";
    memcpy(header, in.data(), sizeof header);
    memcpy(&sum, in.data() + in.size() - sizeof sum, sizeof sum);
    if (header[0] != kSavedMagic || header[1] != kSavedFormat)
        return L"it is not a saved copy of this program's format " + std::to_wstring(kSavedFormat);
    if (sum != Checksum(in.data(), in.size() - sizeof sum))
        return L"its checksum does not match: it is cut short or damaged";
    size_t at = sizeof header, end = in.size() - sizeof sum;
    for (DWORD i = 0; i < header[2]; ++i) {
        SavedEntry entry{};
        DWORD place = 0, kind = 0;
        std::vector<BYTE> key, name;
        if (!TakeWord(in, end, at, &place) || !TakeWord(in, end, at, &kind) ||
            !Take(in, end, at, &key) || !Take(in, end, at, &name) ||
            !TakeWord(in, end, at, &entry.type) || !Take(in, end, at, &entry.data) || place > 2 ||
            (kind != L'k' && kind != L'=' && kind != L'v'))
            return L"entry " + std::to_wstring(i) + L" of " + std::to_wstring(header[2]) +
                   L" is damaged";
        entry.place = static_cast<int>(place);
        entry.kind = static_cast<wchar_t>(kind);
        entry.key = AsText(key);
        entry.name = AsText(name);
        out.push_back(entry);
    }
    if (at != end)
        return L"it holds more than its " + std::to_wstring(header[2]) + L" entries";
    return L"";
}

static bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    DWORD read = 0;
    bool whole = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
    if (whole) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        whole = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                read == bytes.size();
    }
    CloseHandle(file);
    return whole;
}

static bool WriteAndFlush(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr) &&
                written == bytes.size() && FlushFileBuffers(file);
    CloseHandle(file);
    return done;
}

// Written under another name, flushed, moved into place and read back: the
// copy is trusted only once it reads back whole and equal.
static bool WriteSavedFile(std::wstring* why)
{
    std::vector<BYTE> bytes = Encode(Saved), back;
    std::wstring fresh = SavePath() + L".new";
    Entries decoded;
    if (!WriteAndFlush(fresh, bytes) ||
        !MoveFileExW(fresh.c_str(), SavePath().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
        !ReadWholeFile(SavePath(), back) || back != bytes || !Decode(back, decoded).empty() ||
        !SameEntries(decoded, Saved)) {
        *why = L"cannot save the player's registration in " + SavePath() + Error(GetLastError());
        // Nothing was changed yet: no copy is needed, and a bad one must not stay.
        DeleteFileW(fresh.c_str());
        DeleteFileW(SavePath().c_str());
        return false;
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

// A key with everything below it, as RegDeleteTreeW (Vista on) does; a
// registry link below it stops the deletion there, its target untouched.
static bool DeleteTree(HKEY parent, const wchar_t* name, REGSAM view)
{
    HKEY key;
    if (OpenUnlinked(parent, name, KEY_READ, view, &key) != ERROR_SUCCESS)
        return false;
    wchar_t child[256];
    DWORD length = 256;
    bool emptied = true;
    while (emptied &&
           RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS) {
        emptied = DeleteTree(key, child, view);
        length = 256;
    }
    RegCloseKey(key);
    return emptied && DeleteKey(parent, name, view) == ERROR_SUCCESS;
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
    if (OpenUnlinked(kPlaces[place].root, kVendorKey, KEY_ALL_ACCESS, kPlaces[place].view,
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

// One place's saved key tree written over what is there.
static void WritePlace(int place, const Entries& entries)
{
    RemovePlayerKey(place, false);
    for (const SavedEntry& entry : entries) {
        HKEY key = CreateKey(place, kPlayerKey + entry.key);
        if (key == nullptr)
            continue;
        if (entry.kind == L'=')
            RegSetValueExW(key, entry.name.c_str(), 0, entry.type, entry.data.data(),
                           static_cast<DWORD>(entry.data.size()));
        RegCloseKey(key);
    }
}

static bool HadVendorKey(const Entries& saved, int place)
{
    for (const SavedEntry& entry : saved)
        if (entry.place == place && entry.kind == L'v')
            return true;
    return false;
}

// Puts the saved key trees back where the registry differs from them and
// reads each place back: true when every place holds what was saved. A place
// this run may not write is only compared. During the run the vendor key
// stays, so that creating or removing it between scenarios never shows as a
// change outside it; `asBefore` removes it again where there was none.
static bool PutBack(const Entries& saved, bool asBefore, std::wstring* why)
{
    bool whole = true;
    for (int place = 0; place < 3; ++place) {
        Entries wanted = EntriesOf(saved, place, false), found;
        if (!ReadPlace(place, found, why)) {
            whole = false;
            continue;
        }
        bool same = SameEntries(EntriesOf(found, place, false), wanted);
        if (!same && !Writable(place)) {
            *why = L"the player's key under " + PlaceName(place) +
                   L" is not the saved one, and only an administrator may put it back: run "
                   L"this program once more as administrator";
            whole = false;
            continue;
        }
        if (!Writable(place))
            continue;
        if (!same) {
            WritePlace(place, wanted);
            found.clear();
            if (!ReadPlace(place, found, why) ||
                !SameEntries(EntriesOf(found, place, false), wanted)) {
                *why = L"the player's key under " + PlaceName(place) +
                       L" does not read back as saved";
                whole = false;
                continue;
            }
        }
        if (!asBefore)
            RegCloseKey(CreateKey(place, kVendorKey));
        else if (!HadVendorKey(saved, place))
            RemovePlayerKey(place, true);
    }
    return whole;
}

// Registry changes of the main thread and of the Ctrl+C handler, one at a time.
static CRITICAL_SECTION* ChangeLock()
{
    static CRITICAL_SECTION section;
    static bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

class Changing {
public:
    Changing() { EnterCriticalSection(ChangeLock()); }
    ~Changing() { LeaveCriticalSection(ChangeLock()); }
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;
};

static bool Held;  // Saved is the registration to put back

void StopRegistryChanges()
{
    EnterCriticalSection(ChangeLock());
}

// A saved copy that a run which did not end left behind: put back first, and
// kept unless every place reads back as it records.
static bool PutBackEarlierRun(std::wstring* why)
{
    std::vector<BYTE> bytes;
    Entries earlier;
    std::wstring wrong = ReadWholeFile(SavePath(), bytes) ? Decode(bytes, earlier)
                                                          : L"it cannot be read";
    if (!wrong.empty()) {
        *why = L"the saved registration " + SavePath() + L" that an earlier run left does not "
               L"read back whole (" + wrong + L"); nothing was changed and the file is kept: "
               L"remove it once the player's registration is as it should be";
        return false;
    }
    Say(L"note: a run before this one did not end; its saved registration is put back");
    if (!PutBack(earlier, true, why)) {
        *why = L"the saved registration is kept in " + SavePath() + L": " + *why;
        return false;
    }
    DeleteFileW(SavePath().c_str());
    return true;
}

bool SaveRegistration(std::wstring* why)
{
    Changing changing;
    if (GetFileAttributesW(SavePath().c_str()) != INVALID_FILE_ATTRIBUTES &&
        !PutBackEarlierRun(why))
        return false;
    Saved.clear();
    for (int place = 0; place < 3; ++place) {
        if (!ReadPlace(place, Saved, why))
            return false;
    }
    for (const SavedEntry& entry : Saved)
        machine.machineRegistered = machine.machineRegistered || (entry.place > 0 && entry.kind == L'k');
    if (!WriteSavedFile(why))
        return false;
    Held = true;
    return RestoreRegistration(why);
}

bool RestoreRegistration(std::wstring* why)
{
    Changing changing;
    if (machine.underWine)
        ForgetWineSearchOrder();
    return PutBack(Saved, false, why);
}

bool FinishRegistration(std::wstring* why)
{
    Changing changing;
    if (!Held)
        return true;
    Held = false;
    if (machine.underWine)
        ForgetWineSearchOrder();
    if (!PutBack(Saved, true, why)) {
        *why = L"the saved registration is kept in " + SavePath() + L": " + *why;
        return false;
    }
    DeleteFileW(SavePath().c_str());
    return true;
}

// --- a scenario's registration ------------------------------------------------

static void SetDword(HKEY key, const wchar_t* name, int value)
{
    DWORD data = static_cast<DWORD>(value);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

bool WriteScenarioRegistry(const Scenario& scenario, std::wstring* why)
{
    Changing changing;
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
