#pragma once

#include <stdint.h>

#include "launch/launch_result.h"

// Sets InstallerPath to the installer beside the launcher and CdInstallerVersion
// to its major.minor (0 when it has no usable version). Ok, Skipped or OutOfMemory.
LaunchResult ProbeCdInstaller();

// Reads the file version of `path`; the out values are written only on Ok.
// Skipped when there is no usable version information, or OutOfMemory.
LaunchResult ReadFileVersion(const char* path, uint32_t* ms, uint32_t* ls);
