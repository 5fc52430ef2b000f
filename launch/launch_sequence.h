#pragma once

#include "launch/launch_result.h"

// The whole decision flow of one run; its result is the process exit code.
LaunchResult RunLaunchSequence(const char* commandTail);
