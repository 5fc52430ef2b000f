// Benchmark variant: the version calls answered from constants (the disc's
// installer at 1.3, as on the common path), so that VERSION is never loaded.
// Timed against the launcher, it shows what that load costs.
#include "platform/platform.h"

namespace platform {

uint32_t GetFileVersionInfoSizeA(const char*)
{
    return sizeof(FixedFileInfo);
}

bool GetFileVersionInfoA(const char*, uint32_t, void* buffer)
{
    FixedFileInfo* info = static_cast<FixedFileInfo*>(buffer);
    *info = FixedFileInfo{0xFEEF04BD, 0x10000, 0x00010003, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return true;
}

bool VerQueryValueA(const void* block, const char*, const void** value, uint32_t* length)
{
    *value = block;
    *length = sizeof(FixedFileInfo);
    return true;
}

}  // namespace platform
