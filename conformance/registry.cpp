// The registry: this program touches only keys it made. Before a scenario it
// records, in the work folder, every key it or the stand-in installer may
// write and every state such a key may hold (each with the marker value that
// names this run), and which keys above them were absent; then it writes.
// After the scenario, at the end, when stopped, and at the start of the next
// run after a kill, it removes a key only when it holds exactly a recorded
// state, and a key above only when this run made it and it is empty. A key that
// differs is left as it is and named. And a listing of every key under
// Software with the time it was last written, to show that a run changed
// nothing else.
#include "conformance.h"

#include <algorithm>

static const wchar_t kPlayerKey[] = L"Software\\Ervast\\Orvane";
static const wchar_t kMarker[] = L"OrvaneConformanceRun";
static const wchar_t kRecordKind[] = L"orvane-conformance registry record 1";
static const wchar_t kWineProgramSettings[] = L"Software\\Wine\\AppDefaults\\";

struct Place {
    HKEY root;
    REGSAM view;
    const wchar_t* name;
};

// The current user, the machine's 32-bit view and its 64-bit view (on 32-bit
// Windows both views are the one machine key).
static const Place kPlaces[] = {{HKEY_CURRENT_USER, 0, L"HKEY_CURRENT_USER"},
                                {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY,
                                 L"HKEY_LOCAL_MACHINE (32-bit view)"},
                                {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY,
                                 L"HKEY_LOCAL_MACHINE (64-bit view)"}};

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

struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
    bool operator<(const Value& other) const { return name < other.name; }
    bool operator==(const Value& other) const
    {
        return name == other.name && type == other.type && data == other.data;
    }
};
using State = std::vector<Value>;  // in name order

struct WrittenKey {
    int place;
    std::wstring path;
    std::vector<State> states;  // what it may hold, each whole
    bool writtenHere;           // with its first state, before the launcher starts
};

// A key above those written that was absent before: this run's when it made
// it. The vendor key is made for the whole run, so that making and removing it
// never shows as a change of Software between scenarios.
struct Parent {
    int place;
    std::wstring path;
    bool forRun;
    bool operator==(const Parent& other) const
    {
        return place == other.place && path == other.path;
    }
};

// What a scenario writes: the keys, and the keys above them.
struct Plan {
    std::vector<WrittenKey> keys;
    std::vector<Parent> parents;
};

// The vendor keys this run made at its start.
static std::vector<Parent> RunParents;

static std::wstring FullName(int place, const std::wstring& path)
{
    return std::wstring(kPlaces[place].name) + L"\\" + path;
}

// Opened as it is: a registry link is opened itself, never followed.
static LONG Open(int place, const std::wstring& path, REGSAM access, HKEY* key)
{
    return RegOpenKeyExW(kPlaces[place].root, path.c_str(), REG_OPTION_OPEN_LINK,
                         access | kPlaces[place].view, key);
}

// A key this run may not open may still be a person's: only "not found"
// counts as absent.
static bool Exists(int place, const std::wstring& path)
{
    HKEY key;
    LONG status = Open(place, path, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS)
        RegCloseKey(key);
    return status != ERROR_FILE_NOT_FOUND;
}

// Makes the key, and only that: RegCreateKeyExW opens a key that is there
// already (an installer may have made it since it was looked at) and says so
// in its disposition; such a key is not this run's to write into.
static LONG CreateNew(int place, const std::wstring& path, REGSAM access, HKEY* key)
{
    DWORD disposition = 0;
    LONG status = RegCreateKeyExW(kPlaces[place].root, path.c_str(), 0, nullptr, 0,
                                  access | kPlaces[place].view, nullptr, key, &disposition);
    if (status == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(*key);
        return ERROR_ALREADY_EXISTS;
    }
    return status;
}

// The run mark a key carries; empty where it carries none.
static std::wstring MarkIn(int place, const std::wstring& path)
{
    HKEY key;
    if (Open(place, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return L"";
    wchar_t mark[64] = {};
    DWORD type = 0, size = sizeof mark - sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, kMarker, nullptr, &type, reinterpret_cast<BYTE*>(mark),
                                   &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? mark : L"";
}

std::wstring FindPlayerRegistration()
{
    static const wchar_t* const kRegNames[] = {L"HKCU", L"HKLM", L"HKLM"};
    static const wchar_t* const kRegViews[] = {L"", L" /reg:32", L" /reg:64"};
    for (int place = 0; place < 3; ++place) {
        if (!Exists(place, kPlayerKey))
            continue;
        std::wstring run = MarkIn(place, kPlayerKey);
        if (run.empty())
            return L"the Orvane player is registered here (" + FullName(place, kPlayerKey) +
                   L"), and this program changes nothing of the person's: nothing was changed. "
                   L"Run it where the player is not installed: another machine or a virtual "
                   L"machine, or, for the current user's key alone, another account";
        // Marked, but its record is gone (the bundle unzipped anew, %TEMP%
        // emptied): without the record nothing proves what it held.
        return FullName(place, kPlayerKey) + L" carries the mark of this program's run " + run +
               L", whose record is gone (the bundle unzipped anew, or %TEMP% emptied): it is "
               L"this program's leftover, which it removes only with its record, so nothing "
               L"was changed. Remove it yourself, then run again: reg delete \"" +
               kRegNames[place] + L"\\" + kPlayerKey + L"\" /f" + kRegViews[place];
    }
    return L"";
}

// --- the plan, and its record ---------------------------------------------------

static Value DwordValue(const wchar_t* name, DWORD number)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&number);
    return {name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof number)};
}

static Value TextValue(const wchar_t* name, const std::wstring& text)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {name, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

static State Marked(State state)
{
    state.push_back(TextValue(kMarker, machine.runId));
    std::sort(state.begin(), state.end());
    return state;
}

static void AddState(Plan& plan, int place, const std::wstring& path, const State& state,
                     bool writtenHere)
{
    for (WrittenKey& key : plan.keys) {
        if (key.place == place && key.path == path) {
            key.states.push_back(Marked(state));
            return;
        }
    }
    plan.keys.push_back({place, path, {Marked(state)}, writtenHere});
}

static State RegistrationState(const Registration& registration)
{
    State state;
    if (registration.appDir != nullptr)
        state.push_back(TextValue(L"AppDir", Expand(registration.appDir)));
    if (registration.version != kAbsent)
        state.push_back(DwordValue(L"PlayerVersion", static_cast<DWORD>(registration.version)));
    if (registration.autorun != kAbsent)
        state.push_back(DwordValue(L"AutorunPlayListCDs",
                                   static_cast<DWORD>(registration.autorun)));
    return state;
}

// What the stand-in installer registers for each "reg=AppDir@hex[@autorun]"
// of the scenario's runs (tests/e2e/fixture_installer.cpp reads the same).
static void AddInstallerStates(Plan& plan, const std::wstring& runs)
{
    for (size_t at = runs.find(L"reg="); at != std::wstring::npos;
         at = runs.find(L"reg=", at + 4)) {
        size_t end = runs.find_first_of(L",;", at);
        std::wstring entry = runs.substr(at + 4, end == std::wstring::npos ? end : end - at - 4);
        size_t version = entry.find(L'@');
        size_t autorun = version == std::wstring::npos ? version : entry.find(L'@', version + 1);
        State state = {TextValue(L"AppDir", entry.substr(0, version))};
        if (version != std::wstring::npos)
            state.push_back(DwordValue(L"PlayerVersion",
                                       wcstoul(entry.c_str() + version + 1, nullptr, 16)));
        state.push_back(DwordValue(
            L"AutorunPlayListCDs",
            autorun != std::wstring::npos ? wcstoul(entry.c_str() + autorun + 1, nullptr, 10) : 1));
        AddState(plan, 0, kPlayerKey, state, false);
    }
}

// Wine takes DLLs from its own system folder first; Windows searches the
// program's folder first for those it does not know. The planted scenarios
// need Windows' order: Wine reads it per program from its settings.
static void AddWineSearchOrder(Plan& plan, const std::wstring& program)
{
    std::wstring name = program.substr(program.rfind(L'\\') + 1);
    State state;
    for (const wchar_t* dll : {L"comctl32", L"uxtheme", L"version"})
        state.push_back(TextValue(dll, L"native,builtin"));
    AddState(plan, 0, kWineProgramSettings + name + L"\\DllOverrides", state, true);
}

static Plan PlanScenario(const Scenario& scenario)
{
    Plan plan{{}, RunParents};
    for (const Registration& registration : scenario.registry)
        AddState(plan, PlaceOf(registration.root), kPlayerKey, RegistrationState(registration),
                 true);
    AddInstallerStates(plan, Expand(scenario.installer));
    if (machine.underWine && scenario.plantedOrder)
        AddWineSearchOrder(plan, Expand(scenario.program));
    // Every key between Software and the written one.
    for (const WrittenKey& key : plan.keys) {
        for (size_t cut = key.path.rfind(L'\\'); cut != std::wstring::npos && cut > 8;
             cut = key.path.rfind(L'\\', cut - 1)) {
            Parent parent{key.place, key.path.substr(0, cut), false};
            if (!Exists(parent.place, parent.path) &&
                std::find(plan.parents.begin(), plan.parents.end(), parent) == plan.parents.end())
                plan.parents.push_back(parent);
        }
    }
    return plan;
}

static std::wstring RecordPath()
{
    return machine.work + L"registry.record";
}

static Lines LinesOf(const Plan& plan)
{
    Lines lines;
    for (const Parent& parent : plan.parents)
        lines.push_back(L"parent\t" + std::to_wstring(parent.place) + L"\t" + parent.path +
                        (parent.forRun ? L"\trun" : L""));
    for (const WrittenKey& key : plan.keys) {
        lines.push_back(L"key\t" + std::to_wstring(key.place) + L"\t" + key.path);
        for (const State& state : key.states) {
            lines.push_back(L"state");
            for (const Value& value : state)
                lines.push_back(L"value\t" + value.name + L"\t" + std::to_wstring(value.type) +
                                L"\t" + HexOf(value.data));
        }
    }
    return lines;
}

static bool PlanOf(const Lines& lines, Plan* plan)
{
    for (const std::wstring& line : lines) {
        std::vector<std::wstring> f = Fields(line);
        int place = f.size() >= 3 ? _wtoi(f[1].c_str()) : -1;
        if (f[0] == L"parent" && (f.size() == 3 || f.size() == 4) && place >= 0 && place < 3) {
            plan->parents.push_back({place, f[2], f.size() == 4});
        } else if (f[0] == L"key" && f.size() == 3 && place >= 0 && place < 3) {
            plan->keys.push_back({place, f[2], {}, false});
        } else if (f[0] == L"state" && f.size() == 1 && !plan->keys.empty()) {
            plan->keys.back().states.push_back({});
        } else if (f[0] == L"value" && f.size() == 4 && !plan->keys.empty() &&
                   !plan->keys.back().states.empty()) {
            Value value{f[1], static_cast<DWORD>(_wtoi(f[2].c_str())), {}};
            if (!BytesOf(f[3], &value.data))
                return false;
            plan->keys.back().states.back().push_back(value);
        } else {
            return false;
        }
    }
    return true;
}

// --- removing what this run made ---------------------------------------------------

// Every value of the key, in name order, and whether it has subkeys; false
// when it cannot be read whole.
static bool ReadKey(HKEY key, State* state, bool* hasSubKeys)
{
    DWORD subKeys = 0, values = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    *hasSubKeys = subKeys != 0;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            return false;
        state->push_back({std::wstring(name.data(), nameLength), type,
                          std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    std::sort(state->begin(), state->end());
    return true;
}

// RegDeleteKeyExW, which deletes in a named registry view, comes with Vista
// and 64-bit XP; 32-bit XP has one view, and RegDeleteKeyW serves there. Only
// a key without subkeys is ever deleted.
static LONG DeleteKey(int place, const std::wstring& path)
{
    using DeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    auto deleteKeyEx = reinterpret_cast<DeleteKeyExFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    return deleteKeyEx != nullptr
               ? deleteKeyEx(kPlaces[place].root, path.c_str(), kPlaces[place].view, 0)
               : RegDeleteKeyW(kPlaces[place].root, path.c_str());
}

enum class Outcome { Gone, Differs, NotAllowed };

// Removes the key if it has no subkeys and holds one of `states` exactly (a
// key above those written: the empty state).
static Outcome RemoveHolding(int place, const std::wstring& path, const std::vector<State>& states)
{
    HKEY key;
    LONG status = Open(place, path, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return Outcome::Gone;
    if (status != ERROR_SUCCESS)
        return Outcome::NotAllowed;
    State found;
    bool hasSubKeys = true;
    bool read = ReadKey(key, &found, &hasSubKeys);
    RegCloseKey(key);
    if (!read || hasSubKeys || std::find(states.begin(), states.end(), found) == states.end())
        return Outcome::Differs;
    return DeleteKey(place, path) == ERROR_SUCCESS ? Outcome::Gone : Outcome::NotAllowed;
}

// Registry changes of the main thread, of the Ctrl+C handler and of the end
// of a session, one at a time.
static CRITICAL_SECTION* ChangeLock()
{
    static CRITICAL_SECTION section;
    static bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

Changing::Changing()
{
    EnterCriticalSection(ChangeLock());
}

Changing::~Changing()
{
    LeaveCriticalSection(ChangeLock());
}

void StopChanges()
{
    EnterCriticalSection(ChangeLock());
}

// Writes the removals to disk: RegFlushKey writes the hive of the key it is
// given, so a handle on Software in each view this run writes, not the root.
static bool FlushWritten()
{
    bool flushed = true;
    for (int place = 0; place < (machine.mayWriteMachine ? 3 : 1); ++place) {
        HKEY key;
        LONG status = Open(place, L"Software", KEY_QUERY_VALUE, &key);
        if (status == ERROR_SUCCESS) {
            status = RegFlushKey(key);
            RegCloseKey(key);
        }
        flushed = flushed && status == ERROR_SUCCESS;
    }
    return flushed;
}

bool ClearRegistry(bool wholeRun, std::wstring* why)
{
    Changing changing;
    Lines lines;
    Plan plan, kept;
    RecordState state = ReadRecord(RecordPath(), kRecordKind, &lines);
    if (state == RecordState::None)
        return true;
    if (state == RecordState::Unreadable || !PlanOf(lines, &plan)) {
        *why = L"the record " + RecordPath() + L" of the keys an earlier run wrote cannot be "
               L"read; nothing was removed: remove those keys yourself, then the record";
        return false;
    }
    std::wstring differs, notAllowed;
    auto note = [](std::wstring& list, int place, const std::wstring& path) {
        list += (list.empty() ? L"" : L", ") + FullName(place, path);
    };
    for (const WrittenKey& key : plan.keys) {
        Outcome outcome = RemoveHolding(key.place, key.path, key.states);
        if (outcome == Outcome::Differs)
            note(differs, key.place, key.path);
        if (outcome == Outcome::NotAllowed) {
            note(notAllowed, key.place, key.path);
            kept.keys.push_back(key);
        }
    }
    std::sort(plan.parents.begin(), plan.parents.end(),
              [](const Parent& a, const Parent& b) { return a.path.size() > b.path.size(); });
    for (const Parent& parent : plan.parents) {
        if (parent.forRun && !wholeRun) {
            kept.parents.push_back(parent);
        } else if (RemoveHolding(parent.place, parent.path, {State()}) == Outcome::NotAllowed) {
            note(notAllowed, parent.place, parent.path);
            kept.parents.push_back(parent);
        }
    }
    // What differs is not this program's any more and leaves the record; what
    // it may not remove now stays in it, for a run with the rights. Until the
    // removals are on disk the record stays whole.
    bool flushed = FlushWritten();
    bool recorded = !flushed ? true
                    : kept.keys.empty() && kept.parents.empty()
                        ? DropRecord(RecordPath())
                        : WriteRecord(RecordPath(), kRecordKind, LinesOf(kept));
    if (!flushed)
        *why = L"the registry's changes could not be written to disk (RegFlushKey failed): the "
               L"record stays for the next run";
    else if (!differs.empty())
        *why = differs + L" does not hold what this program wrote (an installer may have "
               L"written it since): it is left as it is";
    else if (!notAllowed.empty())
        *why = L"this run may not remove " + notAllowed + L", which a run as administrator "
               L"wrote: run this program once more as administrator";
    else if (!recorded)
        *why = L"the record " + RecordPath() + L" cannot be updated";
    return why->empty();
}

// The vendor key, where it is absent, for the whole run: under the current
// user, and under the machine's views where this run may write.
bool PrepareRegistry(std::wstring* why)
{
    Changing changing;
    Plan plan;
    for (int place = 0; place < (machine.mayWriteMachine ? 3 : 1); ++place) {
        Parent vendor{place, L"Software\\Ervast", true};
        if (!Exists(place, vendor.path) &&
            std::find(plan.parents.begin(), plan.parents.end(), vendor) == plan.parents.end())
            plan.parents.push_back(vendor);
    }
    if (plan.parents.empty())
        return true;
    if (!WriteRecord(RecordPath(), kRecordKind, LinesOf(plan))) {
        *why = L"cannot write the record " + RecordPath();
        return false;
    }
    Plan made;
    for (const Parent& vendor : plan.parents) {
        HKEY key;
        LONG status = CreateNew(vendor.place, vendor.path, KEY_QUERY_VALUE, &key);
        if (status == ERROR_ALREADY_EXISTS)
            continue;  // made by someone else meanwhile: not this run's
        if (status != ERROR_SUCCESS) {
            *why = L"cannot make " + FullName(vendor.place, vendor.path);
            return false;
        }
        RegCloseKey(key);
        made.parents.push_back(vendor);
    }
    RunParents = made.parents;
    if (made.parents.size() != plan.parents.size() &&
        !WriteRecord(RecordPath(), kRecordKind, LinesOf(made))) {
        *why = L"cannot write the record " + RecordPath();
        return false;
    }
    return true;
}

// --- a scenario's registration ------------------------------------------------

static LONG WriteKey(const WrittenKey& written)
{
    HKEY key = nullptr;
    LONG status = CreateNew(written.place, written.path, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    bool done = true;
    for (const Value& value : written.states.front())
        done = done && RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                                      static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
    return done ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

bool WriteScenarioRegistry(const Scenario& scenario, std::wstring* why)
{
    Changing changing;
    Plan plan = PlanScenario(scenario);
    for (const WrittenKey& key : plan.keys) {
        if (Exists(key.place, key.path)) {
            *why = FullName(key.place, key.path) + L" is there already, and it is not this "
                   L"program's: nothing was written";
            return false;
        }
    }
    if (!WriteRecord(RecordPath(), kRecordKind, LinesOf(plan))) {
        *why = L"cannot write the record " + RecordPath();
        return false;
    }
    // The stand-in installer writes its states itself.
    for (const WrittenKey& key : plan.keys) {
        LONG status = key.writtenHere ? WriteKey(key) : ERROR_SUCCESS;
        if (status == ERROR_ALREADY_EXISTS) {
            *why = FullName(key.place, key.path) + L" appeared meanwhile, and it is not this "
                   L"program's: nothing was written into it";
            return false;
        }
        if (status != ERROR_SUCCESS) {
            *why = L"cannot write " + FullName(key.place, key.path);
            return false;
        }
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
