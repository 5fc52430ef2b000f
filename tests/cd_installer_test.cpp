#include "probes/cd_installer.h"

#include <functional>

#include "launch/join_text.h"
#include "tests/test_support.h"

using CdInstallerTest = LauncherTest;

TEST_F(CdInstallerTest, ReadsMajorAndMinorOfTheInstaller)
{
    struct Case {
        const char* name;
        std::function<void(fake::VersionResource&)> resource;  // nullptr: no file
        LaunchResult result;
        uint32_t version;
    };
    const Case cases[] = {
        {"2.5.1.7 keeps 2 and 5 only",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(2, 5);
             r.fileVersionLS = Version(1, 7);
         },
         Ok, Version(2, 5)},
        {"0.0.3.1 reads fine but counts as no version",
         [](fake::VersionResource& r) { r.fileVersionLS = Version(3, 1); }, Ok, 0},
        {"no installer file", nullptr, Skipped, 0},
        {"no version resource", [](fake::VersionResource& r) { r.reportsZeroSize = true; },
         Skipped, 0},
        {"copy of the resource fails", [](fake::VersionResource& r) { r.copyFails = true; },
         Skipped, 0},
        {"root block query fails", [](fake::VersionResource& r) { r.queryFails = true; },
         Skipped, 0},
        {"root block shorter than 52 bytes",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.rootLength = 51;
         },
         Skipped, 0},
        {"root block outside the copied resource",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.rootElsewhere = true;
         },
         Skipped, 0},
        {"root block running past the copied resource",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.rootOffset = r.blockSize - 20;
         },
         Skipped, 0},
        {"root block one byte short of room before the resource's end",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.blockSize = 99;
             r.rootOffset = 48;  // aligned, as Windows places it; 52 bytes need 100
         },
         Skipped, 0},
        {"root block at the resource's first byte",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.rootOffset = 0;
         },
         Ok, Version(1, 3)},
        {"resource exactly one root block long",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.blockSize = 52;
             r.rootOffset = 0;
         },
         Ok, Version(1, 3)},
        {"resource one byte shorter than a root block",
         [](fake::VersionResource& r) {
             r.fileVersionMS = Version(1, 3);
             r.blockSize = 51;
             r.rootOffset = 0;
         },
         Skipped, 0},
        {"highest version", [](fake::VersionResource& r) { r.fileVersionMS = 0xFFFFFFFFu; }, Ok,
         0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        ReleaseLaunchTexts();
        Context.CdInstallerVersion = 77;
        Context.LauncherDir = JoinText("E:\\");
        if (c.resource)
            c.resource(fake::state.versions[kInstallerPath]);
        EXPECT_EQ(ProbeCdInstaller(), c.result);
        EXPECT_EQ(Context.CdInstallerVersion, c.version);
        EXPECT_EQ(Text(Context.InstallerPath), kInstallerPath);
    }
}

TEST_F(CdInstallerTest, OutValuesAreWrittenOnlyOnSuccess)
{
    fake::state.versions["x.exe"].rootLength = 8;
    uint32_t ms = 11;
    uint32_t ls = 22;
    EXPECT_EQ(ReadFileVersion("x.exe", &ms, &ls), Skipped);
    EXPECT_EQ(ms, 11u);
    EXPECT_EQ(ls, 22u);
}

TEST_F(CdInstallerTest, AllocationFailuresAreReported)
{
    Context.LauncherDir = JoinText("E:\\");
    fake::state.versions[kInstallerPath].fileVersionMS = Version(1, 3);
    for (long n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        ReplaceText(&Context.InstallerPath, nullptr);
        fake::state.failAllocation = fake::state.allocationsMade + n;
        EXPECT_EQ(ProbeCdInstaller(), OutOfMemory);
        EXPECT_EQ(Context.CdInstallerVersion, 0u);
    }
}
