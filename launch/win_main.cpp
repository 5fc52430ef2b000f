// The GUI entry of the Windows builds. The platform's start-up hands it the
// command tail that it derives itself from the process command line.
#include "launch/launch_sequence.h"

// The entry's signature is Windows' own (LPSTR), whatever the body reads.
extern "C" int __stdcall WinMain(void* /*instance*/, void* /*previousInstance*/,
                                 // cppcheck-suppress constParameterPointer
                                 char* commandTail, int /*showState*/)
{
    return RunLaunchSequence(commandTail);
}
