#include "platform/win32_system_library.h"

static bool AlteredSearchPath;

void SearchSystemLibraryDependenciesBesideThem()
{
    AlteredSearchPath = true;
}

HMODULE LoadSystemLibrary(const char* fileName)
{
    char path[MAX_PATH + 1];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    UINT end = length;
    if (path[end - 1] != '\\')
        path[end++] = '\\';
    for (const char* p = fileName; *p != '\0'; ++p) {
        if (end >= MAX_PATH)
            return nullptr;
        path[end++] = *p;
    }
    path[end] = '\0';
    if (AlteredSearchPath)
        return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return LoadLibraryA(path);
}

// Every wanted function from `module`; false when it lacks one.
static bool FindAll(HMODULE module, const SystemFunctions& wanted, FoundFunctions& found)
{
    bool complete = module != nullptr;
    for (int i = 0; complete && i < wanted.count; ++i) {
        found.functions[i] = GetProcAddress(module, wanted.names[i]);
        complete = found.functions[i] != nullptr;
    }
    return complete;
}

#if defined(SYSTEM_FOLDER_ROUTES)
// A build for the tests only: the route of the systems whose loaded DLLs
// lack the functions, taken on any Windows.
static HMODULE FindLoaded(const char*)
{
    return nullptr;
}
#else
static HMODULE FindLoaded(const char* fileName)
{
    return fileName == nullptr ? nullptr : GetModuleHandleA(fileName);
}
#endif

bool LoadSystemFunctions(const SystemFunctions& wanted, FoundFunctions& found)
{
    if (!found.tried) {
        found.tried = true;
        found.complete = FindAll(FindLoaded(wanted.loadedFirst), wanted, found) ||
                         FindAll(LoadSystemLibrary(wanted.fileName), wanted, found);
    }
    return found.complete;
}
