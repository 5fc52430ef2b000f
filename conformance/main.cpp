// conformance.exe: runs the launcher's end-to-end scenarios on this machine.
//   conformance.exe [--list] [--only NAME...] [--launcher PATH] [--disc X:]
//                   [--no-display] [--interactive] [--bench N]
// One line a scenario (ok, FAIL with what differed, skip with why), then the
// counts; exit code 0 only when some ran and none failed. It changes nothing of the
// person's: where the player is registered it refuses before it writes
// anything, and it removes only the keys and disc files it recorded and
// marked, as it left them.
#include "conformance.h"
#include "skip_rules.h"

#include <sddl.h>

Machine machine;
extern HANDLE CurrentJob;

std::wstring Widen(const std::string& text, UINT codePage)
{
    std::wstring wide(text.size(), L'\0');
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length : 0);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage)
{
    std::string narrow(text.size() * 4, '\0');
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     narrow.data(), static_cast<int>(narrow.size()), nullptr,
                                     nullptr);
    narrow.resize(length > 0 ? length : 0);
    return narrow;
}

static HANDLE Log = INVALID_HANDLE_VALUE;

// To the console as wide text, to a pipe or file as UTF-8; and to the log.
void Say(const std::wstring& line)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::wstring text = line + L"\r\n";
    std::string utf8 = Narrow(text, CP_UTF8);
    DWORD written = 0, mode = 0;
    if (GetConsoleMode(out, &mode))
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    else
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    if (Log != INVALID_HANDLE_VALUE)
        WriteFile(Log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

static std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.rfind(L'\\') + 1);
}

static bool IsFile(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The machine field of a PE file's header: the launcher's bitness.
static bool IsPe32Plus(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BYTE header[4096] = {};
    DWORD read = 0;
    ReadFile(file, header, sizeof header, &read, nullptr);
    CloseHandle(file);
    LONG at = *reinterpret_cast<LONG*>(header + 0x3C);
    return at > 0 && at < 4000 && *reinterpret_cast<WORD*>(header + at + 4) == 0x8664;
}

// Whether this Windows has UAC (TOKEN_ELEVATION, Vista on), and whether this
// run may do what an administrator may: elevated, or without UAC a member of
// the Administrators group.
static void LookAtRights()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    machine.uac =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE;
    CloseHandle(token);
    if (machine.uac) {
        machine.elevated = elevation.TokenIsElevated != 0;
        return;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                 0, 0, 0, 0, 0, &administrators)) {
        CheckTokenMembership(nullptr, administrators, &member);
        FreeSid(administrators);
    }
    machine.elevated = member != FALSE;
}

static const wchar_t kWorkMark[] = L"orvane-conformance-work.txt";

// The log beside the program, or in %TEMP%\orvane-conformance\ where its
// folder is read-only; an earlier run's log is added to, never overwritten.
static HANDLE OpenLog(const std::wstring& folder)
{
    HANDLE log = CreateFileW((folder + L"conformance.log").c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD written = 0;
        WriteFile(log, "\r\n", 2, &written, nullptr);
    }
    return log;
}

static bool ChooseFolder()
{
    std::wstring folder = machine.bundle;
    Log = OpenLog(folder);
    if (Log == INVALID_HANDLE_VALUE) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"orvane-conformance\\";
        CreateDirectoryW(folder.c_str(), nullptr);
        Log = OpenLog(folder);
    }
    machine.work = folder + L"work\\";
    return Log != INVALID_HANDLE_VALUE;
}

// The work folder is this program's only where its mark is: one of the same
// name that it did not make is never used.
static bool WorkFolderIsOurs()
{
    return GetFileAttributesW(machine.work.c_str()) == INVALID_FILE_ATTRIBUTES ||
           GetFileAttributesW((machine.work + kWorkMark).c_str()) != INVALID_FILE_ATTRIBUTES;
}

static bool MakeWorkFolder()
{
    CreateDirectoryW(machine.work.c_str(), nullptr);
    HANDLE mark = CreateFileW((machine.work + kWorkMark).c_str(), GENERIC_WRITE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE)
        return false;
    static const char kText[] = "This folder is conformance.exe's own: its stand-in players, "
                                "its disc and the records of what it writes.\r\n";
    DWORD written = 0;
    WriteFile(mark, kText, sizeof kText - 1, &written, nullptr);
    CloseHandle(mark);
    return true;
}

// This run's id, the data of the marker value in every key it writes.
static std::wstring MakeRunId()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    wchar_t id[48];
    wsprintfW(id, L"%08X%08X-%u", now.dwHighDateTime, now.dwLowDateTime, GetCurrentProcessId());
    return id;
}

// What the log begins with: the machine the results come from.
static void DescribeMachine()
{
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineVersionFunction = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // The real version, whatever the program's manifest says.
    auto getVersion = reinterpret_cast<GetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (getVersion != nullptr)
        getVersion(&version);
    auto wineVersion = reinterpret_cast<WineVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    // As "ja-JP"; GetUserDefaultLocaleName would need Vista.
    wchar_t language[20] = L"?";
    int end = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, 9);
    if (end > 0) {
        language[end - 1] = L'-';
        GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, language + end, 9);
    }
    wchar_t facts[512];
    wsprintfW(facts, L"Windows %u.%u build %u, %u-bit; ANSI code page %u, OEM code page %u; "
                     L"user language %ls; %ls",
              version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
              machine.windows64 ? 64 : 32, GetACP(), GetOEMCP(), language,
              !machine.uac ? (machine.elevated ? L"no UAC, an administrator"
                                               : L"no UAC, not an administrator")
              : machine.elevated ? L"elevated" : L"not elevated");
    Say(facts);
    Say(wineVersion != nullptr ? L"under Wine " + Widen(wineVersion(), CP_ACP)
                               : std::wstring(L"not under Wine"));
    Say(L"launcher: " + machine.launcher + (machine.launcher64 ? L" (PE32+)" : L" (PE32)"));
}

// The installed players: the stand-in player in the folders that scenarios register.
static bool InstallPlayers()
{
    for (const wchar_t* folder : {L"{player}", L"{new}", L"{p32}"}) {
        std::wstring path = Expand(folder);
        CreateDirectoryW(path.c_str(), nullptr);
        if (!CopyFileW((machine.bundle + L"e2e_player.exe").c_str(),
                       (path + L"\\Orvanex.exe").c_str(), FALSE))
            return false;
    }
    return true;
}

static void LookAtMachine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    machine.underWine = GetProcAddress(ntdll, "wine_get_version") != nullptr;
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    machine.windows64 = wow64 != FALSE;
    LookAtRights();
    machine.mayWriteMachine = machine.underWine || machine.elevated;
    machine.runId = MakeRunId();
    machine.launcher64 = IsPe32Plus(machine.launcher);
    machine.archFolder = machine.bundle + (machine.launcher64 ? L"x64\\" : L"");
}

// Why a scenario cannot run here; empty when it can.
static std::wstring SkipReason(const Scenario& scenario)
{
    Needs needs;
    for (const Registration& registration : scenario.registry)
        needs.machineKey = needs.machineKey || registration.root != Root::User;
    needs.noDisplay = scenario.noDisplay;
    needs.prompts = !scenario.prompts.empty();
    needs.launcher32 = scenario.launcher32Only;
    needs.elevationAnswered = scenario.asksElevation;
    needs.person = scenario.personPresses != nullptr;
    needs.doubleByte = std::wstring(scenario.program).find(L"{dbcs}") != std::wstring::npos;
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Expand(scenario.program).c_str(), -1,
                        nullptr, 0, nullptr, &lossy);
    needs.namesFit = !lossy || scenario.bestFitQuote;
    needs.byLanguage = !scenario.japanesePrompts.empty();
    Offers offers;
    offers.uac = machine.uac;
    offers.elevated = machine.elevated;
    offers.underWine = machine.underWine;
    offers.noDisplay = machine.noDisplay;
    offers.launcher64 = machine.launcher64;
    offers.windows64 = machine.windows64;
    offers.interactive = machine.interactive;
    offers.doubleByte = !Expand(L"{dbcs}").empty();
    offers.longPathsFit = !Expand(L"{long259}").empty();
    offers.knownLanguage = UserLanguageIsJapanese() || GetUserDefaultUILanguage() == 0x0409;
    const wchar_t* reason = ::SkipReason(needs, offers);
    return reason != nullptr ? reason : L"";
}

// Whether registry virtualization is on for a program, started suspended
// and ended at once; `told` false when its token cannot be read.
static bool VirtualizedFor(const std::wstring& program, bool* told)
{
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD enabled = 1, size = 0;
    HANDLE token = nullptr;
    *told = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                           nullptr, nullptr, &startup, &process) &&
            OpenProcessToken(process.hProcess, TOKEN_QUERY, &token) &&
            GetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled,
                                &size);
    if (token != nullptr)
        CloseHandle(token);
    if (process.hProcess != nullptr) {
        TerminateProcess(process.hProcess, 0);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return enabled != 0;
}

enum class Verdict { Passed, Failed, Skipped };

// The launcher's manifest (asInvoker) turns registry virtualization off for
// it. Windows never virtualizes an elevated or a 64-bit process ("Registry
// Virtualization"), and a machine may have it off for all: there a 0 proves
// nothing, unless the same launcher without its manifest shows it on.
static Verdict CheckVirtualization()
{
    const wchar_t* moot = machine.elevated    ? L"this run is elevated, and Windows virtualizes "
                                                L"no elevated process: run as a standard user"
                          : machine.launcher64 ? L"Windows virtualizes no 64-bit process"
                                               : nullptr;
    if (moot != nullptr) {
        Say(std::wstring(L"skip virtualization: ") + moot);
        return Verdict::Skipped;
    }
    bool told = false, controlTold = false;
    bool on = VirtualizedFor(machine.launcher, &told);
    bool controlOn =
        VirtualizedFor(machine.bundle + L"e2e_launcher_without_manifest.exe", &controlTold);
    if (!told) {
        Say(L"FAIL virtualization: cannot read the launcher's token");
        return Verdict::Failed;
    }
    if (on) {
        Say(L"FAIL virtualization: registry virtualization is on for the launcher: its "
            L"manifest is not in effect");
        return Verdict::Failed;
    }
    if (!controlTold || !controlOn) {
        Say(L"skip virtualization: off for the launcher, but off for the same launcher without "
            L"a manifest too: this machine virtualizes nothing, so the manifest's part cannot "
            L"be told");
        return Verdict::Skipped;
    }
    Say(L"ok   virtualization: registry virtualization is off for the launcher, on for the "
        L"same launcher without its manifest");
    return Verdict::Passed;
}

// Removes what a scenario made (and with `wholeRun` what the run made for
// all of them), saying why when something stays.
static bool ClearAll(bool wholeRun, std::wstring* why)
{
    std::wstring disc;
    bool registry = ClearRegistry(wholeRun, why);
    bool cleared = ClearDisc(&disc) && registry;
    if (!disc.empty())
        *why += (why->empty() ? L"" : L"; ") + disc;
    return cleared;
}

// Stopped (Ctrl+C, a closed window, the end of the session): the launcher and
// what it started end with the job, then what the run made goes; the main
// thread makes no change after this, whatever step it is in.
static void Stop(const wchar_t* how)
{
    TerminateJobObject(CurrentJob, 1);
    StopChanges();
    std::wstring why;
    bool cleared = ClearAll(true, &why);
    Say(std::wstring(L"stopped by ") + how + L": " +
        (cleared ? L"what this run made is removed" : why));
}

static BOOL WINAPI OnConsoleStop(DWORD)
{
    Stop(L"Ctrl+C or a closed window");
    ExitProcess(3);
}

// Console programs get no console event at logoff or shutdown ("Interactive
// applications are terminated at logoff"): a hidden window hears the end of
// the session instead. It belongs to the main thread, which handles its
// messages while it waits for the launcher (WaitHearing): a second thread
// idling in a message wait is what user-mode emulators (qemu, which runs the
// 32-bit Wine on some Linux machines) crash on.
static LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message == WM_ENDSESSION && wParam) {
        Stop(L"the end of the session");
        // The run it interrupted must make no change after this.
        ExitProcess(3);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static HWND MakeSessionWindow()
{
    WNDCLASSW type = {};
    type.lpfnWndProc = OnSessionMessage;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"OrvaneConformanceSession";
    RegisterClassW(&type);
    return CreateWindowExW(0, type.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           type.hInstance, nullptr);
}

DWORD WaitHearing(HANDLE handle, DWORD millis)
{
    DWORD start = GetTickCount();
    DWORD handles = handle != nullptr ? 1 : 0;
    for (;;) {
        DWORD spent = GetTickCount() - start;
        DWORD left = millis == INFINITE ? INFINITE : spent < millis ? millis - spent : 0;
        DWORD woke = MsgWaitForMultipleObjects(handles, &handle, FALSE, left, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + handles)
            return woke;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
}

// One run at a time on the machine, across sessions, users and elevation:
// a mutex everyone may open, so that a standard user's run sees an elevated
// one (which it may not open fully: ERROR_ACCESS_DENIED).
static bool AnotherRunIsOn()
{
    PSECURITY_DESCRIPTOR everyone = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                             &everyone, nullptr))
        attributes.lpSecurityDescriptor = everyone;
    HANDLE mutex = CreateMutexW(&attributes, FALSE, L"Global\\OrvaneConformanceRun");
    DWORD error = GetLastError();
    LocalFree(everyone);
    // Held by this process until it ends.
    return mutex == nullptr || error == ERROR_ALREADY_EXISTS;
}

struct Options {
    bool list = false;
    int benchRuns = 0;
    std::vector<std::wstring> only;
};

static bool ReadOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--list") {
            options.list = true;
        } else if (arg == L"--no-display") {
            machine.noDisplay = true;
        } else if (arg == L"--interactive") {
            machine.interactive = true;
        } else if (arg == L"--bench" && i + 1 < argc) {
            options.benchRuns = _wtoi(argv[++i]);
        } else if (arg == L"--launcher" && i + 1 < argc) {
            wchar_t full[MAX_PATH];
            GetFullPathNameW(argv[++i], MAX_PATH, full, nullptr);
            machine.launcher = full;
        } else if (arg == L"--disc" && i + 1 < argc) {
            machine.givenDrive = true;
            machine.disc = std::wstring(argv[++i]) + L"\\";
        } else if (arg == L"--only") {
            while (i + 1 < argc && argv[i + 1][0] != L'-')
                options.only.push_back(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}

static bool Wanted(const Options& options, const Scenario& scenario)
{
    if (options.only.empty())
        return true;
    for (const std::wstring& name : options.only)
        if (name == scenario.name)
            return true;
    return false;
}

// A misspelt --only name would otherwise run nothing and end as a pass.
static const wchar_t* UnknownName(const Options& options)
{
    for (const std::wstring& name : options.only) {
        bool known = false;
        for (const Scenario& scenario : kScenarios)
            known = known || name == scenario.name;
        if (!known)
            return name.c_str();
    }
    return nullptr;
}

static int RunAll(const Options& options)
{
    int passed = 0, failed = 0, skipped = 0;
    if (options.only.empty() && (machine.underWine || !machine.uac)) {
        Say(std::wstring(L"note: ") + (machine.underWine ? L"under Wine" : L"without UAC") +
            L", which has no registry virtualization, the manifest's effect cannot be told");
    } else if (options.only.empty()) {
        Verdict verdict = CheckVirtualization();
        passed += verdict == Verdict::Passed;
        failed += verdict == Verdict::Failed;
        skipped += verdict == Verdict::Skipped;
    }
    for (const Scenario& scenario : kScenarios) {
        if (!Wanted(options, scenario))
            continue;
        std::wstring reason = SkipReason(scenario);
        if (!reason.empty()) {
            Say(L"skip " + std::wstring(scenario.name) + L": " + reason);
            ++skipped;
            continue;
        }
        DWORD started = GetTickCount();
        std::wstring failures = RunScenario(scenario), why;
        if (!ClearAll(false, &why)) {
            Say(L"FAIL " + std::wstring(scenario.name) + L": " + failures +
                (failures.empty() ? L"" : L"; ") + L"the run stops: " + why);
            ++failed;
            break;
        }
        wchar_t seconds[32];
        wsprintfW(seconds, L" (%u.%u s)", (GetTickCount() - started) / 1000,
                  (GetTickCount() - started) / 100 % 10);
        if (failures.empty()) {
            Say(L"ok   " + std::wstring(scenario.name) + seconds);
            ++passed;
        } else {
            Say(L"FAIL " + std::wstring(scenario.name) + L": " + failures);
            ++failed;
        }
    }
    // A run that ran nothing proved nothing: it is no pass.
    if (passed + failed == 0)
        Say(L"nothing was run: every scenario was skipped here, so nothing is proven");
    Say(std::to_wstring(passed) + L" passed, " + std::to_wstring(failed) + L" failed, " +
        std::to_wstring(skipped) + L" skipped");
    return failed == 0 && passed > 0 ? 0 : 1;
}

// Started by a double-click, the program has a console of its own, which
// closes with it: it waits for Enter, so that the last line can be read.
// Started from a prompt or with its input redirected, it ends at once.
static void KeepOwnConsoleOpen()
{
    DWORD attached[2];
    DWORD mode = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleProcessList(attached, 2) != 1 || !GetConsoleMode(input, &mode))
        return;
    Say(L"Press Enter to close this window.");
    wchar_t line[64];
    DWORD read = 0;
    ReadConsoleW(input, line, 64, &read, nullptr);
}

// What a run does before the first scenario; why it cannot run, or empty.
// Nothing is written before the checks that may refuse (the log aside).
static std::wstring Begin()
{
    if (!IsFile(machine.launcher))
        return L"no launcher at " + machine.launcher;
    if (!WorkFolderIsOurs())
        return machine.work + L" is not this program's (it has no " + kWorkMark +
               L"): nothing was changed; move it away, or run this program from another folder";
    // What a run that did not end left: its own marked keys and disc files.
    std::wstring why;
    bool earlier = RecordsLeft();
    if (!ClearAll(true, &why))
        return why + L"; whatever else an earlier run left is removed, and nothing else was "
                     L"changed";
    if (earlier)
        Say(L"note: a run before this one did not end; what it made is removed");
    std::wstring registered = FindPlayerRegistration();
    if (!registered.empty())
        return registered;
    if (!MakeWorkFolder())
        return L"cannot make the work folder " + machine.work;
    if (!InstallPlayers())
        return L"cannot install the stand-in player in " + machine.work;
    if (!PrepareDiscPlace(&why) || !PrepareRegistry(&why))
        return why;
    return L"";
}

static int Run(int argc, wchar_t** argv)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    machine.bundle = FolderOf(self);
    machine.launcher = machine.bundle + L"OrvaneCD.exe";
    Options options;
    if (!ReadOptions(argc, argv, options)) {
        Say(L"usage: conformance.exe [--list] [--only NAME...] [--launcher PATH] [--disc X:] "
            L"[--no-display] [--interactive] [--bench N]");
        return 2;
    }
    if (const wchar_t* unknown = UnknownName(options)) {
        Say(std::wstring(L"no scenario ") + unknown + L": --list names them");
        return 2;
    }
    if (options.list) {
        for (const Scenario& scenario : kScenarios)
            Say(scenario.name);
        return 0;
    }
    if (AnotherRunIsOn()) {
        Say(L"cannot run: another run of this program is not finished");
        return 2;
    }
    LookAtMachine();
    if (!ChooseFolder()) {
        Say(L"cannot run: no folder for the log");
        return 2;
    }
    DescribeMachine();
    CurrentJob = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(CurrentJob, JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
    SetConsoleCtrlHandler(OnConsoleStop, TRUE);
    std::wstring why = Begin();
    if (!why.empty()) {
        // A vendor key or a disc folder made before the step that failed goes
        // now, not with the next run.
        std::wstring left;
        ClearAll(true, &left);
        Say(L"cannot run: " + why);
        return 2;
    }
    HWND session = MakeSessionWindow();
    int status = options.benchRuns > 0 ? RunBench(options.benchRuns) : RunAll(options);
    std::wstring left;
    if (!ClearAll(true, &left)) {
        Say(L"cannot end as it began: " + left);
        status = 2;
    }
    if (session != nullptr)
        DestroyWindow(session);
    return status;
}

int wmain(int argc, wchar_t** argv)
{
    int status = Run(argc, argv);
    KeepOwnConsoleOpen();
    return status;
}
