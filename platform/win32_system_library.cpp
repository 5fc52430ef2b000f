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

bool LoadSystemFunctions(const SystemFunctions& wanted, FoundFunctions& found)
{
    if (!found.tried) {
        found.tried = true;
        HMODULE module = LoadSystemLibrary(wanted.fileName);
        found.complete = module != nullptr;
        for (int i = 0; found.complete && i < wanted.count; ++i) {
            found.functions[i] = GetProcAddress(module, wanted.names[i]);
            found.complete = found.functions[i] != nullptr;
        }
    }
    return found.complete;
}
