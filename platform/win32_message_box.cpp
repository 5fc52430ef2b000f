#include <windows.h>

#include "platform/platform.h"

namespace platform {

int MessageBoxA(const char* text, const char* caption, unsigned style)
{
    return ::MessageBoxA(nullptr, text, caption, style);
}

}  // namespace platform
