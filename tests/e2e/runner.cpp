// Starts the launcher with the exact command line in ORVANE_E2E_COMMAND, waits
// for it and writes its full 32-bit exit code (Linux sees only 8 bits of it)
// and the microseconds from the start to its end. Exit code 0 when it did;
// 3 when the start failed, the result file then saying "start-failed", the
// Windows error and its meaning; 2 when it was called wrongly or cannot write
// its result file.
// The line is read and passed on in Unicode: the ANSI forms would best-fit
// characters such as U+FF02 into quotes before the launcher ever saw them.
// Usage: runner.exe <result file>
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    static wchar_t command[32768];
    if (GetEnvironmentVariableW(L"ORVANE_E2E_COMMAND", command, 32768) == 0)
        return 2;
    // The folder to start in (AutoPlay starts in the disc's root); none: ours.
    static wchar_t folder[MAX_PATH];
    bool inFolder = GetEnvironmentVariableW(L"ORVANE_E2E_FOLDER", folder, MAX_PATH) != 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    FILE* result = fopen(argv[1], "w");
    if (result == nullptr)
        return 2;
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                        inFolder ? folder : nullptr, &startup, &process)) {
        DWORD error = GetLastError();
        char meaning[512] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, meaning, sizeof meaning, nullptr);
        for (char* end = meaning; *end != '\0'; ++end)
            if (*end == '\r' || *end == '\n')
                *end = ' ';
        fprintf(result, "start-failed %lu %s\n", static_cast<unsigned long>(error), meaning);
        fclose(result);
        return 3;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&ended);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    long long micros = (ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart;
    fprintf(result, "0x%08lX %lld\n", static_cast<unsigned long>(code), micros);
    fclose(result);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
