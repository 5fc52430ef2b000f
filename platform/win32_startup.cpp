// Process start-up without a C runtime: the launcher needs none, and a runtime
// start-up would both grow the file and derive the command tail on signed bytes.
#include <windows.h>

#include "launch/command_tail.h"
#include "platform/platform.h"

// The module's own base, placed by the linker; WinMain is declared by windows.h.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name

namespace platform {

const char* GetCommandLineA()
{
    return ::GetCommandLineA();
}

bool IsDBCSLeadByte(unsigned char byte)
{
    return ::IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace platform

// Windows enters with only 4-byte stack alignment on x86.
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup()
{
    char* commandTail = const_cast<char*>(DeriveCommandTail(::GetCommandLineA()));
    int result = WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr, commandTail, SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(result));
}
