// The installer stage seen through whole runs of the launch sequence.
#include "launch/launch_sequence.h"

#include <functional>

#include "tests/test_support.h"

namespace {

const char kInstallerLine[] = "\"E:\\Orvane Installer\\ervast_orvane.exe\"";
const char kOldPlayer[] = "\"C:\\Old\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\"";
const char kNewPlayer[] = "\"D:\\New Player\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\"";

std::function<void()> Registers(uint32_t version)
{
    return [version] { fake::RegisterPlayer(kUser, "D:\\New Player", version); };
}

void RegisteredOld(uint32_t version)
{
    fake::RegisterPlayer(kUser, "C:\\Old", version);
}

}  // namespace

using InstallerStageTest = LauncherTest;

TEST_F(InstallerStageTest, OffersInstallationToAMissingPlayer)
{
    const LaunchRun runs[] = {
        {"Yes, installer registers the disc's version",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 3))));
         },
         Ok, {kInstallerLine, kNewPlayer}, Install},
        {"No",
         [] { InsertDisc(Version(1, 3)); fake::state.answers = {platform::kIdNo}; },
         Skipped, {}, Install},
        {"box cannot be shown counts as Yes",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.answers = {0};
             fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 3))));
         },
         Ok, {kInstallerLine, kNewPlayer}, Install},
        {"installer exits 1",
         [] { InsertDisc(Version(1, 3)); fake::state.processes.push_back(fake::ExitsWith(1)); },
         InstallerFailed, {kInstallerLine}, Install},
        {"installer exits 0 without registering",
         [] { InsertDisc(Version(1, 3)); fake::state.processes.push_back(fake::ExitsWith(0)); },
         RegistrationMissing, {kInstallerLine}, Install},
        {"installer leaves a key without AppDir",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(
                 fake::ExitsWith(0, [] { fake::SetDword(kUser, "PlayerVersion", Version(1, 3)); }));
         },
         RegistrationMissing, {kInstallerLine}, Install},
        {"installer cannot be started",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(fake::CreateFails());
         },
         StartFailed, {kInstallerLine}, Install},
        {"wait for the installer fails",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(fake::WaitFails());
         },
         WaitFailed, {kInstallerLine}, Install},
        {"install registers an older version: update follows at once",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 2))));
             fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 3))));
         },
         Ok, {kInstallerLine, kInstallerLine, kNewPlayer}, InstallThenUpdate},
        {"install registers autorun off: the player still starts",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes.push_back(fake::ExitsWith(
                 0, [] { fake::RegisterPlayer(kUser, "D:\\New Player", Version(1, 3), false); }));
         },
         Ok, {kInstallerLine, kNewPlayer}, Install},
        {"user declines the elevation prompt",
         [] {
             InsertDisc(Version(1, 3));
             fake::state.processes = {fake::CreateFails(platform::kErrorElevationRequired),
                                      fake::ShellFails(platform::kErrorCancelled)};
         },
         Skipped, {kInstallerLine}, Install},
        {"installer 0.0 is never offered", [] { InsertDisc(0, Version(3, 1)); }, Ok, {}, None},
        {"no installer file", [] { InsertDiscWithoutInstaller(); }, Skipped, {}, None},
    };
    for (const LaunchRun& run : runs)
        CheckRun(run);
}

TEST_F(InstallerStageTest, OffersUpdateOnlyToAStrictlyOlderPlayer)
{
    const LaunchRun runs[] = {
        {"1.2 against 1.3: prompt, No keeps the old player",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.answers = {platform::kIdNo};
         },
         Ok, {kOldPlayer}, Update},
        {"1.2 against 1.3: Yes, new player registered",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 3))));
         },
         Ok, {kInstallerLine, kNewPlayer}, Update},
        {"update installer exits 3: old folder kept",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes.push_back(fake::ExitsWith(3, Registers(Version(1, 3))));
         },
         Ok, {kInstallerLine, kOldPlayer}, Update},
        {"update removes the key",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes.push_back(fake::ExitsWith(0, [] { fake::RemovePlayerKey(kUser); }));
         },
         RegistrationMissing, {kInstallerLine}, Update},
        {"update installer cannot be started: the old player is not started either",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes.push_back(fake::CreateFails());
         },
         StartFailed, {kInstallerLine}, Update},
        {"user declines the elevation prompt: old player starts",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes = {fake::CreateFails(platform::kErrorElevationRequired),
                                      fake::ShellFails(platform::kErrorCancelled)};
         },
         Ok, {kInstallerLine, kOldPlayer}, Update},
        {"update registers a folder holding a quote",
         [] {
             InsertDisc(Version(1, 3));
             RegisteredOld(Version(1, 2));
             fake::state.processes.push_back(fake::ExitsWith(
                 0, [] { fake::RegisterPlayer(kUser, "D:\\New\" /x \"", Version(1, 3)); }));
         },
         RegistrationMissing, {kInstallerLine}, Update},
        {"2.0 against 1.9: no prompt",
         [] { InsertDisc(Version(1, 9)); RegisteredOld(Version(2, 0)); },
         Ok, {kOldPlayer}, None},
        {"equal versions: no prompt",
         [] { InsertDisc(Version(1, 3)); RegisteredOld(Version(1, 3)); },
         Ok, {kOldPlayer}, None},
        {"0x80000000 against 0x00010003 compares unsigned",
         [] { InsertDisc(Version(1, 3)); RegisteredOld(0x80000000u); },
         Ok, {kOldPlayer}, None},
        {"0x00010003 against 0x80000000 compares unsigned",
         [] {
             InsertDisc(0x80000000u);
             RegisteredOld(Version(1, 3));
             fake::state.answers = {platform::kIdNo};
         },
         Ok, {kOldPlayer}, Update},
        {"no PlayerVersion value: prompt",
         [] {
             InsertDisc(Version(0, 1));
             fake::SetString(kUser, "AppDir", "C:\\Old");
             fake::state.answers = {platform::kIdNo};
         },
         Ok, {kOldPlayer}, Update},
        {"registered player, installer without version: no prompt",
         [] {
             InsertDiscWithoutInstaller();
             fake::SetString(kUser, "AppDir", "C:\\Old");
         },
         Ok, {kOldPlayer}, None},
    };
    for (const LaunchRun& run : runs)
        CheckRun(run);
}

TEST_F(InstallerStageTest, EveryFailedAllocationOnTheInstallerPathsEndsWithOutOfMemory)
{
    auto setup = [] {
        InsertDisc(Version(1, 3));
        fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 2))));
        fake::state.processes.push_back(fake::ExitsWith(0, Registers(Version(1, 3))));
    };
    // Own folder, installer path, version buffer, install line, AppDir,
    // update line, AppDir, player line.
    SweepAllocationFailures(setup, 8);
}
