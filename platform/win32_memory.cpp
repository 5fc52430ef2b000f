#include <windows.h>

#include "platform/platform.h"

namespace platform {

void* AllocateMemory(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void ReleaseMemory(void* block)
{
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace platform
