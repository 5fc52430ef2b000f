// Benchmark variant: the registry calls answered from constants, as the common
// path's machine would answer them, so that ADVAPI32 is never loaded. Timed
// against the launcher, it shows what that load costs.
#include "platform/platform.h"

namespace platform {

static const char kAppDir[] = "C:\\Program Files\\Orvane Player";

long RegOpenKeyExA(RegistryRoot, const char*, RegistryKey* key)
{
    *key = const_cast<char*>(kAppDir);
    return kErrorSuccess;
}

static bool SameName(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

long RegQueryValueExA(RegistryKey, const char* valueName, uint32_t* type, unsigned char* data,
                      uint32_t* size)
{
    if (SameName(valueName, "AppDir")) {  // with its terminator, as the installer writes it
        if (type != nullptr)
            *type = kRegSz;
        if (data != nullptr)
            for (uint32_t i = 0; i < sizeof kAppDir; ++i)
                data[i] = static_cast<unsigned char>(kAppDir[i]);
        *size = sizeof kAppDir;
        return kErrorSuccess;
    }
    uint32_t value = SameName(valueName, "PlayerVersion") ? 0x00010003u : 1u;  // 1.3, autorun on
    *type = kRegDword;
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<unsigned char>(value >> (8 * i));
    *size = 4;
    return kErrorSuccess;
}

long RegCloseKey(RegistryKey)
{
    return kErrorSuccess;
}

}  // namespace platform
