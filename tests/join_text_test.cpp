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
        {"E:\\", JoinText(2, "E:\\", "")},
        {"\"C:\\Program Files\\x\"", JoinText(3, "\"", "C:\\Program Files\\x", "\"")},
        {"", JoinText(2, "", "")},
        {"abcdef", JoinText(6, "a", "b", "c", "d", "e", "f")},
    };
    for (Case& c : cases) {
        EXPECT_EQ(Text(c.joined), c.expected);
        platform::ReleaseMemory(c.joined);
    }
}

TEST_F(JoinTextTest, FailedAllocationGivesNothing)
{
    fake::state.failAllocation = 1;
    EXPECT_EQ(JoinText(2, "a", "b"), nullptr);
}

TEST_F(JoinTextTest, ReleasingTextsTwiceIsHarmless)
{
    Context.AppDir = JoinText(1, "C:\\Player");
    Context.InstallerPath = JoinText(1, "E:\\x.exe");
    ReleaseLaunchTexts();
    ReleaseLaunchTexts();
    EXPECT_EQ(Context.AppDir, nullptr);
    EXPECT_EQ(Context.LauncherDir, nullptr);
    EXPECT_EQ(Context.InstallerPath, nullptr);
}
