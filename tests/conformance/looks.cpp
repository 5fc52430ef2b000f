// How Windows draws the launcher's box, read while it is shown: the system's
// own buttons (the Common Controls 6 from the side-by-side store, as the
// manifest asks) and per-monitor DPI awareness (sharp at any display scale).
// Where the system cannot tell, the program says why once and goes on.
#include "conformance.h"

#include <tlhelp32.h>

// Windows 8.1 on (shcore.dll); Windows 10 1607 on (user32.dll).
using GetProcessDpiAwarenessFunction = HRESULT(WINAPI*)(HANDLE, int*);
using GetWindowContextFunction = HANDLE(WINAPI*)(HWND);
using ContextFunction = BOOL(WINAPI*)(HANDLE);
using ContextsEqualFunction = BOOL(WINAPI*)(HANDLE, HANDLE);

static constexpr int kProcessPerMonitorDpiAware = 2;
static const HANDLE kPerMonitorAware = reinterpret_cast<HANDLE>(-3);
static const HANDLE kPerMonitorAwareV2 = reinterpret_cast<HANDLE>(-4);  // 1703 on

template <typename Function>
static Function Find(const wchar_t* dll, const char* name)
{
    HMODULE module = LoadLibraryW(dll);
    return module == nullptr ? nullptr
                             : reinterpret_cast<Function>(
                                   reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Says once a program run why a check cannot be made here.
static void SayOnce(bool& said, const std::wstring& why)
{
    if (!said)
        Say(L"note: " + why);
    said = true;
}

static std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The path of the launcher's comctl32.dll; empty when none is loaded. False
// when its modules cannot be listed.
static bool FindCommonControls(DWORD processId, std::wstring* path)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    bool listed = Module32FirstW(snapshot, &module) != FALSE;
    for (bool more = listed; more; more = Module32NextW(snapshot, &module) != FALSE)
        if (Lower(module.szModule) == L"comctl32.dll")
            *path = module.szExePath;
    CloseHandle(snapshot);
    return listed;
}

static std::wstring CheckCommonControls(DWORD processId)
{
    static bool said;
    std::wstring path;
    if (!FindCommonControls(processId, &path)) {
        SayOnce(said, L"the launcher's modules cannot be listed from here (error " +
                          std::to_wstring(GetLastError()) +
                          L"): which Common Controls draw its box is not checked");
        return L"";
    }
    if (path.empty())
        return L"no comctl32.dll in the launcher while its box is shown";
    if (Lower(path).find(L"\\winsxs\\") == std::wstring::npos)
        return L"comctl32.dll from " + path + L", not the Common Controls 6 of the "
                                              L"side-by-side store";
    return L"";
}

// Windows 8.1 on. Wine answers "unaware" for any process but the caller.
static std::wstring CheckProcessAwareness(DWORD processId)
{
    static bool said;
    auto processAwareness =
        Find<GetProcessDpiAwarenessFunction>(L"shcore.dll", "GetProcessDpiAwareness");
    if (processAwareness == nullptr || machine.underWine) {
        SayOnce(said, std::wstring(machine.underWine ? L"Wine" : L"Windows before 8.1") +
                          L" reports no other process's DPI awareness: the launcher's is not "
                          L"checked");
        return L"";
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    int awareness = -1;
    HRESULT told = processAwareness(process, &awareness);
    if (process != nullptr)
        CloseHandle(process);
    if (FAILED(told))
        return L"the launcher's DPI awareness cannot be read";
    if (awareness != kProcessPerMonitorDpiAware)
        return L"the launcher is not per-monitor DPI aware (" + std::to_wstring(awareness) +
               L"): Windows stretches its box as a bitmap";
    return L"";
}

// Windows 10 1607 on: the box's own context, per-monitor v2 where the system
// has it (1703 on), else per-monitor.
static std::wstring CheckWindowAwareness(HWND box)
{
    static bool said;
    auto windowContext =
        Find<GetWindowContextFunction>(L"user32.dll", "GetWindowDpiAwarenessContext");
    auto isValid = Find<ContextFunction>(L"user32.dll", "IsValidDpiAwarenessContext");
    auto equal = Find<ContextsEqualFunction>(L"user32.dll", "AreDpiAwarenessContextsEqual");
    if (windowContext == nullptr || isValid == nullptr || equal == nullptr) {
        SayOnce(said, L"this system reports no window's DPI awareness (Windows 10 1607 on "
                      L"does): the box's is not checked");
        return L"";
    }
    bool v2 = isValid(kPerMonitorAwareV2) != FALSE;
    if (!equal(windowContext(box), v2 ? kPerMonitorAwareV2 : kPerMonitorAware))
        return v2 ? L"the box is not per-monitor (v2) DPI aware"
                  : L"the box is not per-monitor DPI aware";
    return L"";
}

std::wstring CheckBoxLooks(DWORD processId, HWND box)
{
    std::wstring found;
    for (const std::wstring& failure : {CheckCommonControls(processId),
                                        CheckProcessAwareness(processId),
                                        CheckWindowAwareness(box)})
        if (!failure.empty())
            found += (found.empty() ? L"" : L"; ") + failure;
    return found;
}
