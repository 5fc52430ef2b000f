#include "launch/launch_sequence.h"

#include "actions/player_start.h"
#include "launch/installer_stage.h"
#include "launch/launch_context.h"
#include "probes/launcher_dir.h"
#include "probes/player_registration.h"

// The steps of a run in their fixed order: the launcher's folder before the
// registry, a broken registration before the autorun switch, the switch before
// anything on the disc is looked at.
static LaunchResult RunLaunchSteps(const char* commandTail)
{
    LaunchResult result = FindLauncherDir();
    if (result < 0)
        return result;
    result = ReadPlayerRegistration();
    if (result < 0)
        return result;
    if (!Context.AutorunPlayListCDs)
        return Skipped;
    result = RunInstallerStage();
    if (result < 0 || !Context.PlayerRegistered)
        return result;
    return StartPlayer(commandTail);
}

LaunchResult RunLaunchSequence(const char* commandTail)
{
    StartLaunchContext();
    LaunchResult result = RunLaunchSteps(commandTail);
    ReleaseLaunchTexts();
    return result;
}
