#include "actions/installer_run.h"

#include "actions/start_process.h"
#include "launch/join_text.h"
#include "launch/launch_context.h"
#include "platform/platform.h"
#include "probes/player_registration.h"

static const char kPromptCaption[] = "Orvane PlayList CD";
static const char kInstallPrompt[] =
    "You have inserted an Orvane Playlist CD. In order to automatically play this CD you "
    "have to install Orvane.\n\nDo you want to install Orvane now?";
static const char kUpdatePrompt[] =
    "You have inserted an Orvane Playlist CD. The version of Orvane on this CD is newer "
    "than the one you have currently installed.\n\nDo you want to install the updated "
    "version of Orvane now?";

// An exit code we cannot read is never taken for success.
static constexpr uint32_t kUnknownExitCode = 0xFFFFFFFFu;

// Only No declines: a box that cannot be shown counts as Yes. On Windows XP
// a box cannot be shown before the Common Controls are loaded.
static bool AskUser(const char* text)
{
    platform::LoadCommonControls();
    return platform::MessageBoxA(text, kPromptCaption,
                                 platform::kMbYesNo | platform::kMbIconInformation) !=
           platform::kIdNo;
}

// An installer that asks for administrator rights cannot be created from an
// unelevated launcher; the shell starts it through the elevation prompt.
static LaunchResult StartWaitable(char* commandLine, const char* elevationFile,
                                  platform::Handle* process)
{
    LaunchResult result = StartProcess(commandLine, process);
    if (result != StartFailed || elevationFile == nullptr ||
        platform::GetLastError() != platform::kErrorElevationRequired)
        return result;
    if (platform::ShellExecuteExA(elevationFile, process))
        return Ok;
    // Declining Windows' elevation prompt is the user's No.
    return platform::GetLastError() == platform::kErrorCancelled ? Skipped : StartFailed;
}

// Waits for the process to end, dispatching what comes to the thread meanwhile:
// a thread that has shown a window and stops answering holds up broadcasts.
static bool WaitAnsweringMessages(platform::Handle process)
{
    for (;;) {
        uint32_t woken = platform::MsgWaitForMultipleObjects(process, platform::kInfinite,
                                                             platform::kQsAllInput);
        if (woken != platform::kWaitMessage)
            return woken == platform::kWaitObject0;
        while (platform::DispatchNextMessage()) {
        }
    }
}

LaunchResult RunAndWait(char* commandLine, uint32_t* exitCode, const char* elevationFile)
{
    platform::Handle process = nullptr;
    LaunchResult result = StartWaitable(commandLine, elevationFile, &process);
    if (result != Ok)
        return result;
    if (!WaitAnsweringMessages(process)) {
        platform::CloseHandle(process);
        return WaitFailed;
    }
    if (exitCode != nullptr && !platform::GetExitCodeProcess(process, exitCode))
        *exitCode = kUnknownExitCode;
    platform::CloseHandle(process);
    return Ok;
}

LaunchResult RunInstaller(bool ask)
{
    if (ask && !AskUser(kInstallPrompt))
        return Skipped;
    char* commandLine = JoinText("\"", Context.InstallerPath, "\"");
    if (commandLine == nullptr)
        return OutOfMemory;
    uint32_t exitCode = kUnknownExitCode;
    LaunchResult result = RunAndWait(commandLine, &exitCode, Context.InstallerPath);
    platform::ReleaseMemory(commandLine);
    if (result == Ok && exitCode != 0)
        return InstallerFailed;
    return result;
}

LaunchResult OfferUpdate()
{
    if (!AskUser(kUpdatePrompt))
        return Skipped;
    LaunchResult result = RunInstaller(false);
    // A failed update leaves the installed player in use, unchanged.
    if (result == InstallerFailed)
        return Skipped;
    if (result != Ok)
        return result;
    result = ReadPlayerRegistration();
    return result == Skipped ? RegistrationMissing : result;
}
