// USER32 is loaded only when a prompt is shown: on the common path the launcher
// asks nothing, and starting without it saves the window system's set-up.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

namespace platform {

int MessageBoxA(const char* text, const char* caption, unsigned style)
{
    using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    auto show = FindSystemFunction<MessageBoxFunction>("user32.dll", "MessageBoxA");
    if (show == nullptr)
        return 0;
    return show(nullptr, text, caption, style);
}

}  // namespace platform
