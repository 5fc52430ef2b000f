// The version functions. KERNELBASE has all three from Windows 10 on, and is
// then loaded in every process: they are taken from there. Elsewhere they
// come from VERSION, which is not a known DLL (imported statically, a
// version.dll lying beside the launcher would be loaded in its place), from
// the system folder. All three come from one DLL, so that a block copied by
// one DLL's GetFileVersionInfoA is read by the same DLL's VerQueryValueA.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(platform::FixedFileInfo),
              "FixedFileInfo must match VS_FIXEDFILEINFO");

using GetSizeFunction = DWORD(WINAPI*)(LPCSTR, LPDWORD);
using GetInfoFunction = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
using QueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);

enum VersionFunction { kGetSize, kGetInfo, kQueryValue, kVersionFunctionCount };

static const char* const kVersionNames[kVersionFunctionCount] = {
    "GetFileVersionInfoSizeA", "GetFileVersionInfoA", "VerQueryValueA"};
static const SystemFunctions kVersion = {"kernelbase.dll", "version.dll", kVersionNames,
                                         kVersionFunctionCount};
static FoundFunctions Version;

// The function at `which`, as the type the caller expects.
template <typename Function>
static Function Call(VersionFunction which)
{
    return AsFunction<Function>(Version.functions[which]);
}

namespace platform {

uint32_t GetFileVersionInfoSizeA(const char* path)
{
    if (!LoadSystemFunctions(kVersion, Version))
        return 0;
    DWORD handle = 0;
    return Call<GetSizeFunction>(kGetSize)(path, &handle);
}

bool GetFileVersionInfoA(const char* path, uint32_t size, void* buffer)
{
    return LoadSystemFunctions(kVersion, Version) &&
           Call<GetInfoFunction>(kGetInfo)(path, 0, size, buffer) != FALSE;
}

bool VerQueryValueA(const void* block, const char* subBlock, const void** value,
                    uint32_t* length)
{
    if (!LoadSystemFunctions(kVersion, Version))
        return false;
    void* found = nullptr;
    UINT foundLength = 0;
    if (!Call<QueryValueFunction>(kQueryValue)(block, subBlock, &found, &foundLength))
        return false;
    *value = found;
    *length = foundLength;
    return true;
}

}  // namespace platform
