#include "probes/cd_installer.h"

#include "launch/join_text.h"
#include "launch/launch_context.h"
#include "platform/platform.h"

// The root block must lie wholly inside the copied resource: a damaged
// resource could otherwise point the read anywhere.
static bool LiesInside(const void* root, uint32_t length, const void* block, uint32_t size)
{
    const uintptr_t need = sizeof(platform::FixedFileInfo);
    uintptr_t start = reinterpret_cast<uintptr_t>(block);
    uintptr_t at = reinterpret_cast<uintptr_t>(root);
    return length >= need && size >= need && at >= start && at - start <= size - need;
}

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
        LiesInside(root, length, block, size)) {
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
