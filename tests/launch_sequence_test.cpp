#include "launch/launch_sequence.h"

#include <functional>

#include "tests/test_support.h"

using LaunchSequenceTest = LauncherTest;

namespace {

const char kPlaylistLine[] = "\"C:\\Orvane\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\"";

}  // namespace

TEST_F(LaunchSequenceTest, DecidesEachRun)
{
    const LaunchRun runs[] = {
        {"registered, nothing newer, no tail",
         [] {
             InsertDisc(Version(1, 0));
             fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
         },
         Ok, {kPlaylistLine}},
        {"registered, with a tail",
         [] {
             InsertDisc(Version(1, 0));
             fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
         },
         Ok, {"\"C:\\Orvane\\Orvanex.exe\" /x y"}, None, "/x y"},
        {"autorun off in a complete key",
         [] {
             InsertDisc(Version(9, 0));
             fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0), false);
         },
         Skipped, {}},
        {"key without AppDir, autorun off",
         [] {
             InsertDisc(Version(9, 0));
             fake::SetDword(kUser, "AutorunPlayListCDs", 0);
         },
         RegistrationMissing, {}},
        {"no key, no installer on the disc", [] { InsertDiscWithoutInstaller(); }, Skipped, {}},
        {"no key, installer without version information",
         [] {
             InsertDisc(0);
             fake::state.versions[kInstallerPath].reportsZeroSize = true;
         },
         Skipped, {}},
        {"no key, installer 0.0", [] { InsertDisc(0, 0x00030001); }, Ok, {}},
        {"own path fails before the registry is read",
         [] {
             fake::state.modulePathFails = true;
             fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
         },
         LauncherPathFailed, {}},
        {"player executable missing",
         [] {
             InsertDisc(Version(1, 0));
             fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
             fake::state.processes.push_back(fake::CreateFails());
         },
         StartFailed, {kPlaylistLine}},
        {"key only under the machine root",
         [] {
             InsertDisc(Version(1, 0));
             fake::RegisterPlayer(kMachine, "C:\\Orvane", Version(1, 0));
         },
         Ok, {kPlaylistLine}},
    };
    for (const LaunchRun& run : runs)
        CheckRun(run);
}

TEST_F(LaunchSequenceTest, RegistryIsNotTouchedWhenOwnFolderIsUnknown)
{
    for (const char* path : {"nofolder.exe", "E:\\a\" -x \"b\\OrvaneCD.exe"}) {
        SCOPED_TRACE(path);
        fake::Reset();
        fake::state.modulePath = path;
        fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
        EXPECT_EQ(RunLaunchSequence(""), LauncherPathFailed);
        EXPECT_TRUE(fake::state.openedKeys.empty());
    }
}

TEST_F(LaunchSequenceTest, EveryFailedAllocationEndsWithOutOfMemory)
{
    // Own folder, AppDir, installer path, version buffer, player command line.
    SweepAllocationFailures(
        [] {
            InsertDisc(Version(1, 0));
            fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
        },
        5);
    // A launcher deep enough for its buffer to grow once.
    SweepAllocationFailures(
        [] {
            InsertDisc(Version(1, 0));
            fake::state.modulePath = "E:\\" + std::string(300, 'd') + "\\start.exe";
            fake::state.versions.clear();
            fake::RegisterPlayer(kUser, "C:\\Orvane", Version(1, 0));
        },
        5);
}

TEST(LaunchExitCode, NegativeResultsAreTwosComplementExitCodes)
{
    const struct {
        LaunchResult result;
        uint32_t exitCode;
    } cases[] = {
        {Ok, 0},
        {Skipped, 1},
        {OutOfMemory, 0xFFFFFFFFu},
        {RegistrationMissing, 0xFFFFFFFEu},
        {InstallerFailed, 0xFFFFFFFDu},
        {WaitFailed, 0xFFFFFFFCu},
        {StartFailed, 0xFFFFFFFBu},
        {LauncherPathFailed, 0xFFFFFFFAu},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<uint32_t>(c.result), c.exitCode);
}
