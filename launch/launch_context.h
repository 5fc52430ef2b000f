// The one record of a run: what the probes learn, what the actions use.
#pragma once

#include <stdint.h>

struct LaunchContext {
    char* LauncherDir;           // ends with its separator once found
    char* AppDir;                // player's install folder from the registry
    bool AutorunPlayListCDs;
    uint32_t PlayerVersion;
    bool PlayerRegistered;       // last registration read returned Ok
    char* InstallerPath;         // the installer on the disc
    uint32_t CdInstallerVersion; // major.minor of the disc installer, 0 if unusable
};

extern LaunchContext Context;

// Puts the context in its initial values; the first step of every run.
void StartLaunchContext();

// Releases AppDir, LauncherDir and InstallerPath, each when present, and marks
// them absent. Safe to call again.
void ReleaseLaunchTexts();

// Replaces an owned text, releasing the one held before.
void ReplaceText(char** field, char* text);
