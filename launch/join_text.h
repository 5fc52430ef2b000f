#pragma once

// Joins `count` texts, in order and with nothing between them, into one newly
// allocated text that the caller releases. nullptr when it cannot be allocated.
char* JoinText(int count, ...);
