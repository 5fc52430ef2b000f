// Whole launches over the scripted Windows, every input taken from the fuzzer:
// both registry roots, the module path, the installer's version block, the
// prompts' answers, each process start, wait and exit code, the failing
// allocation. After each run the launcher's promises are checked.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>

#include <string>

#include "launch/launch_context.h"
#include "launch/launch_sequence.h"
#include "tests/fake/fake_windows.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const char* const kValueNames[] = {"AppDir", "AutorunPlayListCDs", "PlayerVersion"};
const uint32_t kTypes[] = {platform::kRegSz, platform::kRegDword, 2, 3, 7, 11};

// What the first registration read must find, judged from the scripted
// registry on its own: the key that opens first decides.
struct FirstRead {
    bool keyOpened = false;
    bool broken = false;      // key without a REG_SZ "AppDir"
    bool autorunOff = false;  // a 4-byte REG_DWORD 0
};

FirstRead JudgeRegistry()
{
    FirstRead judged;
    for (platform::RegistryRoot root :
         {platform::RegistryRoot::CurrentUser, platform::RegistryRoot::LocalMachine}) {
        const fake::RegistryKeyState& key = fake::Root(root);
        if (!key.exists || key.openFails)
            continue;
        if (key.openGivesNoKey)
            return judged;
        judged.keyOpened = true;
        auto appDir = key.values.find("appdir");
        judged.broken = appDir == key.values.end() || appDir->second.type != platform::kRegSz;
        auto autorun = key.values.find("autorunplaylistcds");
        judged.autorunOff = autorun != key.values.end() &&
                            autorun->second.type == platform::kRegDword &&
                            autorun->second.data == std::string(4, '\0');
        return judged;
    }
    return judged;
}

void FillRoot(FuzzedDataProvider& input, platform::RegistryRoot root)
{
    fake::RegistryKeyState& key = fake::Root(root);
    key.exists = input.ConsumeBool();
    key.openFails = input.ConsumeProbability<float>() < 0.1f;
    key.openGivesNoKey = input.ConsumeProbability<float>() < 0.05f;
    for (const char* name : kValueNames) {
        if (!input.ConsumeBool())
            continue;
        uint32_t type = input.PickValueInArray(kTypes);
        std::string data = input.ConsumeRandomLengthString(64);
        if (type == platform::kRegDword && input.ConsumeBool())
            data.resize(4);
        fake::SetString(root, name, data, type);
        key.exists = true;
    }
}

fake::ProcessScript Program(FuzzedDataProvider& input)
{
    fake::ProcessScript script;
    script.createFails = input.ConsumeProbability<float>() < 0.15f;
    script.createError = input.ConsumeBool() ? platform::kErrorElevationRequired : 2;
    script.shellFails = input.ConsumeProbability<float>() < 0.3f;
    script.shellError = input.ConsumeBool() ? platform::kErrorCancelled : 2;
    script.waitResult = input.ConsumeProbability<float>() < 0.1f ? fake::kWaitFailed
                                                                 : platform::kWaitObject0;
    script.exitCodeFails = input.ConsumeProbability<float>() < 0.1f;
    script.exitCode = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint32_t>();
    int action = input.ConsumeIntegralInRange(0, 3);
    std::string appDir = input.ConsumeRandomLengthString(40);
    uint32_t version = input.ConsumeIntegral<uint32_t>();
    script.run = [action, appDir, version] {
        if (action == 1)
            fake::RegisterPlayer(platform::RegistryRoot::CurrentUser, appDir, version);
        else if (action == 2)
            fake::RemovePlayerKey(platform::RegistryRoot::CurrentUser);
    };
    return script;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    fake::Reset();
    StartLaunchContext();
    if (input.ConsumeBool())
        fake::UseCodePage932();

    FillRoot(input, platform::RegistryRoot::CurrentUser);
    FillRoot(input, platform::RegistryRoot::LocalMachine);
    std::string folder = input.ConsumeRandomLengthString(300);
    fake::state.modulePath = folder + "\\OrvaneCD.exe";
    fake::state.xpTruncation = input.ConsumeBool();
    fake::state.modulePathFails = input.ConsumeProbability<float>() < 0.05f;

    if (input.ConsumeBool()) {
        fake::VersionResource resource;
        resource.reportsZeroSize = input.ConsumeProbability<float>() < 0.1f;
        resource.copyFails = input.ConsumeProbability<float>() < 0.1f;
        resource.queryFails = input.ConsumeProbability<float>() < 0.1f;
        resource.rootLength = input.ConsumeBool() ? 52 : input.ConsumeIntegralInRange(0, 64);
        resource.blockSize = input.ConsumeIntegralInRange<uint32_t>(0, 128);
        // VerQueryValueA's pointers are DWORD-aligned, damaged resource or not.
        resource.rootOffset = 4 * input.ConsumeIntegralInRange<uint32_t>(0, 32);
        resource.rootElsewhere = input.ConsumeProbability<float>() < 0.1f;
        resource.fileVersionMS = input.ConsumeIntegral<uint32_t>();
        resource.fileVersionLS = input.ConsumeIntegral<uint32_t>();
        fake::state.versions[folder + "\\Orvane Installer\\ervast_orvane.exe"] = resource;
    }
    for (int i = 0; i < 3; ++i) {
        const int answers[] = {fake::kIdYes, platform::kIdNo, 0};
        fake::state.answers.push_back(input.PickValueInArray(answers));
        fake::state.processes.push_back(Program(input));
    }
    fake::state.failAllocation = input.ConsumeIntegralInRange<long>(0, 12);
    std::string tail = input.ConsumeRandomLengthString(40);
    tail = tail.c_str();

    FirstRead judged = JudgeRegistry();
    LaunchResult result = RunLaunchSequence(tail.c_str());

    FUZZ_CHECK(result >= LauncherPathFailed && result <= Skipped);
    FUZZ_CHECK(fake::OpenHandleCount() == 0);
    FUZZ_CHECK(fake::state.closeErrors.empty());
    FUZZ_CHECK(fake::state.liveAllocations == 0);
    FUZZ_CHECK(Context.AppDir == nullptr && Context.LauncherDir == nullptr &&
               Context.InstallerPath == nullptr);

    // At most two installer runs, then at most one player start, in that order.
    size_t players = 0;
    size_t installers = 0;
    for (const std::string& line : fake::state.launched) {
        static const std::string installerEnd = "\\Orvane Installer\\ervast_orvane.exe\"";
        bool isPlayer = line.size() < installerEnd.size() ||
                        line.compare(line.size() - installerEnd.size(), installerEnd.size(),
                                     installerEnd) != 0;
        if (isPlayer) {
            ++players;
            FUZZ_CHECK(&line == &fake::state.launched.back());
        } else {
            ++installers;
            FUZZ_CHECK(line.size() >= 2 && line.front() == '"' && line.back() == '"');
        }
    }
    FUZZ_CHECK(installers <= 2);
    FUZZ_CHECK(players <= 1);
    FUZZ_CHECK(fake::state.prompts.size() <= 2);
    // A switched-off or broken registration ends the run before the disc is
    // looked at: no prompt, nothing started.
    if (judged.keyOpened && (judged.broken || judged.autorunOff)) {
        FUZZ_CHECK(fake::state.prompts.empty());
        FUZZ_CHECK(fake::state.started.empty() && fake::state.shellStarted.empty());
    }
    // A quote in the launcher's own path (as best-fit conversion makes one) ends
    // the run before the registry is read; one in "AppDir" never starts the player.
    if (std::string(fake::state.modulePath.c_str()).find('"') != std::string::npos)
        FUZZ_CHECK(fake::state.openedKeys.empty() && fake::state.launched.empty());
    if (players == 1)
        FUZZ_CHECK(fake::state.appDirsRead.back().find('"') == std::string::npos);
    // The player starts only after a read of "AppDir", from the folder read last.
    if (players == 1) {
        FUZZ_CHECK(result == Ok || result == StartFailed);
        FUZZ_CHECK(!fake::state.appDirsRead.empty());
        std::string expected = "\"" + fake::state.appDirsRead.back() + "\\Orvanex.exe\"";
        FUZZ_CHECK(fake::state.launched.back().rfind(expected, 0) == 0);
    }
    return 0;
}
