#pragma once

#include <stdint.h>

#include "launch/launch_result.h"

// Starts the command line and waits for the process to end. With `exitCode`
// it delivers the process's exit code. With `elevationFile`, a start refused
// for want of administrator rights is retried through the shell with that file.
// Ok, Skipped (the user declined the elevation), StartFailed or WaitFailed.
LaunchResult RunAndWait(char* commandLine, uint32_t* exitCode = nullptr,
                        const char* elevationFile = nullptr);

// Runs the disc's installer to its end, asking first when `ask` is true.
// Ok, Skipped (declined), OutOfMemory, StartFailed, WaitFailed or InstallerFailed.
LaunchResult RunInstaller(bool ask);

// Asks to update the installed player, runs the installer and reads the
// registration again. A failed installer is given up quietly (Skipped).
LaunchResult OfferUpdate();
