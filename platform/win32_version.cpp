// VERSION is not a known DLL: imported statically, a version.dll lying beside
// the launcher would be loaded in its place. It is taken from the system folder.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(platform::FixedFileInfo),
              "FixedFileInfo must match VS_FIXEDFILEINFO");

using GetSizeFunction = DWORD(WINAPI*)(LPCSTR, LPDWORD);
using GetInfoFunction = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
using QueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);

struct VersionFunctions {
    bool tried;
    GetSizeFunction getSize;
    GetInfoFunction getInfo;
    QueryValueFunction queryValue;
};

static VersionFunctions Version;

// All three or none.
static bool LoadVersionFunctions()
{
    if (!Version.tried) {
        Version.tried = true;
        HMODULE module = LoadSystemLibrary("version.dll");
        Version.getSize = FindFunction<GetSizeFunction>(module, "GetFileVersionInfoSizeA");
        Version.getInfo = FindFunction<GetInfoFunction>(module, "GetFileVersionInfoA");
        Version.queryValue = FindFunction<QueryValueFunction>(module, "VerQueryValueA");
    }
    return Version.getSize != nullptr && Version.getInfo != nullptr &&
           Version.queryValue != nullptr;
}

namespace platform {

uint32_t GetFileVersionInfoSizeA(const char* path)
{
    if (!LoadVersionFunctions())
        return 0;
    DWORD handle = 0;
    return Version.getSize(path, &handle);
}

bool GetFileVersionInfoA(const char* path, uint32_t size, void* buffer)
{
    return LoadVersionFunctions() && Version.getInfo(path, 0, size, buffer) != FALSE;
}

bool VerQueryValueA(const void* block, const char* subBlock, const void** value,
                    uint32_t* length)
{
    if (!LoadVersionFunctions())
        return false;
    void* found = nullptr;
    UINT foundLength = 0;
    if (!Version.queryValue(block, subBlock, &found, &foundLength))
        return false;
    *value = found;
    *length = foundLength;
    return true;
}

}  // namespace platform
