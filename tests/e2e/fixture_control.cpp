// Control for the planted-DLL scenario: imports VERSION statically, as the
// launcher must not, so the loader takes version.dll from the program's folder.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    return GetFileVersionInfoSizeA(path, nullptr) != 0 ? 0 : 1;
}
