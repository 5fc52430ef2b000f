// Result codes shared by every probe and action; the run's result is the
// process exit code. Negative values end the run.
#pragma once

#include <stdint.h>

enum LaunchResult : int32_t {
    Ok = 0,
    Skipped = 1,
    OutOfMemory = -1,
    RegistrationMissing = -2,
    InstallerFailed = -3,
    WaitFailed = -4,
    StartFailed = -5,
    LauncherPathFailed = -6,
};
