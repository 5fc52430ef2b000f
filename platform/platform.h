// The thin layer through which the launcher reaches Windows. Each operation is
// one Win32 call in its ANSI form; the Windows builds link win32_*.cpp, the
// host tests link a scripted fake of the same functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace platform {

using RegistryKey = void*;
using Handle = void*;

enum class RegistryRoot { CurrentUser, LocalMachine };

constexpr long kErrorSuccess = 0;
constexpr uint32_t kErrorElevationRequired = 740;
constexpr uint32_t kErrorCancelled = 1223;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
// MsgWaitForMultipleObjects with one handle: a message came, not the process's end.
constexpr uint32_t kWaitMessage = kWaitObject0 + 1;

constexpr unsigned kMbYesNo = 0x04;
constexpr unsigned kMbIconInformation = 0x40;
constexpr int kIdNo = 7;

constexpr uint32_t kDetachedProcess = 0x08;

// Same layout as VS_FIXEDFILEINFO; the Windows layer asserts that.
struct FixedFileInfo {
    uint32_t signature;
    uint32_t structVersion;
    uint32_t fileVersionMS;
    uint32_t fileVersionLS;
    uint32_t productVersionMS;
    uint32_t productVersionLS;
    uint32_t fileFlagsMask;
    uint32_t fileFlags;
    uint32_t fileOS;
    uint32_t fileType;
    uint32_t fileSubtype;
    uint32_t fileDateMS;
    uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52, "FixedFileInfo must match VS_FIXEDFILEINFO");

// Process heap; nullptr when the allocation fails. Releasing nullptr is harmless.
void* AllocateMemory(size_t size);
void ReleaseMemory(void* block);

bool IsDBCSLeadByte(unsigned char byte);

// Own executable's path; 0 on failure, size when the path was cut (the text may
// then lack its terminator).
uint32_t GetModuleFileNameA(char* buffer, uint32_t size);

// Opened with KEY_QUERY_VALUE in the process's own registry view.
long RegOpenKeyExA(RegistryRoot root, const char* subKey, RegistryKey* key);
long RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* type,
                      unsigned char* data, uint32_t* size);
long RegCloseKey(RegistryKey key);

// VERSION is loaded from the system folder on first use; when it cannot be,
// every file reports no version resource.
uint32_t GetFileVersionInfoSizeA(const char* path);
bool GetFileVersionInfoA(const char* path, uint32_t size, void* buffer);
bool VerQueryValueA(const void* block, const char* subBlock, const void** value,
                    uint32_t* length);

// No application name, no inheritance, inherited environment and folder.
bool CreateProcessA(char* commandLine, uint32_t creationFlags, Handle* process,
                    Handle* thread);
// SHELL32 is loaded from the system folder on this path only. Starts the file
// with no verb and no parameters, shown normally, and hands back its process;
// on failure the last error says why (kErrorCancelled: the user declined the
// elevation). The shell shows no error box of its own. The foreground window
// is handed to the call, and the foreground right on, so that the elevation
// prompt comes up in front rather than as a flashing taskbar button.
bool ShellExecuteExA(const char* file, Handle* process);
uint32_t GetLastError();
bool CloseHandle(Handle handle);
// QS_ALLINPUT as every supported Windows knows it. Windows 8 added QS_TOUCH and
// QS_POINTER (0x1800) to the headers' QS_ALLINPUT; Windows 7 and older fail a
// wait that names them, at once.
constexpr uint32_t kQsAllInput = 0x04FF;

// Waits for the handle or for a message of the kinds in wakeMask (QS_*) to
// this thread. USER32 is loaded from the system folder; without it the wait
// fails (WAIT_FAILED): Windows has no session without USER32, only a broken one.
uint32_t MsgWaitForMultipleObjects(Handle handle, uint32_t milliseconds, uint32_t wakeMask);
// Removes one message from this thread's queue and dispatches it (PeekMessageA,
// DispatchMessageA); false when the queue is empty. Only after the wait above
// reported a message: USER32 is loaded then.
bool DispatchNextMessage();
bool GetExitCodeProcess(Handle process, uint32_t* exitCode);

// Loads and initialises the Common Controls that the process's activation
// context names (the side-by-side store's comctl32 6, which the manifest asks
// for): Windows XP has the boxes' version-6 button and text classes only once
// they are loaded, and fails a box without them; Vista and later load them on
// demand. Where the activation context names none, nothing is loaded: a load
// by name would then search the launcher's folder.
void LoadCommonControls();

// No owner window.
int MessageBoxA(const char* text, const char* caption, unsigned style);

}  // namespace platform
