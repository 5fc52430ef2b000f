#include "probes/cd_installer.h"

#include "launch/join_text.h"
#include "launch/launch_context.h"
#include "platform/platform.h"

LaunchResult ReadFileVersion(const char* path, uint32_t* ms, uint32_t* ls)
{
    uint32_t size = platform::GetFileVersionInfoSizeA(path);
    if (size == 0)
        return Skipped;
    void* block = platform::AllocateMemory(size);
    if (block == nullptr)
        return OutOfMemory;

    LaunchResult result = Skipped;
    const void* root = nullptr;
    uint32_t length = 0;
    if (platform::GetFileVersionInfoA(path, size, block) &&
        platform::VerQueryValueA(block, "\\", &root, &length) &&
        root != nullptr && length >= sizeof(platform::FixedFileInfo)) {
        const platform::FixedFileInfo* info = static_cast<const platform::FixedFileInfo*>(root);
        *ms = info->fileVersionMS;
        *ls = info->fileVersionLS;
        result = Ok;
    }
    platform::ReleaseMemory(block);
    return result;
}

LaunchResult ProbeCdInstaller()
{
    Context.CdInstallerVersion = 0;
    ReplaceText(&Context.InstallerPath,
                JoinText(Context.LauncherDir, "Orvane Installer\\ervast_orvane.exe"));
    if (Context.InstallerPath == nullptr)
        return OutOfMemory;

    uint32_t ms = 0;
    uint32_t ls = 0;
    LaunchResult result = ReadFileVersion(Context.InstallerPath, &ms, &ls);
    if (result == Ok)
        Context.CdInstallerVersion = ms;
    return result;
}
