#pragma once

#include <windows.h>

// Loads a DLL from the system folder by its full path, so that a file of the
// same name beside the launcher is never taken. nullptr when it cannot be.
HMODULE LoadSystemLibrary(const char* fileName);

// A function of a loaded module, as the type the caller expects; nullptr when
// the module is absent or lacks it.
template <typename Function>
Function FindFunction(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The same for one function of a DLL in the system folder.
template <typename Function>
Function FindSystemFunction(const char* fileName, const char* name)
{
    return FindFunction<Function>(LoadSystemLibrary(fileName), name);
}
