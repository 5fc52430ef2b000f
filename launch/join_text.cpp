#include "launch/join_text.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

static size_t MeasureText(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

char* JoinText(int count, ...)
{
    va_list pieces;
    va_start(pieces, count);
    size_t total = 0;
    bool fits = true;
    for (int i = 0; i < count; ++i) {
        size_t length = MeasureText(va_arg(pieces, const char*));
        // A sum that would wrap is an allocation that cannot be made.
        if (length >= SIZE_MAX - total)
            fits = false;
        else
            total += length;
    }
    va_end(pieces);
    if (!fits)
        return nullptr;

    char* text = static_cast<char*>(platform::AllocateMemory(total + 1));
    if (text == nullptr)
        return nullptr;

    char* end = text;
    va_start(pieces, count);
    for (int i = 0; i < count; ++i) {
        for (const char* piece = va_arg(pieces, const char*); *piece != '\0'; ++piece)
            *end++ = *piece;
    }
    va_end(pieces);
    *end = '\0';
    return text;
}
