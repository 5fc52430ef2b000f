// Deliberate faults of the kinds the static analysis must report; the test
// static_analysis_catches_seeded_fault expects both tools to fail on this file.
#include <stdlib.h>
#include <string.h>

char* CopyName(const char* name)
{
    char* copy = static_cast<char*>(malloc(strlen(name)));  // no room for the terminator
    strcpy(copy, name);
    free(copy);
    return copy;  // used after release
}

int Index(int i)
{
    int table[4] = {0, 1, 2, 3};
    return table[i + 4];
}
