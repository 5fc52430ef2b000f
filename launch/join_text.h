#pragma once

#include <stddef.h>

// Joins `count` texts, in order and with nothing between them, into one newly
// allocated text that the caller releases. nullptr when it cannot be allocated.
char* JoinTextList(size_t count, const char* const* pieces);

// JoinText(piece 1, ..., piece n): the count is the number of pieces given, so
// it can never disagree with them.
template <typename... Pieces>
char* JoinText(const Pieces*... pieces)
{
    const char* const list[] = {pieces...};
    return JoinTextList(sizeof...(pieces), list);
}
