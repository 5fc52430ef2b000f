#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_system_library.h"

#if defined(__i386__)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA on x86");
static_assert(sizeof(PROCESS_INFORMATION) == 16, "PROCESS_INFORMATION on x86");
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA on x86, as XP has it");
#endif

using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
using CoInitializeExFunction = HRESULT(WINAPI*)(void*, DWORD);

// The shell may hand the start to COM components, and asks that COM be set up
// first, in a single-threaded apartment without OLE1's DDE. The wait that
// follows answers messages, as the apartment needs. Failing that, the shell is
// asked all the same.
static void InitializeComForShell()
{
    auto initialize = FindSystemFunction<CoInitializeExFunction>("ole32.dll", "CoInitializeEx");
    if (initialize != nullptr)
        initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
}

namespace platform {

bool CreateProcessA(char* commandLine, uint32_t creationFlags, Handle* process, Handle* thread)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created;
    ZeroMemory(&created, sizeof created);
    if (!::CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, creationFlags, nullptr,
                          nullptr, &startup, &created))
        return false;
    *process = created.hProcess;
    *thread = created.hThread;
    return true;
}

bool ShellExecuteExA(const char* file, Handle* process)
{
    auto shellExecuteEx =
        FindSystemFunction<ShellExecuteExFunction>("shell32.dll", "ShellExecuteExA");
    if (shellExecuteEx == nullptr)
        return false;
    InitializeComForShell();

    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    // The shell would show an error box of its own when the start fails.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = HandOnForeground();
    info.lpFile = file;
    info.nShow = SW_SHOWNORMAL;
    if (!shellExecuteEx(&info))
        return false;
    // Without a process there is nothing to wait for.
    if (info.hProcess == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *process = info.hProcess;
    return true;
}

uint32_t GetLastError()
{
    return ::GetLastError();
}

bool CloseHandle(Handle handle)
{
    return ::CloseHandle(handle) != FALSE;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode)
{
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code))
        return false;
    *exitCode = code;
    return true;
}

}  // namespace platform
