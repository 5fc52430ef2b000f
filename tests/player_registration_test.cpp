#include "probes/player_registration.h"

#include <functional>

#include "tests/test_support.h"

using PlayerRegistrationTest = LauncherTest;

namespace {

struct Expected {
    LaunchResult result;
    std::string appDir;
    bool autorun;
    uint32_t version;
};

std::string Dword(uint32_t value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

}  // namespace

TEST_F(PlayerRegistrationTest, ReadsRegistrationFromTheRightKey)
{
    struct Case {
        const char* name;
        std::function<void()> setup;
        Expected expected;
    };
    const Case cases[] = {
        {"no key under either root", [] {}, {Skipped, "(absent)", true, 0}},
        {"current user only",
         [] { fake::RegisterPlayer(kUser, "C:\\User\\Orvane", Version(1, 2), false); },
         {Ok, "C:\\User\\Orvane", false, Version(1, 2)}},
        {"machine only", [] { fake::RegisterPlayer(kMachine, "C:\\Machine", Version(3, 0)); },
         {Ok, "C:\\Machine", true, Version(3, 0)}},
        {"both roots: current user wins",
         [] {
             fake::RegisterPlayer(kUser, "C:\\User", Version(1, 0));
             fake::RegisterPlayer(kMachine, "C:\\Machine", Version(2, 0));
         },
         {Ok, "C:\\User", true, Version(1, 0)}},
        {"current user key without AppDir beside a complete machine key",
         [] {
             fake::SetDword(kUser, "PlayerVersion", Version(4, 0));
             fake::SetDword(kUser, "AutorunPlayListCDs", 0);
             fake::RegisterPlayer(kMachine, "C:\\Machine", Version(2, 0));
         },
         {RegistrationMissing, "(absent)", false, Version(4, 0)}},
        {"current user key fails to open, machine key read",
         [] {
             fake::RegisterPlayer(kUser, "C:\\User", Version(1, 0));
             fake::state.currentUser.openFails = true;
             fake::RegisterPlayer(kMachine, "C:\\Machine", Version(2, 0));
         },
         {Ok, "C:\\Machine", true, Version(2, 0)}},
        {"open succeeds without a key",
         [] {
             fake::RegisterPlayer(kUser, "C:\\User", Version(1, 0));
             fake::state.currentUser.openGivesNoKey = true;
         },
         {Skipped, "(absent)", true, 0}},
        {"AppDir as an expandable string",
         [] {
             fake::RegisterPlayer(kUser, "C:\\User", Version(1, 0));
             fake::SetString(kUser, "AppDir", std::string("%X%\0", 4), 2);
         },
         {RegistrationMissing, "(absent)", true, Version(1, 0)}},
        {"AppDir empty string",
         [] { fake::SetString(kUser, "AppDir", std::string(1, '\0')); },
         {Ok, "", true, 0}},
        {"AppDir with no data bytes", [] { fake::SetString(kUser, "AppDir", ""); },
         {Ok, "", true, 0}},
        {"AppDir stored without a terminator",
         [] { fake::SetString(kUser, "AppDir", "C:\\Raw"); },
         {Ok, "C:\\Raw", true, 0}},
        {"AppDir ends at its first zero byte",
         [] { fake::SetString(kUser, "AppDir", std::string("C:\\A\0junk", 9)); },
         {Ok, "C:\\A", true, 0}},
        // A quote, typed or best-fit from U+FF02, would end the player's quoting.
        {"AppDir starting with a quote",
         [] { fake::RegisterPlayer(kUser, "\"C:\\P", Version(1, 0)); },
         {RegistrationMissing, "(absent)", true, Version(1, 0)}},
        {"AppDir with a quote inside",
         [] {
             fake::RegisterPlayer(kUser, "C:\\P\\Orvanex.exe\" /injected \"x", Version(1, 0));
         },
         {RegistrationMissing, "(absent)", true, Version(1, 0)}},
        {"AppDir ending with a quote",
         [] { fake::RegisterPlayer(kUser, "C:\\P\"", Version(1, 0)); },
         {RegistrationMissing, "(absent)", true, Version(1, 0)}},
        {"autorun as text reading 0, version of 8 bytes",
         [] {
             fake::SetString(kUser, "AppDir", std::string("C:\\P\0", 5));
             fake::SetString(kUser, "AutorunPlayListCDs", std::string("0\0", 2));
             fake::SetString(kUser, "PlayerVersion", Dword(5) + Dword(0), 11);
         },
         {Ok, "C:\\P", true, 0}},
        {"AppDir grows between the size query and the read",
         [] {
             fake::RegisterPlayer(kUser, "C:\\P", Version(1, 0));
             fake::state.currentUser.values["appdir"].growsBy = 8;
         },
         {RegistrationMissing, "(absent)", true, Version(1, 0)}},
        {"autorun as a 4-byte binary of zeros",
         [] {
             fake::SetString(kUser, "AppDir", std::string("C:\\P\0", 5));
             fake::SetString(kUser, "AutorunPlayListCDs", std::string(4, '\0'), 3);
         },
         {Ok, "C:\\P", true, 0}},
        {"DWORD values of the wrong size",
         [] {
             fake::SetString(kUser, "AppDir", std::string("C:\\P\0", 5));
             fake::SetString(kUser, "AutorunPlayListCDs", std::string(2, '\0'),
                             platform::kRegDword);
             fake::SetString(kUser, "PlayerVersion", Dword(7) + "x", platform::kRegDword);
         },
         {Ok, "C:\\P", true, 0}},
        {"autorun any nonzero value is on",
         [] {
             fake::SetString(kUser, "AppDir", std::string("C:\\P\0", 5));
             fake::SetDword(kUser, "AutorunPlayListCDs", 0x100);
         },
         {Ok, "C:\\P", true, 0}},
        {"highest version as unsigned",
         [] { fake::RegisterPlayer(kUser, "C:\\P", 0xFFFFFFFFu); },
         {Ok, "C:\\P", true, 0xFFFFFFFFu}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        ReleaseLaunchTexts();
        StartLaunchContext();
        c.setup();
        EXPECT_EQ(ReadPlayerRegistration(), c.expected.result);
        EXPECT_EQ(Text(Context.AppDir), c.expected.appDir);
        EXPECT_EQ(Context.AutorunPlayListCDs, c.expected.autorun);
        EXPECT_EQ(Context.PlayerVersion, c.expected.version);
        EXPECT_EQ(Context.PlayerRegistered, c.expected.result == Ok);
        EXPECT_EQ(fake::OpenHandleCount(), 0u) << "key left open";
    }
}

TEST_F(PlayerRegistrationTest, SecondReadReplacesValuesAndReleasesOldText)
{
    fake::RegisterPlayer(kUser, "C:\\Old", Version(1, 0), false);
    ASSERT_EQ(ReadPlayerRegistration(), Ok);
    fake::RegisterPlayer(kUser, "D:\\New Folder", Version(2, 1), true);
    ASSERT_EQ(ReadPlayerRegistration(), Ok);
    EXPECT_EQ(Text(Context.AppDir), "D:\\New Folder");
    EXPECT_TRUE(Context.AutorunPlayListCDs);
    EXPECT_EQ(Context.PlayerVersion, Version(2, 1));
    EXPECT_EQ(fake::state.liveAllocations, 1);
}

TEST_F(PlayerRegistrationTest, KeyGoneKeepsOldFolderButUnregisters)
{
    fake::RegisterPlayer(kUser, "C:\\Old", Version(1, 0), false);
    ASSERT_EQ(ReadPlayerRegistration(), Ok);
    fake::RemovePlayerKey(kUser);
    EXPECT_EQ(ReadPlayerRegistration(), Skipped);
    EXPECT_EQ(Text(Context.AppDir), "C:\\Old");
    EXPECT_FALSE(Context.PlayerRegistered);
    EXPECT_TRUE(Context.AutorunPlayListCDs);
    EXPECT_EQ(Context.PlayerVersion, 0u);
}

TEST_F(PlayerRegistrationTest, FailedAppDirAllocationDropsOldTextAndClosesKey)
{
    fake::RegisterPlayer(kUser, "C:\\Old", Version(1, 0), false);
    ASSERT_EQ(ReadPlayerRegistration(), Ok);
    fake::state.failAllocation = fake::state.allocationsMade + 1;
    EXPECT_EQ(ReadPlayerRegistration(), OutOfMemory);
    EXPECT_EQ(Context.AppDir, nullptr);
    EXPECT_FALSE(Context.PlayerRegistered);
    EXPECT_FALSE(Context.AutorunPlayListCDs) << "the switch is still read";
}

TEST_F(PlayerRegistrationTest, SizeWithoutRoomForTerminatorsIsOutOfMemory)
{
    for (uint32_t claimed : {0xFFFFFFFEu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(claimed);
        fake::Reset();
        fake::RegisterPlayer(kUser, "C:\\P", Version(1, 0));
        fake::state.currentUser.values["appdir"].claimedSize = claimed;
        EXPECT_EQ(ReadPlayerRegistration(), OutOfMemory);
        EXPECT_EQ(fake::state.allocationsMade, 0) << "no short buffer is allocated";
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}
