#include "launch/launch_context.h"

#include "platform/platform.h"

// Zero-filled until the run starts: the executable then carries no writable
// initialised data at all.
LaunchContext Context;

void StartLaunchContext()
{
    Context = LaunchContext{nullptr, nullptr, true, 0, false, nullptr, 0};
}

void ReplaceText(char** field, char* text)
{
    platform::ReleaseMemory(*field);
    *field = text;
}

void ReleaseLaunchTexts()
{
    ReplaceText(&Context.AppDir, nullptr);
    ReplaceText(&Context.LauncherDir, nullptr);
    ReplaceText(&Context.InstallerPath, nullptr);
}
