// The launcher-folder rule over any module path, any length, in single- and
// double-byte code pages, with either truncation behaviour.
#include <stdint.h>

#include <string>

#include "launch/launch_context.h"
#include "probes/launcher_dir.h"
#include "tests/fake/fake_windows.h"
#include "tests/fuzz/fuzz_check.h"

// True when byte `at` of `path` is the trail byte of a double-byte character.
static bool IsTrailByte(const std::string& path, size_t at)
{
    for (size_t i = 0; i < at; ++i) {
        if (fake::state.leadBytes.count(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
            if (i + 1 == at)
                return true;
            ++i;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    fake::Reset();
    StartLaunchContext();
    uint8_t flags = data[0];
    if (flags & 1)
        fake::UseCodePage932();
    fake::state.xpTruncation = (flags & 2) != 0;
    fake::state.modulePathFails = (flags & 0x1C) == 0x1C;
    std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    path = path.c_str();
    // Repeat short inputs up to long paths now and then, to reach the growing buffer.
    if ((flags & 0x20) && !path.empty()) {
        while (path.size() < 600)
            path += path;
    }
    fake::state.modulePath = path;

    LaunchResult result = FindLauncherDir();
    FUZZ_CHECK(result == Ok || result == LauncherPathFailed);
    if (result == Ok) {
        FUZZ_CHECK(path.find('"') == std::string::npos);  // a quote is never a usable path
        std::string folder = Context.LauncherDir;
        FUZZ_CHECK(!folder.empty() && path.compare(0, folder.size(), folder) == 0);
        char last = folder.back();
        FUZZ_CHECK(last == '\\' || last == '/');
        FUZZ_CHECK(!IsTrailByte(path, folder.size() - 1));
        // No later separator outside a double-byte character.
        for (size_t i = folder.size(); i < path.size(); ++i)
            FUZZ_CHECK((path[i] != '\\' && path[i] != '/') || IsTrailByte(path, i));
    }
    ReleaseLaunchTexts();
    FUZZ_CHECK(fake::state.liveAllocations == 0);
    return 0;
}
