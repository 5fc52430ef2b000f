#include "launch/join_text.h"

#include "tests/test_support.h"

using JoinTextTest = LauncherTest;

TEST_F(JoinTextTest, JoinsPiecesWithNothingBetween)
{
    struct Case {
        std::string expected;
        char* joined;
    };
    Case cases[] = {
        {"E:\\", JoinText("E:\\", "")},
        {"\"C:\\Program Files\\x\"", JoinText("\"", "C:\\Program Files\\x", "\"")},
        {"", JoinText("", "")},
        {"abcdef", JoinText("a", "b", "c", "d", "e", "f")},
    };
    for (Case& c : cases) {
        EXPECT_EQ(Text(c.joined), c.expected);
        platform::ReleaseMemory(c.joined);
    }
}

TEST_F(JoinTextTest, FailedAllocationGivesNothing)
{
    fake::state.failAllocation = 1;
    EXPECT_EQ(JoinText("a", "b"), nullptr);
}

TEST_F(JoinTextTest, ReleasingTextsTwiceIsHarmless)
{
    Context.AppDir = JoinText("C:\\Player");
    Context.InstallerPath = JoinText("E:\\x.exe");
    ReleaseLaunchTexts();
    ReleaseLaunchTexts();
    EXPECT_EQ(Context.AppDir, nullptr);
    EXPECT_EQ(Context.LauncherDir, nullptr);
    EXPECT_EQ(Context.InstallerPath, nullptr);
}
