#include "probes/launcher_dir.h"

#include "launch/join_text.h"
#include "launch/launch_context.h"
#include "platform/platform.h"

static constexpr uint32_t kFirstPathSize = 260;
static constexpr uint32_t kLargestPathSize = 0x7FFFFFFFu;

// Walks character by character so that the trail byte of a double-byte
// character (0x5C in many of them) is never taken for a separator.
static char* FindLastSeparator(char* path)
{
    char* last = nullptr;
    for (char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/')
            last = p;
        else if (platform::IsDBCSLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0')
            ++p;
    }
    return last;
}

LaunchResult FindLauncherDir()
{
    uint32_t size = kFirstPathSize;
    uint32_t length = 0;
    for (;;) {
        ReplaceText(&Context.LauncherDir, nullptr);
        Context.LauncherDir = static_cast<char*>(platform::AllocateMemory(size_t{size} + 1));
        if (Context.LauncherDir == nullptr)
            return OutOfMemory;
        length = platform::GetModuleFileNameA(Context.LauncherDir, size);
        if (length == 0)
            return LauncherPathFailed;
        // A path that fills the buffer may have been cut.
        if (length < size - 1)
            break;
        if (size > kLargestPathSize / 2)
            return OutOfMemory;
        size *= 2;
    }
    // Older systems leave a cut path unterminated; ours is whole here but the
    // terminator is ours to set all the same.
    Context.LauncherDir[length] = '\0';
    // A quote can only come from best-fit conversion of the Unicode name.
    if (HoldsQuote(Context.LauncherDir))
        return LauncherPathFailed;

    char* separator = FindLastSeparator(Context.LauncherDir);
    if (separator == nullptr)
        return LauncherPathFailed;
    separator[1] = '\0';
    return Ok;
}
