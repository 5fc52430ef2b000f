// The ANSI code page's double-byte lead bytes, which the command tail and the
// launcher's folder step over.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

bool IsDBCSLeadByte(unsigned char byte)
{
    return ::IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace platform
