// --bench N: the launcher's common path (a registered player as new as the
// disc's installer: no prompt, the player started) timed from start to exit
// against the NSIS-scripted launcher, a program that only starts the player,
// the launcher with its earlier, smaller manifest and the launcher on the
// system folder's route (ADVAPI32 and VERSION loaded, as where KERNEL32 and
// KERNELBASE lack the registry and version functions), runs interleaved, each
// round starting with the next program; the first round only warms the
// caches. First it says which route the launcher takes here, from the DLLs it
// loads. The counterpart of bench/run on the machine at hand.
#include "conformance.h"

#include <algorithm>

struct Timed {
    const wchar_t* label;
    const wchar_t* command;  // from the disc's root
    DWORD normalEnd;
    std::vector<double> millis;
};

// Quartile i (1 or 3) of sorted times, interpolated between neighbours
// (Python's statistics.quantiles, as bench/run reports them).
static double Quartile(const std::vector<double>& sorted, int i)
{
    int n = static_cast<int>(sorted.size());
    int j = std::clamp(i * (n + 1) / 4, 1, n - 1);
    int delta = i * (n + 1) - j * 4;
    return (sorted[j - 1] * (4 - delta) + sorted[j] * delta) / 4.0;
}

static double Median(const std::vector<double>& sorted)
{
    size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
}

// Milliseconds from the start to the exit; 0 when it could not be started or
// did not end as it normally does.
static double TimeOnce(const Timed& program)
{
    std::wstring command = Expand(program.command);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        machine.disc.c_str(), &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&ended);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Sleep(200);  // let the detached player end
    if (code != program.normalEnd)
        return 0;
    return (ended.QuadPart - started.QuadPart) * 1000.0 / frequency.QuadPart;
}

// The file name of a DLL the debugged launcher loaded (Vista on); empty where
// the system cannot tell.
static std::wstring LoadedName(HANDLE file)
{
    using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    auto finalPath = reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    wchar_t path[MAX_PATH * 2];
    DWORD length = finalPath != nullptr && file != nullptr ? finalPath(file, path, MAX_PATH * 2, 0)
                                                           : 0;
    if (length == 0 || length >= MAX_PATH * 2)
        return L"";
    std::wstring name = path;
    name = name.substr(name.rfind(L'\\') + 1);
    CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

// Runs the launcher once under this program's debugging and says which DLLs
// its registry and version functions came from.
static void SayRoute(const std::wstring& launcher)
{
    std::wstring command = L"\"" + launcher + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                        nullptr, machine.disc.c_str(), &startup, &process)) {
        Say(L"bench: the launcher's route cannot be told: it does not start under debugging");
        return;
    }
    bool advapi32 = false, version = false, told = true;
    for (DEBUG_EVENT event = {}; WaitForDebugEvent(&event, INFINITE);) {
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            std::wstring name = LoadedName(event.u.LoadDll.hFile);
            told = told && !name.empty();
            advapi32 = advapi32 || name == L"advapi32.dll";
            version = version || name == L"version.dll";
            CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                   event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
            status = DBG_EXCEPTION_NOT_HANDLED;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Sleep(200);  // let the detached player end
    if (!told) {
        Say(L"bench: which DLLs the launcher loads cannot be told here (Windows before Vista)");
        return;
    }
    Say(std::wstring(L"bench: the launcher takes the registry functions from ") +
        (advapi32 ? L"ADVAPI32 (loaded from the system folder)" : L"KERNEL32") +
        L" and the version functions from " +
        (version ? L"VERSION (loaded from the system folder)" : L"KERNELBASE"));
}

int RunBench(int runs)
{
    const Scenario common{.name = L"bench",
                          .disc = L"bench",
                          .registry = {{Root::User, L"{player}", 0x00010003, 1}},
                          .exitCode = 0};
    std::wstring why;
    if (runs < 1 || !LayOutDisc(common, L"", &why) || !WriteScenarioRegistry(common, &why)) {
        Say(L"bench: cannot run" + (why.empty() ? L"" : L": " + why));
        return 2;
    }
    Timed programs[] = {
        {L"launcher", L"{disc}OrvaneCD.exe", 0, {}},
        {L"NSIS-scripted launcher", L"{disc}nsis.exe", 2, {}},
        {L"start only",
         L"{disc}start-only.exe \"{player}\\Orvanex.exe\" -p -l \"{disc}CDPlayList.p4u\"", 0, {}},
        {L"launcher, earlier manifest", L"{disc}earlier-manifest.exe", 0, {}},
        {L"launcher, system folder's route", L"{disc}system-folder-routes.exe", 0, {}}};
    SayRoute(Expand(L"{disc}OrvaneCD.exe"));
    constexpr int kPrograms = sizeof programs / sizeof programs[0];
    for (int round = 0; round <= runs; ++round) {
        for (int k = 0; k < kPrograms; ++k) {
            Timed& program = programs[(round + k) % kPrograms];
            double millis = TimeOnce(program);
            if (millis == 0) {
                Say(std::wstring(L"bench: ") + program.label + L" did not end as it should");
                return 1;
            }
            if (round > 0)
                program.millis.push_back(millis);
        }
    }
    Say(L"bench: common path, " + std::to_wstring(runs) + L" interleaved runs each (ms):");
    double medians[kPrograms];
    for (int k = 0; k < kPrograms; ++k) {
        std::vector<double>& t = programs[k].millis;
        std::sort(t.begin(), t.end());
        medians[k] = Median(t);
        wchar_t line[160];
        swprintf(line, 160, L"  %-32ls median %7.1f   quartiles %.1f-%.1f", programs[k].label,
                 medians[k], t.size() > 1 ? Quartile(t, 1) : t[0],
                 t.size() > 1 ? Quartile(t, 3) : t[0]);
        Say(line);
    }
    wchar_t ratios[240];
    swprintf(ratios, 240,
             L"ratios of medians: launcher / NSIS-scripted launcher %.2f, launcher / start only "
             L"%.2f, launcher / launcher with the earlier manifest %.2f, the system folder's "
             L"route / start only %.2f",
             medians[0] / medians[1], medians[0] / medians[2], medians[0] / medians[3],
             medians[4] / medians[2]);
    Say(ratios);
    return 0;
}
