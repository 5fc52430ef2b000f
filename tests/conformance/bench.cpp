// --bench N: the launcher's common path (a registered player as new as the
// disc's installer: no prompt, the player started) timed from start to exit
// against the NSIS-scripted launcher, a program that only starts the player
// and the launcher with its earlier, smaller manifest, runs interleaved, each round starting with the next program; the
// first round only warms the caches. The counterpart of bench/run on the
// machine at hand.
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

int RunBench(int runs)
{
    const Scenario common{.name = L"bench",
                          .disc = L"bench",
                          .registry = {{Root::User, L"{player}", 0x00010003, 1}},
                          .exitCode = 0};
    std::wstring why;
    if (runs < 1 || !LayOutDisc(common, &why) || !WriteScenarioRegistry(common, &why)) {
        Say(L"bench: cannot run" + (why.empty() ? L"" : L": " + why));
        return 2;
    }
    Timed programs[] = {
        {L"launcher", L"{disc}OrvaneCD.exe", 0, {}},
        {L"NSIS-scripted launcher", L"{disc}nsis.exe", 2, {}},
        {L"start only",
         L"{disc}start-only.exe \"{player}\\Orvanex.exe\" -p -l \"{disc}CDPlayList.p4u\"", 0, {}},
        {L"launcher, earlier manifest", L"{disc}earlier-manifest.exe", 0, {}}};
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
        swprintf(line, 160, L"  %-28ls median %7.1f   quartiles %.1f-%.1f", programs[k].label,
                 medians[k], t.size() > 1 ? Quartile(t, 1) : t[0],
                 t.size() > 1 ? Quartile(t, 3) : t[0]);
        Say(line);
    }
    wchar_t ratios[160];
    swprintf(ratios, 160,
             L"ratios of medians: launcher / NSIS-scripted launcher %.2f, launcher / start only "
             L"%.2f, launcher / launcher with the earlier manifest %.2f",
             medians[0] / medians[1], medians[0] / medians[2], medians[0] / medians[3]);
    Say(ratios);
    return 0;
}
