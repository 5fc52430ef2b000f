// Process start-up without a C runtime: the launcher needs none, and a runtime
// start-up would both grow the file and derive the command tail on signed bytes.
#include <windows.h>

#include "launch/command_tail.h"
#include "platform/platform.h"
#include "platform/win32_system_library.h"

// The module's own base, placed by the linker; WinMain is declared by windows.h.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name

// SetDefaultDllDirectories' flag: Windows 8 on, and Vista and 7 with their
// 2011 loader update (KB2533623), which also brings the function itself.
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;

// System code in this process loads some DLLs late and by bare name (the
// message box's theme DLL, for one). Searching only the system folder keeps a
// DLL of that name lying beside the launcher from being taken. Systems that
// lack the call (XP, unpatched Vista and 7) load the system DLLs with their
// dependencies looked for beside them, and get the theme DLL loaded now from
// the system folder, so that the later load by name finds that copy.
static void RestrictDllSearchToSystemFolder()
{
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    auto setSearchOrder = FindSystemFunction<SetDefaultDllDirectoriesFunction>(
        "kernel32.dll", "SetDefaultDllDirectories");
    if (setSearchOrder != nullptr && setSearchOrder(kLoadLibrarySearchSystem32))
        return;
    SearchSystemLibraryDependenciesBesideThem();
    LoadSystemLibrary("uxtheme.dll");
}

// Windows enters with only 4-byte stack alignment on x86.
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup()
{
    RestrictDllSearchToSystemFolder();
    char* commandTail = const_cast<char*>(DeriveCommandTail(::GetCommandLineA()));
    int result = WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr, commandTail, SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(result));
}
