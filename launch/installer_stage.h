#pragma once

#include "launch/launch_result.h"

// Offers to install a missing player or to update an older one from the disc,
// and brings the registration up to date after each successful installer run.
LaunchResult RunInstallerStage();
