#include "actions/installer_run.h"

#include <functional>

#include "launch/join_text.h"
#include "tests/test_support.h"

namespace {

const char kCaption[] = "Orvane PlayList CD";
const char kInstallText[] =
    "You have inserted an Orvane Playlist CD. In order to automatically play this CD you have "
    "to install Orvane.\n\nDo you want to install Orvane now?";
const char kUpdateText[] =
    "You have inserted an Orvane Playlist CD. The version of Orvane on this CD is newer than the "
    "one you have currently installed.\n\nDo you want to install the updated version of Orvane "
    "now?";
const char kInstallerLine[] = "\"E:\\Orvane Installer\\ervast_orvane.exe\"";

class InstallerRunTest : public LauncherTest {
protected:
    void SetUp() override
    {
        LauncherTest::SetUp();
        Context.LauncherDir = JoinText("E:\\");
        Context.InstallerPath = JoinText(kInstallerPath);
    }
};

}  // namespace

TEST_F(InstallerRunTest, PromptsAreShownExactly)
{
    fake::state.answers = {platform::kIdNo, platform::kIdNo};
    EXPECT_EQ(RunInstaller(true), Skipped);
    EXPECT_EQ(OfferUpdate(), Skipped);
    ASSERT_EQ(fake::state.prompts.size(), 2u);
    EXPECT_EQ(fake::state.prompts[0].text, kInstallText);
    EXPECT_EQ(fake::state.prompts[1].text, kUpdateText);
    for (const fake::Prompt& prompt : fake::state.prompts) {
        EXPECT_EQ(prompt.caption, kCaption);
        EXPECT_EQ(prompt.style, 0x44u) << "Yes/No, information icon, Yes the default";
    }
    EXPECT_TRUE(fake::state.started.empty());
}

TEST_F(InstallerRunTest, RunAndWaitReportsProcessOutcome)
{
    struct Case {
        const char* name;
        fake::ProcessScript script;
        LaunchResult result;
        uint32_t exitCode;
    };
    const Case cases[] = {
        {"ends with 3", fake::ExitsWith(3), Ok, 3},
        {"ends with 3 amid messages", fake::ExitsAmidMessages(3, {1, 3, 2}), Ok, 3},
        {"still-active code after the wait is taken as it is", fake::ExitsWith(259), Ok, 259},
        {"cannot be created", fake::CreateFails(), StartFailed, 12345},
        {"wait fails", fake::WaitFails(), WaitFailed, 12345},
        {"wait abandoned", fake::WaitFails(0x80), WaitFailed, 12345},
        {"exit code cannot be read", fake::ExitCodeUnreadable(), Ok, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::state.processes.push_back(c.script);
        char line[] = "\"C:\\tool.exe\" /q";
        uint32_t exitCode = 12345;
        EXPECT_EQ(RunAndWait(line, &exitCode), c.result);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_EQ(fake::state.queuedMessages, 0) << "every message dispatched";
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
        EXPECT_TRUE(fake::state.closeErrors.empty());
    }
}

TEST_F(InstallerRunTest, RunInstallerMapsAnswersAndExitCodes)
{
    struct Case {
        const char* name;
        int answer;
        fake::ProcessScript script;
        LaunchResult result;
        size_t starts;
    };
    const Case cases[] = {
        {"Yes, exit 0", fake::kIdYes, fake::ExitsWith(0), Ok, 1},
        {"No starts nothing", platform::kIdNo, fake::ExitsWith(0), Skipped, 0},
        {"box cannot be shown counts as Yes", 0, fake::ExitsWith(0), Ok, 1},
        {"any other answer counts as Yes", 2, fake::ExitsWith(0), Ok, 1},
        {"exit 1", fake::kIdYes, fake::ExitsWith(1), InstallerFailed, 1},
        {"exit code unreadable", fake::kIdYes, fake::ExitCodeUnreadable(), InstallerFailed, 1},
        {"cannot be started", fake::kIdYes, fake::CreateFails(), StartFailed, 1},
        {"wait fails", fake::kIdYes, fake::WaitFails(), WaitFailed, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::state.answers = {c.answer};
        fake::state.processes.push_back(c.script);
        EXPECT_EQ(RunInstaller(true), c.result);
        ASSERT_EQ(fake::state.started.size(), c.starts);
        if (c.starts != 0) {
            EXPECT_EQ(fake::state.started[0], kInstallerLine);
        }
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
        EXPECT_EQ(fake::state.liveAllocations, 2) << "only the context's texts remain";
    }
}

TEST_F(InstallerRunTest, InstallerNeedingElevationIsStartedThroughTheShell)
{
    struct Case {
        const char* name;
        uint32_t createError;
        fake::ProcessScript shellStart;
        LaunchResult result;
        size_t shellStarts;
    };
    const Case cases[] = {
        {"elevated and ends with 0", platform::kErrorElevationRequired, fake::ExitsWith(0), Ok, 1},
        {"elevated and ends with 2", platform::kErrorElevationRequired, fake::ExitsWith(2),
         InstallerFailed, 1},
        {"user declines elevation: a No", platform::kErrorElevationRequired,
         fake::ShellFails(platform::kErrorCancelled), Skipped, 1},
        {"elevated start fails otherwise", platform::kErrorElevationRequired,
         fake::ShellFails(2), StartFailed, 1},
        {"elevated but the wait fails", platform::kErrorElevationRequired,
         fake::WaitFails(), WaitFailed, 1},
        {"access denied is not retried", 5, fake::ExitsWith(0), StartFailed, 0},
        {"file not found is not retried", 2, fake::ExitsWith(0), StartFailed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::state.processes = {fake::CreateFails(c.createError),
                                 c.shellStart};
        EXPECT_EQ(RunInstaller(false), c.result);
        ASSERT_EQ(fake::state.shellStarted.size(), c.shellStarts);
        if (c.shellStarts != 0) {
            EXPECT_EQ(fake::state.shellStarted[0], kInstallerPath) << "unquoted, no arguments";
        }
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}

TEST_F(InstallerRunTest, OfferUpdateGivesUpQuietlyOrReadsTheNewRegistration)
{
    struct Case {
        const char* name;
        int answer;
        fake::ProcessScript script;
        LaunchResult result;
        std::string appDir;
        uint32_t version;
    };
    const Case cases[] = {
        {"No", platform::kIdNo, fake::ExitsWith(0), Skipped, "C:\\Old", Version(1, 2)},
        {"installer exits 3: old player kept", fake::kIdYes, fake::ExitsWith(3), Skipped,
         "C:\\Old", Version(1, 2)},
        {"exit code unreadable: old player kept", fake::kIdYes, fake::ExitCodeUnreadable(),
         Skipped, "C:\\Old", Version(1, 2)},
        {"exit 0, registration updated", fake::kIdYes,
         fake::ExitsWith(0, [] { fake::RegisterPlayer(kUser, "D:\\New", Version(1, 3)); }), Ok,
         "D:\\New", Version(1, 3)},
        {"exit 0, key removed", fake::kIdYes,
         fake::ExitsWith(0, [] { fake::RemovePlayerKey(kUser); }), RegistrationMissing, "C:\\Old", 0},
        {"exit 0, AppDir removed", fake::kIdYes,
         fake::ExitsWith(0, [] { fake::state.currentUser.values.erase("appdir"); }),
         RegistrationMissing, "C:\\Old", Version(1, 2)},
        {"cannot be started", fake::kIdYes, fake::CreateFails(), StartFailed, "C:\\Old",
         Version(1, 2)},
        {"wait fails", fake::kIdYes, fake::WaitFails(), WaitFailed,
         "C:\\Old", Version(1, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::RegisterPlayer(kUser, "C:\\Old", Version(1, 2));
        ReplaceText(&Context.AppDir, JoinText("C:\\Old"));
        Context.PlayerVersion = Version(1, 2);
        Context.PlayerRegistered = true;
        fake::state.answers = {c.answer};
        fake::state.processes.push_back(c.script);
        EXPECT_EQ(OfferUpdate(), c.result);
        EXPECT_EQ(Text(Context.AppDir), c.appDir);
        EXPECT_EQ(Context.PlayerVersion, c.version);
        EXPECT_EQ(fake::state.prompts.size(), 1u) << "one prompt, never the installation one";
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}
