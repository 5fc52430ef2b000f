// Shared by the stand-in programs of the end-to-end tests: one line a start,
// appended to the record file named by ORVANE_E2E_RECORD.
#pragma once

#include <windows.h>

#include <string.h>

static void AppendRecord(const char* kind, const char* text)
{
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("ORVANE_E2E_RECORD", path, sizeof path) == 0)
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, kind, static_cast<DWORD>(strlen(kind)), &written, nullptr);
    WriteFile(file, "\t", 1, &written, nullptr);
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    CloseHandle(file);
}
