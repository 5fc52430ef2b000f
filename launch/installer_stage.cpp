#include "launch/installer_stage.h"

#include "actions/installer_run.h"
#include "launch/launch_context.h"
#include "probes/cd_installer.h"
#include "probes/player_registration.h"

static LaunchResult OfferInstallation()
{
    LaunchResult result = RunInstaller(true);
    if (result != Ok)
        return result;
    result = ReadPlayerRegistration();
    // The installer said it succeeded but left no registration behind.
    return result == Skipped ? RegistrationMissing : result;
}

LaunchResult RunInstallerStage()
{
    LaunchResult result = ProbeCdInstaller();
    if (result < 0)
        return result;
    if (!Context.PlayerRegistered && Context.CdInstallerVersion != 0)
        result = OfferInstallation();
    if (result >= 0 && Context.PlayerRegistered &&
        Context.PlayerVersion < Context.CdInstallerVersion)
        result = OfferUpdate();
    return result;
}
