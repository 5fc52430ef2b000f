#pragma once

#include <stddef.h>

// Joins `count` texts, in order and with nothing between them, into one newly
// allocated text that the caller releases. nullptr when it cannot be allocated.
char* JoinTextList(size_t count, const char* const* pieces);

// No Windows name holds a double quote, but best-fit conversion to the ANSI
// code page turns some characters (the full-width quote, U+FF02) into one. A
// path holding one would end the quoting of every command line built from it.
// No trail byte of a double-byte code page is 0x22, so a byte test is exact.
bool HoldsQuote(const char* text);

// JoinText(piece 1, ..., piece n): the count is the number of pieces given, so
// it can never disagree with them.
template <typename... Pieces>
char* JoinText(const Pieces*... pieces)
{
    const char* const list[] = {pieces...};
    return JoinTextList(sizeof...(pieces), list);
}
