#include "actions/player_start.h"

#include "actions/start_process.h"
#include "launch/join_text.h"
#include "launch/launch_context.h"

static char* BuildPlayerCommandLine(const char* commandTail)
{
    if (commandTail == nullptr || commandTail[0] == '\0')
        return JoinText("\"", Context.AppDir, "\\", "Orvanex.exe", "\" -p -l \"",
                        Context.LauncherDir, "CDPlayList.p4u", "\"");
    return JoinText("\"", Context.AppDir, "\\", "Orvanex.exe", "\" ", commandTail);
}

LaunchResult StartPlayer(const char* commandTail)
{
    char* commandLine = BuildPlayerCommandLine(commandTail);
    if (commandLine == nullptr)
        return OutOfMemory;
    LaunchResult result = StartProcess(commandLine);
    platform::ReleaseMemory(commandLine);
    return result;
}
