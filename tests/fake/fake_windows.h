// A scripted stand-in for Windows, linked in place of platform/win32_*.cpp in
// the host tests. It behaves as the real calls do where the launcher can tell.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Win32 values that only the fake hands out.
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr int kIdYes = 6;

struct Value {
    uint32_t type;
    std::string data;  // stored bytes, terminator included only when given
    uint32_t claimedSize = 0;  // when not 0, the size a query without a buffer reports
    size_t growsBy = 0;        // bytes another program adds right after a size query
};

struct RegistryKeyState {
    bool exists = false;
    bool openFails = false;    // the open fails although the key is there
    bool openGivesNoKey = false;  // the open succeeds without a key
    std::map<std::string, Value> values;
};

struct VersionResource {
    bool reportsZeroSize = false;  // GetFileVersionInfoSizeA answers 0
    bool copyFails = false;
    bool queryFails = false;
    uint32_t blockSize = 96;       // bytes of the copied resource
    uint32_t rootOffset = 40;      // where VerQueryValueA's root block begins in it
    bool rootElsewhere = false;    // or a damaged resource points outside it
    uint32_t rootLength = 52;      // length VerQueryValueA reports
    uint32_t fileVersionMS = 0;
    uint32_t fileVersionLS = 0;
};

// What one start of a process does, in the order the starts happen.
struct ProcessScript {
    bool createFails = false;
    uint32_t createError = 2;     // last error when the creation fails
    bool shellFails = false;
    uint32_t shellError = platform::kErrorCancelled;
    uint32_t waitResult = platform::kWaitObject0;
    // Messages posted to the launcher's thread while it waits, a batch a wake.
    std::vector<int> messageBatches;
    bool exitCodeFails = false;
    uint32_t exitCode = 0;
    std::function<void()> run;   // what the program does while it runs
};

ProcessScript ExitsWith(uint32_t code, std::function<void()> run = nullptr);
ProcessScript CreateFails(uint32_t error = 2);
ProcessScript ShellFails(uint32_t error = platform::kErrorCancelled);
ProcessScript WaitFails(uint32_t waitResult = kWaitFailed);
ProcessScript ExitsAmidMessages(uint32_t code, std::vector<int> messageBatches);
ProcessScript ExitCodeUnreadable();

struct Prompt {
    std::string text;
    std::string caption;
    unsigned style;
};

struct Windows {
    // Registry, per root.
    RegistryKeyState currentUser;
    RegistryKeyState localMachine;
    std::vector<std::string> openedKeys;  // "HKCU" or "HKLM" per successful open
    std::vector<std::string> appDirsRead;  // data handed out for "AppDir", up to its zero

    std::string modulePath;
    bool endlessModulePath = false;  // longer than any buffer: always cut
    bool modulePathFails = false;
    bool xpTruncation = false;     // cut paths come back unterminated
    std::vector<uint32_t> moduleSizesAsked;
    std::set<unsigned char> leadBytes;

    std::map<std::string, VersionResource> versions;
    std::map<const void*, VersionResource> copiedVersions;  // by the caller's buffer

    std::deque<ProcessScript> processes;
    std::vector<std::string> started;      // command lines passed to CreateProcessA
    std::vector<std::string> shellStarted; // files passed to ShellExecuteExA
    std::vector<std::string> launched;     // programs that did start, by either way
    uint32_t lastError = 0;
    std::map<void*, ProcessScript> running;  // by process handle

    // The thread's queue: a wait wakes for new messages only, not for those
    // left there since the last wake (no MWMO_INPUTAVAILABLE).
    int queuedMessages = 0;
    int dispatchedMessages = 0;

    // As on Windows XP, a box fails (0) unless the Common Controls that the
    // manifest names were loaded earlier in the run.
    bool commonControlsLoaded = false;
    std::deque<int> answers;  // message-box returns; Yes when none is left
    std::vector<Prompt> prompts;

    long allocationsMade = 0;
    long failAllocation = 0;  // the n-th allocation fails; 0: none does
    long liveAllocations = 0;

    std::map<void*, std::string> openHandles;  // handle -> kind
    std::vector<std::string> closeErrors;      // closes of handles not open
};

extern Windows state;

// Back to an empty machine.
void Reset();
void UseCodePage932();

RegistryKeyState& Root(platform::RegistryRoot root);
void SetString(platform::RegistryRoot root, const std::string& name, const std::string& data,
               uint32_t type = platform::kRegSz);
void SetDword(platform::RegistryRoot root, const std::string& name, uint32_t value);
// Registers the player completely under `root`.
void RegisterPlayer(platform::RegistryRoot root, const std::string& appDir, uint32_t version,
                    bool autorun = true);
void RemovePlayerKey(platform::RegistryRoot root);

size_t OpenHandleCount();

}  // namespace fake
