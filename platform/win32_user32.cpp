// USER32 is loaded from the system folder only when a prompt is shown: on the
// common path the launcher asks nothing, and starting without it saves the
// window system's set-up. Every USER32 call of the launcher comes after the
// first prompt; without USER32 there is no window, no message and no prompt.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
using MsgWaitFunction = DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD, DWORD);
using PeekMessageFunction = BOOL(WINAPI*)(MSG*, HWND, UINT, UINT, UINT);
using DispatchMessageFunction = LRESULT(WINAPI*)(const MSG*);
using ForegroundWindowFunction = HWND(WINAPI*)();
using AllowForegroundFunction = BOOL(WINAPI*)(DWORD);

// Found together; the wrappers below call them by index.
enum User32Function {
    kMessageBox,
    kMsgWait,
    kPeekMessage,
    kDispatchMessage,
    kForegroundWindow,
    kAllowForeground,
    kUser32FunctionCount
};

static const char* const kUser32Names[kUser32FunctionCount] = {
    "MessageBoxA",      "MsgWaitForMultipleObjects", "PeekMessageA",
    "DispatchMessageA", "GetForegroundWindow",       "AllowSetForegroundWindow",
};

static const SystemFunctions kUser32 = {nullptr, "user32.dll", kUser32Names,
                                        kUser32FunctionCount};
static FoundFunctions User32;

template <typename Function>
static Function Call(User32Function which)
{
    return AsFunction<Function>(User32.functions[which]);
}

namespace platform {

int MessageBoxA(const char* text, const char* caption, unsigned style)
{
    if (!LoadSystemFunctions(kUser32, User32))
        return 0;
    return Call<MessageBoxFunction>(kMessageBox)(nullptr, text, caption, style);
}

static_assert(platform::kQsAllInput == QS_ALLINPUT, "the headers' QS_ALLINPUT of Windows XP");

uint32_t MsgWaitForMultipleObjects(Handle handle, uint32_t milliseconds, uint32_t wakeMask)
{
    if (!LoadSystemFunctions(kUser32, User32))
        return WAIT_FAILED;
    return Call<MsgWaitFunction>(kMsgWait)(1, &handle, FALSE, milliseconds, wakeMask);
}

bool DispatchNextMessage()
{
    MSG message;
    if (!Call<PeekMessageFunction>(kPeekMessage)(&message, nullptr, 0, 0, PM_REMOVE))
        return false;
    Call<DispatchMessageFunction>(kDispatchMessage)(&message);
    return true;
}

}  // namespace platform

// The elevation prompt comes up in front only for a caller that names the
// foreground window; one that names none gets a flashing taskbar button. The
// user has just answered the launcher's box, so this process may still set
// the foreground: that right is handed on, and the window now in front named.
HWND HandOnForeground()
{
    if (!LoadSystemFunctions(kUser32, User32))
        return nullptr;
    Call<AllowForegroundFunction>(kAllowForeground)(ASFW_ANY);
    return Call<ForegroundWindowFunction>(kForegroundWindow)();
}

