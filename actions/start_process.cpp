#include "actions/start_process.h"

LaunchResult StartProcess(char* commandLine, platform::Handle* process)
{
    platform::Handle started = nullptr;
    platform::Handle thread = nullptr;
    if (!platform::CreateProcessA(commandLine, platform::kDetachedProcess, &started, &thread))
        return StartFailed;
    platform::CloseHandle(thread);
    if (process != nullptr)
        *process = started;
    else
        platform::CloseHandle(started);
    return Ok;
}
