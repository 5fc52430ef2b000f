#include "launch/command_tail.h"

#include "platform/platform.h"

// Bytes are judged unsigned: 0x80..0xFF belong to names, never to blanks.
static const unsigned char* SkipQuotedProgramName(const unsigned char* p)
{
    ++p;  // opening quote
    while (*p != '\0' && *p != '"') {
        // A trail byte is never taken for the closing quote.
        if (platform::IsDBCSLeadByte(*p)) {
            ++p;
            if (*p == '\0')
                return p;
        }
        ++p;
    }
    return *p == '"' ? p + 1 : p;
}

const char* DeriveCommandTail(const char* commandLine)
{
    if (commandLine == nullptr)
        return "";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        p = SkipQuotedProgramName(p);
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p != '\0' && *p <= ' ')
        ++p;
    return reinterpret_cast<const char*>(p);
}
