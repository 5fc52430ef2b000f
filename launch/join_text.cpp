#include "launch/join_text.h"

#include <stdint.h>

#include "platform/platform.h"

static size_t MeasureText(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

char* JoinTextList(size_t count, const char* const* pieces)
{
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t length = MeasureText(pieces[i]);
        // A sum that would wrap is an allocation that cannot be made.
        if (length >= SIZE_MAX - total)
            return nullptr;
        total += length;
    }

    char* text = static_cast<char*>(platform::AllocateMemory(total + 1));
    if (text == nullptr)
        return nullptr;
    char* end = text;
    for (size_t i = 0; i < count; ++i) {
        for (const char* piece = pieces[i]; *piece != '\0'; ++piece)
            *end++ = *piece;
    }
    *end = '\0';
    return text;
}

bool HoldsQuote(const char* text)
{
    for (; *text != '\0'; ++text) {
        if (*text == '"')
            return true;
    }
    return false;
}
