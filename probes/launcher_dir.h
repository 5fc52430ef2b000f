#pragma once

#include "launch/launch_result.h"

// Sets Context.LauncherDir to the launcher's own folder, ending with its
// separator. Ok, OutOfMemory or LauncherPathFailed.
LaunchResult FindLauncherDir();
