// One scenario: the launcher started as AutoPlay starts it (in the disc's
// root, in Unicode), its boxes read and answered as they appear, then every
// check: the full exit code, the prompts, the programs started and their
// folder, and nothing written to the disc or the registry.
#include "conformance.h"

#include <algorithm>
#include <iterator>

static constexpr DWORD kScenarioMillis = 60000;
static constexpr DWORD kPersonMillis = 300000;   // a person answers a prompt
static constexpr DWORD kAfterEndMillis = 20000;  // for the detached player
static constexpr int kIdText = 0xFFFF;           // the box's text on Windows
static constexpr int kIdTextWine = 100;          // and in Wine's user32

HANDLE CurrentJob;  // ended by the Ctrl+C handler

struct Box {
    HWND window;
    std::wstring caption;
    std::wstring text;
};

struct Run {
    DWORD processId;
    bool ended;  // the launcher ran to an end of its own
    std::vector<Box> boxes;
    std::wstring failures;
};

static void Fail(Run& run, const std::wstring& what)
{
    run.failures += (run.failures.empty() ? L"" : L"; ") + what;
}

static std::wstring WindowText(HWND window)
{
    wchar_t text[2048];
    int length = window != nullptr ? GetWindowTextW(window, text, 2048) : 0;
    return std::wstring(text, length > 0 ? length : 0);
}

static std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    wsprintfW(text, L"0x%08X", value);
    return text;
}

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectBox(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    wchar_t className[64];
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) &&
        GetClassNameW(window, className, 64) && lstrcmpW(className, L"#32770") == 0)
        search->found.push_back(window);
    return TRUE;
}

// The launcher's message boxes now on screen.
static std::vector<HWND> FindBoxes(DWORD processId)
{
    BoxSearch search{processId, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

static BOOL CALLBACK ListWindow(HWND window, LPARAM context)
{
    std::wstring title = WindowText(window);
    if (IsWindowVisible(window) && !title.empty())
        *reinterpret_cast<std::wstring*>(context) += L" \"" + title + L"\"";
    return TRUE;
}

// Every visible top-level window, to tell why a run hung.
static std::wstring VisibleWindows()
{
    std::wstring listing;
    EnumWindows(ListWindow, reinterpret_cast<LPARAM>(&listing));
    return listing.empty() ? L" none" : listing;
}

// Reads each new box and presses the scenario's answer for it (No for a box
// too many, which the prompt check then reports).
static void AnswerBoxes(Run& run, const Scenario& scenario)
{
    for (HWND window : FindBoxes(run.processId)) {
        bool seen = false;
        for (const Box& box : run.boxes)
            seen = seen || box.window == window;
        HWND text = GetDlgItem(window, kIdText);
        if (text == nullptr)
            text = GetDlgItem(window, kIdTextWine);
        if (seen || text == nullptr || WindowText(text).empty())
            continue;
        run.boxes.push_back({window, WindowText(window), WindowText(text)});
        size_t index = run.boxes.size() - 1;
        if (index == 0) {
            std::wstring looks = CheckBoxLooks(run.processId, window);
            if (!looks.empty())
                Fail(run, looks);
        }
        int answer = index < strlen(scenario.answers) && scenario.answers[index] == 'y' ? IDYES
                                                                                        : IDNO;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
    }
}

static bool StartLauncher(const Scenario& scenario, PROCESS_INFORMATION* process, Run& run)
{
    std::wstring program = Expand(L"{disc}") + Expand(scenario.program);
    bool quote = scenario.quoted || program.find(L' ') != std::wstring::npos;
    std::wstring command = quote ? L"\"" + program + L"\"" : program;
    if (scenario.tail != nullptr)
        command += std::wstring(L" ") + scenario.tail;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, machine.disc.c_str(), &startup, process)) {
        Fail(run, L"cannot start " + command + L" (error " + std::to_wstring(GetLastError()) +
                      L")");
        return false;
    }
    // Without the job, a launcher that hangs, or what it started, could not be
    // ended (before Windows 8 a process in a job of its own cannot join ours).
    if (!AssignProcessToJobObject(CurrentJob, process->hProcess)) {
        Fail(run, L"cannot put the launcher in this program's job (error " +
                      std::to_wstring(GetLastError()) + L"): not started");
        TerminateProcess(process->hProcess, 1);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
        return false;
    }
    ResumeThread(process->hThread);
    run.processId = process->dwProcessId;
    return true;
}

static DWORD ActiveProcesses()
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    QueryInformationJobObject(CurrentJob, JobObjectBasicAccountingInformation, &info, sizeof info,
                              nullptr);
    return info.ActiveProcesses;
}

// Runs the launcher to its end, answering its boxes; its exit code.
static DWORD RunLauncher(const Scenario& scenario, Run& run)
{
    PROCESS_INFORMATION process = {};
    if (!StartLauncher(scenario, &process, run))
        return 0;
    DWORD started = GetTickCount();
    DWORD limit = scenario.personPresses != nullptr ? kPersonMillis : kScenarioMillis;
    run.ended = true;
    while (WaitHearing(process.hProcess, 50) == WAIT_TIMEOUT) {
        AnswerBoxes(run, scenario);
        if (GetTickCount() - started > limit) {
            Fail(run, L"hung: no end after " + std::to_wstring(limit / 1000) +
                          L" s; windows on screen:" + VisibleWindows());
            TerminateJobObject(CurrentJob, 1);
            run.ended = false;
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The player is started detached and not waited for: its record may come later.
    for (DWORD ended = GetTickCount();
         ActiveProcesses() != 0 && GetTickCount() - ended < kAfterEndMillis;)
        WaitHearing(nullptr, 20);
    return code;
}

static std::wstring StartsPath()
{
    return machine.work + L"starts.txt";
}

// The fixtures' list of the programs started, one line a start, in the ANSI
// code page.
static std::vector<std::wstring> ReadStarts()
{
    std::vector<std::wstring> lines;
    HANDLE file = CreateFileW(StartsPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(Widen(bytes.substr(at, end - at), CP_ACP));
        at = end + 1;
    }
    return lines;
}

static std::wstring Listing(const std::vector<std::wstring>& lines)
{
    std::wstring text = L"[";
    for (const std::wstring& line : lines)
        text += (text.size() > 1 ? L", " : L"") + line;
    return text + L"]";
}

static bool SameStart(const std::wstring& recorded, const std::wstring& expected)
{
    // A control shows the attack through whichever planted DLL the loader
    // takes first (Wine 10 takes uxtheme.dll before version.dll), named in
    // the case the loader chose: only the folder it came from is compared.
    if (expected.rfind(L"planted\t", 0) == 0) {
        std::wstring folder = recorded.substr(0, recorded.rfind(L'\\') + 1);
        return lstrcmpiW(folder.c_str(), expected.c_str()) == 0;
    }
    return recorded == expected;
}

static void CheckStarts(Run& run, const Scenario& scenario)
{
    std::vector<std::wstring> started, folders, expected;
    for (const std::wstring& line : ReadStarts()) {
        if (line.rfind(L"player-folder\t", 0) == 0)
            folders.push_back(line.substr(14));
        else
            started.push_back(line);
    }
    for (const wchar_t* line : scenario.started)
        expected.push_back(Expand(line));
    bool same = started.size() == expected.size();
    for (size_t i = 0; same && i < started.size(); ++i)
        same = SameStart(started[i], expected[i]);
    if (!same)
        Fail(run, L"started " + Listing(started) + L", expected " + Listing(expected));
    // AutoPlay starts the launcher in the disc's root; the player inherits it.
    std::wstring root = machine.disc;
    if (root.size() > 3)
        root.pop_back();
    size_t players = 0;
    for (const std::wstring& line : started)
        players += line.rfind(L"player\t", 0) == 0;
    if (folders != std::vector<std::wstring>(players, root))
        Fail(run, L"player folders " + Listing(folders) + L", expected " + root);
}

static void CheckPrompts(Run& run, const Scenario& scenario)
{
    std::vector<std::wstring> texts, expected;
    for (const Box& box : run.boxes) {
        texts.push_back(box.text);
        if (box.caption != kCaption)
            Fail(run, L"box caption \"" + box.caption + L"\"");
    }
    for (const wchar_t* text : scenario.prompts)
        expected.push_back(text);
    if (!machine.noDisplay && texts != expected)
        Fail(run, L"prompts " + Listing(texts) + L", expected " + Listing(expected));
}

static void CheckRegistry(Run& run, std::vector<std::wstring>& listing)
{
    std::vector<std::wstring> before = listing, changed;
    listing = SnapshotRegistry();
    std::vector<std::wstring> after = listing;
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                  std::back_inserter(changed));
    if (changed.size() > 5)
        changed.resize(5);
    if (!changed.empty())
        Fail(run, L"registry changed (key and time written): " + Listing(changed));
}

// Sets an environment variable for the launcher and what it starts, and puts
// the old value back when it goes.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name)
    {
        wchar_t old[4096];
        DWORD length = GetEnvironmentVariableW(name, old, 4096);
        had_ = length > 0 && length < 4096;
        if (had_)
            old_ = old;
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    bool had_;
    std::wstring old_;
};

// A person's answer from the console: yes, no or unknown.
static std::wstring AskPerson(const std::wstring& question)
{
    DWORD written = 0, read = 0;
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), question.c_str(),
                  static_cast<DWORD>(question.size()), &written, nullptr);
    wchar_t answer[64] = {};
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), answer, 63, &read, nullptr) || read == 0)
        return L"unknown";
    return answer[0] == L'y' || answer[0] == L'Y' ? L"yes" : L"no";
}

// Whether the ANSI code page turns U+FF02 into a plain quote (best fit).
static bool BestFitsQuote()
{
    char narrow[4] = {};
    WideCharToMultiByte(CP_ACP, 0, L"\xFF02", 1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow[0] == '"' && narrow[1] == '\0';
}

bool UserLanguageIsJapanese()
{
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE;
}

std::wstring RunScenario(const Scenario& given)
{
    Scenario scenario = given;
    if (scenario.bestFitQuote && BestFitsQuote()) {
        scenario.exitCode = 0xFFFFFFFA;
        scenario.started.clear();
    }
    if (!scenario.japanesePrompts.empty() && UserLanguageIsJapanese())
        scenario.prompts = scenario.japanesePrompts;
    Run run{};
    std::wstring why;
    // What the stand-in installer writes carries this run's marker.
    std::wstring settings = L"record=" + StartsPath() + L"\r\ninstaller=" +
                            Expand(scenario.installer) + L"\r\nmarker=" + machine.runId + L"\r\n";
    if (!LayOutDisc(scenario, settings, &why) || !WriteScenarioRegistry(scenario, &why))
        return why;
    DeleteFileW(StartsPath().c_str());
    ScopedVariable starts(L"ORVANE_E2E_RECORD", StartsPath());

    if (scenario.personPresses != nullptr)
        Say(std::wstring(L"now: answer our box yourself if it stays; Windows will ask whether "
                         L"ervast_orvane.exe may make changes: press ") +
            scenario.personPresses + L" there");
    std::wstring discBefore = SnapshotDisc();
    // Between scenarios only the player's own key changes: the last run's
    // listing is this one's.
    static std::vector<std::wstring> registry;
    if (registry.empty())
        registry = SnapshotRegistry();
    DWORD code = RunLauncher(scenario, run);
    // A launcher that did not start or did not end has no outcome to check; a
    // box drawn otherwise than expected is one finding among the rest.
    if (!run.ended) {
        registry.clear();
        return run.failures;
    }
    if (code != scenario.exitCode)
        Fail(run, L"exit code " + Hex(code) + L", expected " + Hex(scenario.exitCode));
    CheckPrompts(run, scenario);
    CheckStarts(run, scenario);
    if (SnapshotDisc() != discBefore)
        Fail(run, L"the disc changed");
    CheckRegistry(run, registry);
    if (scenario.personPresses != nullptr)
        Say(L"answer: the elevation prompt came up in front at once (not only as a flashing "
            L"taskbar button): " + AskPerson(L"Did Windows' prompt come up in front at once? "
                                             L"(y/n) "));
    return run.failures;
}
