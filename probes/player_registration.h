#pragma once

#include "launch/launch_result.h"

// Reads the player's registration into the context: Ok, Skipped (no key),
// RegistrationMissing (key without a readable "AppDir") or OutOfMemory.
LaunchResult ReadPlayerRegistration();
