// Shared by the stand-in programs of the end-to-end tests: one line a start,
// appended to the record file named by ORVANE_E2E_RECORD (or, for the stand-in
// installer, by its settings file).
#pragma once

#include <windows.h>

#include <string.h>

static wchar_t RecordPath[MAX_PATH];

// Whether the record's path is known: set already, or in the environment.
static bool KnowRecordPath()
{
    return RecordPath[0] != L'\0' ||
           GetEnvironmentVariableW(L"ORVANE_E2E_RECORD", RecordPath, MAX_PATH) != 0;
}

static void AppendRecord(const char* kind, const char* text)
{
    if (!KnowRecordPath())
        return;
    HANDLE file = CreateFileW(RecordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, kind, static_cast<DWORD>(strlen(kind)), &written, nullptr);
    WriteFile(file, "\t", 1, &written, nullptr);
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    CloseHandle(file);
}
