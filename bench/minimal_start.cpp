// The least a launcher can do on the common path: start the player, detached,
// with the same command line, and exit. The timing baseline.
#include <windows.h>

extern "C" void WinMainCRTStartup()
{
    char commandLine[] =
        "\"C:\\Program Files\\Orvane Player\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process))
        ExitProcess(1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ExitProcess(0);
}
