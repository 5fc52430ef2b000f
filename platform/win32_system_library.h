#pragma once

#include <windows.h>

// Loads a DLL from the system folder by its full path, so that a file of the
// same name beside the launcher is never taken. nullptr when it cannot be.
HMODULE LoadSystemLibrary(const char* fileName);

// A function of a DLL in the system folder, as the type the caller expects;
// nullptr when the DLL cannot be loaded or lacks it.
template <typename Function>
Function FindSystemFunction(const char* fileName, const char* name)
{
    HMODULE module = LoadSystemLibrary(fileName);
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
