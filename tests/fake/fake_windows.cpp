#include "tests/fake/fake_windows.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace fake {

Windows state;

static const char kPlayerKey[] = "software\\ervast\\orvane";

static std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

void Reset()
{
    // Blocks still held by the launcher outlive a change of the scripted machine.
    long live = state.liveAllocations;
    state = Windows();
    state.liveAllocations = live;
}

void UseCodePage932()
{
    for (int byte = 0x81; byte <= 0x9F; ++byte)
        state.leadBytes.insert(static_cast<unsigned char>(byte));
    for (int byte = 0xE0; byte <= 0xFC; ++byte)
        state.leadBytes.insert(static_cast<unsigned char>(byte));
}

RegistryKeyState& Root(platform::RegistryRoot root)
{
    return root == platform::RegistryRoot::CurrentUser ? state.currentUser : state.localMachine;
}

void SetString(platform::RegistryRoot root, const std::string& name, const std::string& data,
               uint32_t type)
{
    Root(root).exists = true;
    Root(root).values[Lower(name)] = Value{type, data};
}

void SetDword(platform::RegistryRoot root, const std::string& name, uint32_t value)
{
    Root(root).exists = true;
    Root(root).values[Lower(name)] =
        Value{platform::kRegDword, std::string(reinterpret_cast<const char*>(&value), 4)};
}

void RegisterPlayer(platform::RegistryRoot root, const std::string& appDir, uint32_t version,
                    bool autorun)
{
    SetString(root, "AppDir", appDir + std::string(1, '\0'));
    SetDword(root, "AutorunPlayListCDs", autorun ? 1 : 0);
    SetDword(root, "PlayerVersion", version);
}

void RemovePlayerKey(platform::RegistryRoot root)
{
    Root(root) = RegistryKeyState();
}

ProcessScript ExitsWith(uint32_t code, std::function<void()> run)
{
    ProcessScript script;
    script.exitCode = code;
    script.run = std::move(run);
    return script;
}

ProcessScript CreateFails(uint32_t error)
{
    ProcessScript script;
    script.createFails = true;
    script.createError = error;
    return script;
}

ProcessScript ShellFails(uint32_t error)
{
    ProcessScript script;
    script.shellFails = true;
    script.shellError = error;
    return script;
}

ProcessScript WaitFails(uint32_t waitResult)
{
    ProcessScript script;
    script.waitResult = waitResult;
    return script;
}

ProcessScript ExitsAmidMessages(uint32_t code, std::vector<int> messageBatches)
{
    ProcessScript script = ExitsWith(code);
    script.messageBatches = std::move(messageBatches);
    return script;
}

ProcessScript ExitCodeUnreadable()
{
    ProcessScript script;
    script.exitCodeFails = true;
    return script;
}

size_t OpenHandleCount()
{
    return state.openHandles.size();
}

static void* NewHandle(const std::string& kind)
{
    // Distinct addresses that are never dereferenced.
    static char pool;
    static uintptr_t next = 0;
    void* handle = reinterpret_cast<char*>(&pool) + (++next) * 16;
    state.openHandles[handle] = kind;
    return handle;
}

static bool CloseKind(void* handle, const std::string& kind)
{
    auto open = state.openHandles.find(handle);
    if (open == state.openHandles.end() || open->second != kind) {
        state.closeErrors.push_back(kind);
        return false;
    }
    state.openHandles.erase(open);
    return true;
}

static ProcessScript NextProcess()
{
    if (state.processes.empty())
        return ProcessScript();
    ProcessScript script = state.processes.front();
    state.processes.pop_front();
    return script;
}

static void* LaunchScripted(const ProcessScript& script)
{
    if (script.run)
        script.run();
    void* process = NewHandle("process");
    state.running[process] = script;
    return process;
}

}  // namespace fake

namespace platform {

using fake::state;

void* AllocateMemory(size_t size)
{
    ++state.allocationsMade;
    if (state.allocationsMade == state.failAllocation)
        return nullptr;
    void* block = malloc(size == 0 ? 1 : size);
    if (block != nullptr)
        ++state.liveAllocations;
    return block;
}

void ReleaseMemory(void* block)
{
    if (block == nullptr)
        return;
    --state.liveAllocations;
    free(block);
}

bool IsDBCSLeadByte(unsigned char byte)
{
    return state.leadBytes.count(byte) != 0;
}

uint32_t GetModuleFileNameA(char* buffer, uint32_t size)
{
    state.moduleSizesAsked.push_back(size);
    if (state.modulePathFails || size == 0)
        return 0;
    if (state.endlessModulePath) {
        memset(buffer, 'd', size - 1);
        buffer[size - 1] = '\0';
        return size;
    }
    const std::string& path = state.modulePath;
    if (path.size() < size) {
        memcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<uint32_t>(path.size());
    }
    if (state.xpTruncation) {
        memcpy(buffer, path.data(), size);  // no terminator
    } else {
        memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
    }
    return size;
}

long RegOpenKeyExA(RegistryRoot root, const char* subKey, RegistryKey* key)
{
    fake::RegistryKeyState& keyState = fake::Root(root);
    if (fake::Lower(subKey) != fake::kPlayerKey || !keyState.exists || keyState.openFails)
        return fake::kErrorFileNotFound;
    state.openedKeys.push_back(root == RegistryRoot::CurrentUser ? "HKCU" : "HKLM");
    if (keyState.openGivesNoKey) {
        *key = nullptr;
        return kErrorSuccess;
    }
    *key = fake::NewHandle(root == RegistryRoot::CurrentUser ? "key:HKCU" : "key:HKLM");
    return kErrorSuccess;
}

long RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* type,
                      unsigned char* data, uint32_t* size)
{
    auto open = state.openHandles.find(key);
    if (open == state.openHandles.end())
        return fake::kErrorInvalidHandle;
    fake::RegistryKeyState& keyState =
        open->second == "key:HKCU" ? state.currentUser : state.localMachine;
    auto found = keyState.values.find(fake::Lower(valueName));
    if (found == keyState.values.end())
        return fake::kErrorFileNotFound;
    fake::Value& value = found->second;
    uint32_t stored = static_cast<uint32_t>(value.data.size());
    if (type != nullptr)
        *type = value.type;
    if (data == nullptr) {
        *size = value.claimedSize != 0 ? value.claimedSize : stored;
        value.data.insert(0, value.growsBy, 'g');
        value.growsBy = 0;
        return kErrorSuccess;
    }
    if (*size < stored) {
        // Windows leaves the buffer's contents undefined: never anything usable.
        memset(data, 0xCD, *size);
        *size = stored;
        return fake::kErrorMoreData;
    }
    memcpy(data, value.data.data(), stored);
    if (fake::Lower(valueName) == "appdir")
        state.appDirsRead.push_back(value.data.c_str());
    // Strings stored without a terminator get one when there is room for it.
    bool isString = value.type == kRegSz || value.type == 2;
    if (isString && stored > 0 && *size > stored && value.data.back() != '\0')
        data[stored] = '\0';
    *size = stored;
    return kErrorSuccess;
}

long RegCloseKey(RegistryKey key)
{
    auto open = state.openHandles.find(key);
    std::string kind = open == state.openHandles.end() ? "key" : open->second;
    if (kind.rfind("key:", 0) != 0)
        kind = "key";
    return fake::CloseKind(key, kind) ? kErrorSuccess : fake::kErrorInvalidHandle;
}

// The fake block: the resource's script, then the fixed information.
uint32_t GetFileVersionInfoSizeA(const char* path)
{
    auto found = state.versions.find(path);
    if (found == state.versions.end() || found->second.reportsZeroSize)
        return 0;
    return found->second.blockSize;
}

bool GetFileVersionInfoA(const char* path, uint32_t size, void* buffer)
{
    auto found = state.versions.find(path);
    if (found == state.versions.end() || found->second.copyFails ||
        size < found->second.blockSize)
        return false;
    const fake::VersionResource& resource = found->second;
    FixedFileInfo info{0xFEEF04BD, 0, resource.fileVersionMS, resource.fileVersionLS,
                       0, 0, 0, 0, 0, 0, 0, 0, 0};
    memset(buffer, 0, resource.blockSize);
    // What of the root block fits in the resource; a damaged one is cut.
    if (resource.rootOffset < resource.blockSize)
        memcpy(static_cast<char*>(buffer) + resource.rootOffset, &info,
               std::min<size_t>(sizeof info, resource.blockSize - resource.rootOffset));
    state.copiedVersions[buffer] = resource;
    return true;
}

bool VerQueryValueA(const void* block, const char* subBlock, const void** value,
                    uint32_t* length)
{
    auto copied = state.copiedVersions.find(block);
    if (strcmp(subBlock, "\\") != 0 || copied == state.copiedVersions.end() ||
        copied->second.queryFails)
        return false;
    static const FixedFileInfo elsewhere{0xFEEF04BD, 0, 0x00090009, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    *value = copied->second.rootElsewhere
                 ? static_cast<const void*>(&elsewhere)
                 : static_cast<const char*>(block) + copied->second.rootOffset;
    *length = copied->second.rootLength;
    return true;
}

bool CreateProcessA(char* commandLine, uint32_t creationFlags, Handle* process, Handle* thread)
{
    state.started.push_back(commandLine);
    fake::ProcessScript script = fake::NextProcess();
    if (creationFlags != kDetachedProcess || script.createFails) {
        state.lastError = script.createFails ? script.createError : fake::kErrorInvalidParameter;
        return false;
    }
    *process = fake::LaunchScripted(script);
    *thread = fake::NewHandle("thread");
    state.launched.push_back(commandLine);
    return true;
}

bool ShellExecuteExA(const char* file, Handle* process)
{
    state.shellStarted.push_back(file);
    fake::ProcessScript script = fake::NextProcess();
    if (script.shellFails) {
        state.lastError = script.shellError;
        return false;
    }
    *process = fake::LaunchScripted(script);
    state.launched.push_back(std::string("\"") + file + "\"");
    return true;
}

uint32_t GetLastError()
{
    return state.lastError;
}

bool CloseHandle(Handle handle)
{
    auto open = state.openHandles.find(handle);
    std::string kind = open == state.openHandles.end() ? "handle" : open->second;
    if (kind.rfind("key:", 0) == 0)
        kind = "handle";  // a registry key is not closed with CloseHandle
    bool closed = fake::CloseKind(handle, kind);
    if (closed)
        state.running.erase(handle);
    return closed;
}

uint32_t MsgWaitForMultipleObjects(Handle handle, uint32_t milliseconds, uint32_t wakeMask)
{
    // Windows 7 and older know no wake bit above QS_RAWINPUT.
    if ((wakeMask & ~0x04FFu) != 0) {
        state.lastError = fake::kErrorInvalidParameter;
        return fake::kWaitFailed;
    }
    auto running = state.running.find(handle);
    if (running == state.running.end() || milliseconds != kInfinite)
        return fake::kWaitFailed;
    std::vector<int>& batches = running->second.messageBatches;
    if (batches.empty())
        return running->second.waitResult;
    state.queuedMessages += batches.front();
    batches.erase(batches.begin());
    return kWaitMessage;
}

bool DispatchNextMessage()
{
    if (state.queuedMessages == 0)
        return false;
    --state.queuedMessages;
    ++state.dispatchedMessages;
    return true;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode)
{
    auto running = state.running.find(process);
    if (running == state.running.end() || running->second.exitCodeFails)
        return false;
    *exitCode = running->second.exitCode;
    return true;
}

void LoadCommonControls()
{
    state.commonControlsLoaded = true;
}

int MessageBoxA(const char* text, const char* caption, unsigned style)
{
    if (!state.commonControlsLoaded)
        return 0;
    state.prompts.push_back(fake::Prompt{text, caption, style});
    if (state.answers.empty())
        return fake::kIdYes;
    int answer = state.answers.front();
    state.answers.pop_front();
    return answer;
}

}  // namespace platform
