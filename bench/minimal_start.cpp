// The least a launcher can do on the common path: start the player, detached,
// with the command line it is given (everything after its own name), and
// exit. The timing baseline.
#include <windows.h>

extern "C" void WinMainCRTStartup()
{
    char* line = GetCommandLineA();
    bool quoted = *line == '"';
    for (++line; *line != '\0' && (quoted ? *line != '"' : *line != ' '); ++line) {
    }
    if (*line == '"')
        ++line;
    while (*line == ' ')
        ++line;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process))
        ExitProcess(1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ExitProcess(0);
}
