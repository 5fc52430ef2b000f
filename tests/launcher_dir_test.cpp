#include "probes/launcher_dir.h"

#include <vector>

#include "tests/test_support.h"

using LauncherDirTest = LauncherTest;

// A path of exactly `length` characters ending in "\\start.exe".
static std::string PathOfLength(size_t length)
{
    std::string name = "\\start.exe";
    return "E:" + std::string(length - 2 - name.size(), 'd') + name;
}

TEST_F(LauncherDirTest, FindsFolderOfOwnPath)
{
    struct Case {
        const char* name;
        std::string path;
        bool codePage932;
        LaunchResult result;
        std::string folder;
    };
    const Case cases[] = {
        {"root of a drive", "E:\\OrvaneCD.exe", false, Ok, "E:\\"},
        {"nested folder", "E:\\disc\\autorun\\start.exe", false, Ok, "E:\\disc\\autorun\\"},
        {"forward slash after the last backslash", "E:\\disc/sub/start.exe", false, Ok,
         "E:\\disc/sub/"},
        {"backslash after the last forward slash", "E:/disc/sub\\start.exe", false, Ok,
         "E:/disc/sub\\"},
        {"no separator at all", "start.exe", false, LauncherPathFailed, "start.exe"},
        // 0x83 0x5C is one character in code page 932: its trail byte is no separator.
        {"double-byte name whose trail byte is 0x5C", "E:\\disc\\\x83\x5c.exe", true, Ok,
         "E:\\disc\\"},
        {"trail byte 0x5C only folder separator", "\x83\x5c.exe", true, LauncherPathFailed,
         "\x83\x5c.exe"},
        {"same bytes in a single-byte code page", "E:\\disc\\\x83\x5c.exe", false, Ok,
         "E:\\disc\\\x83\\"},
        {"lead byte before a real separator at the end", "E:\\x\x83", true, Ok, "E:\\"},
        // Best-fit conversion turns U+FF02 in a Unicode name into a plain quote.
        {"quote in a folder name", "E:\\a\" -x \"b\\OrvaneCD.exe", false, LauncherPathFailed,
         "E:\\a\" -x \"b\\OrvaneCD.exe"},
        {"quote in the file name", "E:\\Orvane\" -x \".exe", false, LauncherPathFailed,
         "E:\\Orvane\" -x \".exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        ReleaseLaunchTexts();
        if (c.codePage932)
            fake::UseCodePage932();
        fake::state.modulePath = c.path;
        EXPECT_EQ(FindLauncherDir(), c.result);
        EXPECT_EQ(Text(Context.LauncherDir), c.folder);
    }
}

// Every buffer the launcher offers: 260 bytes, doubled while that stays
// below 2 GiB.
static std::vector<uint32_t> EveryBufferSize()
{
    std::vector<uint32_t> sizes;
    for (uint32_t size = 260; size <= 0x7FFFFFFFu / 2; size *= 2)
        sizes.push_back(size);
    sizes.push_back(sizes.back() * 2);
    return sizes;
}

TEST_F(LauncherDirTest, GrowsBufferOnlyForPathsThatMayBeCut)
{
    struct Case {
        size_t length;  // 0: longer than any buffer
        bool xpTruncation;
        std::vector<uint32_t> sizesAsked;
        LaunchResult result = Ok;
    };
    const Case cases[] = {
        {258, false, {260}},
        {259, false, {260, 520}},
        {259, true, {260, 520}},
        {260, true, {260, 520}},
        {600, false, {260, 520, 1040}},
        {1039, true, {260, 520, 1040, 2080}},
        {0, false, EveryBufferSize(), OutOfMemory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        fake::Reset();
        ReleaseLaunchTexts();
        fake::state.endlessModulePath = c.length == 0;
        fake::state.modulePath = c.length == 0 ? "" : PathOfLength(c.length);
        fake::state.xpTruncation = c.xpTruncation;
        EXPECT_EQ(FindLauncherDir(), c.result);
        EXPECT_EQ(fake::state.moduleSizesAsked, c.sizesAsked);
        if (c.result == Ok) {
            EXPECT_EQ(Text(Context.LauncherDir), fake::state.modulePath.substr(0, c.length - 9));
        }
    }
}

TEST_F(LauncherDirTest, FailuresEndWithTheirCode)
{
    fake::state.modulePathFails = true;
    EXPECT_EQ(FindLauncherDir(), LauncherPathFailed);

    ReleaseLaunchTexts();
    fake::Reset();
    fake::state.modulePath = PathOfLength(300);
    fake::state.failAllocation = 2;  // the buffer of the second attempt
    EXPECT_EQ(FindLauncherDir(), OutOfMemory);
    EXPECT_EQ(Context.LauncherDir, nullptr);
}
