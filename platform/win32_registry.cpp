#include <windows.h>

#include "platform/platform.h"

namespace platform {

long RegOpenKeyExA(RegistryRoot root, const char* subKey, RegistryKey* key)
{
    HKEY rootKey = root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY opened = nullptr;
    LONG status = ::RegOpenKeyExA(rootKey, subKey, 0, KEY_QUERY_VALUE, &opened);
    *key = opened;
    return status;
}

long RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* type,
                      unsigned char* data, uint32_t* size)
{
    DWORD valueType = 0;
    DWORD valueSize = *size;
    LONG status = ::RegQueryValueExA(static_cast<HKEY>(key), valueName, nullptr, &valueType,
                                     data, &valueSize);
    if (type != nullptr)
        *type = valueType;
    *size = valueSize;
    return status;
}

long RegCloseKey(RegistryKey key)
{
    return ::RegCloseKey(static_cast<HKEY>(key));
}

}  // namespace platform
