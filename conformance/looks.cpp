// How Windows draws the launcher's box, read while it is shown: the system's
// own buttons (the Common Controls 6 from the side-by-side store, as the
// manifest asks) and the DPI awareness the manifest declares: per monitor v2
// from Windows 10 1703 on (the system scales the box to each monitor), system
// awareness before (a per-monitor v1 program must handle WM_DPICHANGED itself,
// and the launcher has no window procedure for its boxes). Where the system
// cannot tell, the program says why once and goes on.
#include "conformance.h"

#include <tlhelp32.h>

// Windows 8.1 on (shcore.dll); Windows 10 1607 on (user32.dll).
using GetProcessDpiAwarenessFunction = HRESULT(WINAPI*)(HANDLE, int*);
using GetWindowContextFunction = HANDLE(WINAPI*)(HWND);
using ContextsEqualFunction = BOOL(WINAPI*)(HANDLE, HANDLE);

static constexpr int kProcessSystemDpiAware = 1;
static constexpr int kProcessPerMonitorDpiAware = 2;
static const HANDLE kSystemAware = reinterpret_cast<HANDLE>(-2);
static const HANDLE kPerMonitorAware = reinterpret_cast<HANDLE>(-3);
static const HANDLE kPerMonitorAwareV2 = reinterpret_cast<HANDLE>(-4);  // 1703 on

// Whether this Windows knows per-monitor awareness v2 (1703 on), which the
// manifest names first.
static bool KnowsPerMonitorV2()
{
    using ContextFunction = BOOL(WINAPI*)(HANDLE);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto isValid = reinterpret_cast<ContextFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32, "IsValidDpiAwarenessContext")));
    return isValid != nullptr && isValid(kPerMonitorAwareV2) != FALSE;
}

// A function of a DLL of the system folder, loaded by its full path: a DLL
// of that name beside this program (shcore.dll, which Windows before 8.1
// lacks) is never taken.
template <typename Function>
static Function Find(const wchar_t* dll, const char* name)
{
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    HMODULE module = LoadLibraryW((std::wstring(folder) + L"\\" + dll).c_str());
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
    // A null handle would ask about this program itself.
    if (process == nullptr)
        return L"the launcher cannot be opened to read its DPI awareness (error " +
               std::to_wstring(GetLastError()) + L")";
    int awareness = -1;
    HRESULT told = processAwareness(process, &awareness);
    CloseHandle(process);
    if (FAILED(told))
        return L"the launcher's DPI awareness cannot be read";
    int expected = KnowsPerMonitorV2() ? kProcessPerMonitorDpiAware : kProcessSystemDpiAware;
    if (awareness != expected)
        return L"the launcher's DPI awareness is " + std::to_wstring(awareness) + L", not " +
               std::to_wstring(expected) + L" as its manifest declares";
    return L"";
}

// Whether this system reports a per-monitor v2 window as v2: a window of this
// program's own, made while its thread runs in the v2 context, takes that
// context (Windows 10 1703 on). Wine 10 keeps a window's awareness but not
// its version and reports such a window as per-monitor v1, so there a box's v1
// says nothing about the launcher.
static bool ReportsV2Windows(GetWindowContextFunction windowContext, ContextsEqualFunction equal)
{
    using SetThreadContextFunction = HANDLE(WINAPI*)(HANDLE);
    auto setThread =
        Find<SetThreadContextFunction>(L"user32.dll", "SetThreadDpiAwarenessContext");
    HANDLE before = setThread != nullptr ? setThread(kPerMonitorAwareV2) : nullptr;
    if (before == nullptr)
        return false;
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  nullptr, nullptr);
    bool reported = window != nullptr && equal(windowContext(window), kPerMonitorAwareV2);
    if (window != nullptr)
        DestroyWindow(window);
    setThread(before);
    return reported;
}

// Windows 10 1607 on: the box's own context, per-monitor v2 where the system
// has it (1703 on), else system-aware.
static std::wstring CheckWindowAwareness(HWND box)
{
    static bool said;
    auto windowContext =
        Find<GetWindowContextFunction>(L"user32.dll", "GetWindowDpiAwarenessContext");
    auto equal = Find<ContextsEqualFunction>(L"user32.dll", "AreDpiAwarenessContextsEqual");
    if (windowContext == nullptr || equal == nullptr) {
        SayOnce(said, L"this system reports no window's DPI awareness (Windows 10 1607 on "
                      L"does): the box's is not checked");
        return L"";
    }
    bool v2 = KnowsPerMonitorV2();
    static const bool reportsV2 = !v2 || ReportsV2Windows(windowContext, equal);
    if (!reportsV2) {
        SayOnce(said, L"this system reports a per-monitor v2 window of this program's own as "
                      L"another context: the box's DPI awareness is not checked");
        return L"";
    }
    // Wine 8 takes the manifest's PerMonitorV2 but has no v2 context: it
    // reports per-monitor awareness.
    HANDLE expected = v2 ? kPerMonitorAwareV2 : machine.underWine ? kPerMonitorAware : kSystemAware;
    HANDLE context = windowContext(box);
    if (equal(context, expected))
        return L"";
    using AwarenessFunction = int(WINAPI*)(HANDLE);
    auto awareness =
        Find<AwarenessFunction>(L"user32.dll", "GetAwarenessFromDpiAwarenessContext");
    std::wstring found = awareness != nullptr ? std::to_wstring(awareness(context)) : L"?";
    return std::wstring(L"the box's DPI awareness is ") + found + L", not " +
           (v2 ? L"per-monitor (v2)" : machine.underWine ? L"per-monitor" : L"system-wide") +
           L" as the manifest declares";
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
