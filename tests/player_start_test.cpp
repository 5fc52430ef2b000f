#include "actions/player_start.h"

#include "launch/join_text.h"
#include "tests/test_support.h"

using PlayerStartTest = LauncherTest;

TEST_F(PlayerStartTest, BuildsCommandLineByteForByte)
{
    struct Case {
        const char* appDir;
        const char* launcherDir;
        const char* tail;
        std::string line;
    };
    const Case cases[] = {
        {"F:\\Apps\\Orvane", "E:\\", "",
         "\"F:\\Apps\\Orvane\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\""},
        {"F:\\Apps\\Orvane", "E:\\", nullptr,
         "\"F:\\Apps\\Orvane\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\""},
        {"F:\\Apps\\Orvane", "E:\\", "/x y", "\"F:\\Apps\\Orvane\\Orvanex.exe\" /x y"},
        {"F:\\Apps\\Orvane\\", "E:\\disc dir/", "",
         "\"F:\\Apps\\Orvane\\\\Orvanex.exe\" -p -l \"E:\\disc dir/CDPlayList.p4u\""},
        {"C:\\P", "E:\\", "\"quoted arg\" -p", "\"C:\\P\\Orvanex.exe\" \"quoted arg\" -p"},
        {"", "E:\\", "", "\"\\Orvanex.exe\" -p -l \"E:\\CDPlayList.p4u\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fake::Reset();
        ReleaseLaunchTexts();
        Context.AppDir = JoinText(c.appDir);
        Context.LauncherDir = JoinText(c.launcherDir);
        EXPECT_EQ(StartPlayer(c.tail), Ok);
        ASSERT_EQ(fake::state.started.size(), 1u);
        EXPECT_EQ(fake::state.started[0], c.line);
        EXPECT_EQ(fake::OpenHandleCount(), 0u) << "the player is not waited for";
    }
}

TEST_F(PlayerStartTest, FailuresReleaseTheCommandLine)
{
    Context.AppDir = JoinText("C:\\Missing");
    Context.LauncherDir = JoinText("E:\\");
    // Only the refusal that the shell would answer with an elevation prompt.
    fake::state.processes.push_back(fake::CreateFails(platform::kErrorElevationRequired));
    EXPECT_EQ(StartPlayer(""), StartFailed);
    EXPECT_TRUE(fake::state.shellStarted.empty()) << "the player is never elevated";

    fake::state.failAllocation = fake::state.allocationsMade + 1;
    EXPECT_EQ(StartPlayer(""), OutOfMemory);
    EXPECT_EQ(fake::state.started.size(), 1u);
    EXPECT_EQ(fake::state.liveAllocations, 2);
}
