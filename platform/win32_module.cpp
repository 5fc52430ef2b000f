#include <windows.h>

#include "platform/platform.h"

namespace platform {

uint32_t GetModuleFileNameA(char* buffer, uint32_t size)
{
    return ::GetModuleFileNameA(nullptr, buffer, size);
}

}  // namespace platform
