#pragma once

#include "launch/launch_result.h"
#include "platform/platform.h"

// Creates a detached process from a writable command line whose first token is
// the quoted executable path. With `process`, its handle goes to the caller,
// who closes it. Ok or StartFailed.
LaunchResult StartProcess(char* commandLine, platform::Handle* process = nullptr);
