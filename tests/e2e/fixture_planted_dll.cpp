// A DLL planted beside the launcher under the name of a system DLL. Loaded at
// all, it records that and ends the process with a code no run gives
// otherwise. It exports the version functions so that a program importing
// them statically gets as far as loading it.
#include "fixture_record.h"

static const UINT kPlantedExitCode = 0x0BAD0D11;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char name[MAX_PATH];
        if (GetModuleFileNameA(module, name, sizeof name) == 0)
            lstrcpyA(name, "?");
        AppendRecord("planted", name);
        ExitProcess(kPlantedExitCode);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR, LPDWORD)
{
    return 0;
}

extern "C" __declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR, DWORD, DWORD, LPVOID)
{
    return FALSE;
}

extern "C" __declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID, LPCSTR, LPVOID*, PUINT)
{
    return FALSE;
}
