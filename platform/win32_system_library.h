#pragma once

#include <windows.h>

// Loads a DLL from the system folder by its full path, so that a file of the
// same name beside the launcher is never taken. nullptr when it cannot be.
HMODULE LoadSystemLibrary(const char* fileName);
