#pragma once

#include <windows.h>

// Loads a DLL from the system folder by its full path, so that a file of the
// same name beside the launcher is never taken. nullptr when it cannot be.
HMODULE LoadSystemLibrary(const char* fileName);

// From now on the DLLs that LoadSystemLibrary loads have their own
// dependencies looked for in the system folder before the launcher's
// (LOAD_WITH_ALTERED_SEARCH_PATH): for systems whose default DLL directories
// cannot be set.
void SearchSystemLibraryDependenciesBesideThem();

// A function of a loaded module, as the type the caller expects; nullptr when
// the module is absent or lacks it.
template <typename Function>
Function FindFunction(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Functions that a wrapper file needs together, by name, and what was found
// of them: looked up once, on first use, all of them or none, and all from one
// DLL. Where `loadedFirst` names a DLL already in the process that has them
// all, they come from there (it is never loaded: a load by name could search
// the launcher's folder); otherwise from `fileName` in the system folder.
struct SystemFunctions {
    const char* loadedFirst;  // nullptr: none
    const char* fileName;
    const char* const* names;
    int count;  // at most kMostSystemFunctions
};

constexpr int kMostSystemFunctions = 6;

struct FoundFunctions {
    bool tried;
    bool complete;
    FARPROC functions[kMostSystemFunctions];  // in the order of the names
};

// True when every function was found.
bool LoadSystemFunctions(const SystemFunctions& wanted, FoundFunctions& found);

// One found function, as the type the caller expects.
template <typename Function>
Function AsFunction(FARPROC found)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// The same for one function of a DLL in the system folder.
template <typename Function>
Function FindSystemFunction(const char* fileName, const char* name)
{
    return FindFunction<Function>(LoadSystemLibrary(fileName), name);
}

// Lets the elevation prompt come up in front (USER32): hands this process's
// right to set the foreground on and returns the foreground window, to be
// named as the prompt's parent; nullptr without USER32.
HWND HandOnForeground();
