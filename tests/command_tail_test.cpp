#include "launch/command_tail.h"

#include "tests/test_support.h"

using CommandTailTest = LauncherTest;

TEST_F(CommandTailTest, DerivesTailFromCommandLine)
{
    struct Case {
        const char* name;
        std::string line;
        bool codePage932;
        std::string tail;
    };
    const Case cases[] = {
        {"bare name, no tail", "E:\\start.exe", false, ""},
        {"bare name and tail", "E:\\start.exe /x y", false, "/x y"},
        {"quoted name with blanks", "\"E:\\my disc\\start.exe\" /x", false, "/x"},
        {"quote ends the name without a blank", "\"E:\\start.exe\"/x", false, "/x"},
        {"unclosed quote takes the whole line", "\"E:\\my disc\\start.exe /x", false, ""},
        {"blanks only after the name", "E:\\start.exe    \t ", false, ""},
        {"control bytes after the name are skipped", "E:\\start.exe \x01\x1f\x7f/x", false,
         "\x7f/x"},
        {"high bytes belong to a bare name", "C:\\M\xfcsik\\start.exe /x", false, "/x"},
        {"high bytes after a quoted name stay", "\"C:\\start.exe\" \xe9t\xe8 /x", false,
         "\xe9t\xe8 /x"},
        {"trail byte is not a closing quote", "\"E:\\\x83\"x.exe\" /x", true, "/x"},
        {"same bytes in a single-byte code page", "\"E:\\\x83\"x.exe\" /x", false, "x.exe\" /x"},
        {"lead byte last on the line ends the name", "\"E:\\\x83", true, ""},
        {"tail keeps inner blanks and quotes", "a.exe  \"one two\"  three ", false,
         "\"one two\"  three "},
        {"empty command line", "", false, ""},
    };
    for (const Case& c : cases) {
        fake::Reset();
        if (c.codePage932)
            fake::UseCodePage932();
        EXPECT_EQ(std::string(DeriveCommandTail(c.line.c_str())), c.tail) << c.name;
    }
}

TEST_F(CommandTailTest, MissingCommandLineGivesEmptyTail)
{
    EXPECT_STREQ(DeriveCommandTail(nullptr), "");
}
