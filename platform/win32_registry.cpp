// The registry functions. KERNEL32 has all three from Windows 7 on (ADVAPI32's
// then call into it), so the launcher takes them from there and loads no
// ADVAPI32; XP and Vista have them in ADVAPI32 only, which is then loaded from
// the system folder. Without them no key opens: the player counts as not
// registered.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

using OpenKeyFunction = LONG(WINAPI*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
using QueryValueFunction = LONG(WINAPI*)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using CloseKeyFunction = LONG(WINAPI*)(HKEY);

enum RegistryFunction { kOpenKey, kQueryValue, kCloseKey, kRegistryFunctionCount };

static const char* const kRegistryNames[kRegistryFunctionCount] = {
    "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"};
static const SystemFunctions kRegistry = {"kernel32.dll", "advapi32.dll", kRegistryNames,
                                          kRegistryFunctionCount};
static FoundFunctions Registry;

template <typename Function>
static Function Call(RegistryFunction which)
{
    return AsFunction<Function>(Registry.functions[which]);
}

namespace platform {

long RegOpenKeyExA(RegistryRoot root, const char* subKey, RegistryKey* key)
{
    *key = nullptr;
    if (!LoadSystemFunctions(kRegistry, Registry))
        return ERROR_PROC_NOT_FOUND;
    HKEY rootKey = root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY opened = nullptr;
    LONG status = Call<OpenKeyFunction>(kOpenKey)(rootKey, subKey, 0, KEY_QUERY_VALUE, &opened);
    *key = opened;
    return status;
}

// Only ever called with a key that RegOpenKeyExA opened, so the functions are there.
long RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* type,
                      unsigned char* data, uint32_t* size)
{
    DWORD valueType = 0;
    DWORD valueSize = *size;
    LONG status = Call<QueryValueFunction>(kQueryValue)(static_cast<HKEY>(key), valueName,
                                                        nullptr, &valueType, data, &valueSize);
    if (type != nullptr)
        *type = valueType;
    *size = valueSize;
    return status;
}

long RegCloseKey(RegistryKey key)
{
    return Call<CloseKeyFunction>(kCloseKey)(static_cast<HKEY>(key));
}

}  // namespace platform
