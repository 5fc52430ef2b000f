// The floor for the size comparison: the same icon, an entry that only exits,
// built with the same options as the launcher.
#include <windows.h>

extern "C" void WinMainCRTStartup()
{
    ExitProcess(0);
}
