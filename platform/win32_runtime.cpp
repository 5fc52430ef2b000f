// The compiler may emit calls to these for loops, structure copies and fills;
// without a C runtime they are ours. The build compiles this file with
// -fno-tree-loop-distribute-patterns so that the loops below are not turned
// back into calls to the functions themselves.
#include <stddef.h>

extern "C" {

__attribute__((used)) void* memset(void* target, int value, size_t count)
{
    unsigned char* p = static_cast<unsigned char*>(target);
    while (count-- != 0)
        *p++ = static_cast<unsigned char>(value);
    return target;
}

__attribute__((used)) void* memcpy(void* target, const void* source, size_t count)
{
    unsigned char* p = static_cast<unsigned char*>(target);
    const unsigned char* q = static_cast<const unsigned char*>(source);
    while (count-- != 0)
        *p++ = *q++;
    return target;
}

__attribute__((used)) size_t strlen(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

}
