// Shared by the host tests: every test starts on an empty fake machine with a
// fresh context and ends with nothing leaked and no handle left open.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <source_location>
#include <string>
#include <vector>

#include "launch/launch_context.h"
#include "launch/launch_result.h"
#include "launch/launch_sequence.h"
#include "tests/fake/fake_windows.h"

constexpr uint32_t Version(uint32_t major, uint32_t minor)
{
    return major << 16 | minor;
}

constexpr platform::RegistryRoot kUser = platform::RegistryRoot::CurrentUser;
constexpr platform::RegistryRoot kMachine = platform::RegistryRoot::LocalMachine;

inline const char kLauncherPath[] = "E:\\OrvaneCD.exe";
inline const char kInstallerPath[] = "E:\\Orvane Installer\\ervast_orvane.exe";

// The launcher at the root of E:, its installer declaring `installerVersion`.
inline void InsertDisc(uint32_t installerVersion, uint32_t buildAndRevision = 0)
{
    fake::state.modulePath = kLauncherPath;
    fake::VersionResource resource;
    resource.fileVersionMS = installerVersion;
    resource.fileVersionLS = buildAndRevision;
    fake::state.versions[kInstallerPath] = resource;
}

inline void InsertDiscWithoutInstaller()
{
    fake::state.modulePath = kLauncherPath;
}

inline std::string Text(const char* text)
{
    return text == nullptr ? "(absent)" : text;
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        StartLaunchContext();
    }

    void TearDown() override
    {
        ReleaseLaunchTexts();
        EXPECT_EQ(fake::state.liveAllocations, 0) << "texts or buffers leaked";
        EXPECT_EQ(fake::OpenHandleCount(), 0u) << "handles left open";
        EXPECT_TRUE(fake::state.closeErrors.empty()) << "a handle was closed twice or wrongly";
    }
};

// The prompts a run shows, in order.
enum PromptSeen { None, Install, Update, InstallThenUpdate };

// One whole run of the launch sequence and what it must do.
struct LaunchRun {
    const char* name;
    std::function<void()> setup;
    LaunchResult result;
    std::vector<std::string> started;  // command lines passed to CreateProcessA, in order
    PromptSeen prompts = None;
    const char* tail = "";
};

inline std::vector<std::string> PromptsOf(PromptSeen seen)
{
    const std::string install = "In order to automatically play this CD";
    const std::string update = "is newer than the one you have";
    switch (seen) {
    case Install: return {install};
    case Update: return {update};
    case InstallThenUpdate: return {install, update};
    default: return {};
    }
}

// Runs the sequence on a fresh machine: its result, the programs started, the
// prompts shown, and nothing left behind.
inline void CheckRun(const LaunchRun& run)
{
    SCOPED_TRACE(run.name);
    fake::Reset();
    StartLaunchContext();
    run.setup();
    EXPECT_EQ(RunLaunchSequence(run.tail), run.result);
    EXPECT_EQ(fake::state.started, run.started);
    std::vector<std::string> expected = PromptsOf(run.prompts);
    ASSERT_EQ(fake::state.prompts.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(fake::state.prompts[i].text.find(expected[i]), std::string::npos);
    EXPECT_EQ(fake::state.commonControlsLoaded, run.prompts != None)
        << "the Common Controls are loaded on the routes that ask, and only there";
    EXPECT_EQ(Context.AppDir, nullptr);
    EXPECT_EQ(Context.LauncherDir, nullptr);
    EXPECT_EQ(Context.InstallerPath, nullptr);
    EXPECT_EQ(fake::state.liveAllocations, 0);
    EXPECT_EQ(fake::OpenHandleCount(), 0u);
    EXPECT_TRUE(fake::state.closeErrors.empty());
}

// Runs a launch once cleanly, then fails its 1st, 2nd, ... allocation until a
// run makes no more: each must end with OutOfMemory, everything released.
// Failures name the line that asked for the sweep.
inline void SweepAllocationFailures(const std::function<void()>& setup, long expectedAllocations,
                                    std::source_location caller = std::source_location::current())
{
    ::testing::ScopedTrace where(caller.file_name(), static_cast<int>(caller.line()),
                                 "allocation sweep");
    fake::Reset();
    StartLaunchContext();
    setup();
    EXPECT_GE(RunLaunchSequence(""), Ok) << "the clean run";
    long total = fake::state.allocationsMade;
    EXPECT_EQ(total, expectedAllocations) << "allocations in a clean run";
    for (long n = 1; n <= total; ++n) {
        SCOPED_TRACE(n);
        fake::Reset();
        StartLaunchContext();
        setup();
        fake::state.failAllocation = n;
        EXPECT_EQ(RunLaunchSequence(""), OutOfMemory);
        EXPECT_EQ(fake::state.liveAllocations, 0);
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
        EXPECT_EQ(Context.AppDir, nullptr);
        EXPECT_EQ(Context.LauncherDir, nullptr);
        EXPECT_EQ(Context.InstallerPath, nullptr);
    }
}
