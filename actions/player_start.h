#pragma once

#include "launch/launch_result.h"

// Starts the registered player, without waiting for it: on the disc's playlist
// when the tail is empty, otherwise with the tail as its only arguments.
// Ok, OutOfMemory or StartFailed.
LaunchResult StartPlayer(const char* commandTail);
