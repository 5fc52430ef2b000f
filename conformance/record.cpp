// The records of what a run makes: files of the work folder, written whole and
// flushed before what they describe is made, so that a run that does not end
// is known by the next, and dropped once that is gone. One line an entry,
// fields separated by tabs, in UTF-8, under a heading that names the kind.
#include "conformance.h"

bool ReadWholeFile(const std::wstring& path, std::string* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    DWORD read = 0;
    bool whole = GetFileSizeEx(file, &size) && size.QuadPart < 0x10000000;
    if (whole) {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        whole = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read,
                         nullptr) &&
                read == bytes->size();
    }
    CloseHandle(file);
    return whole;
}

static bool WriteAndFlush(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr) &&
                written == bytes.size() && FlushFileBuffers(file);
    CloseHandle(file);
    return done;
}

bool WriteRecord(const std::wstring& path, const wchar_t* kind, const Lines& lines)
{
    std::wstring text = std::wstring(kind) + L"\n";
    for (const std::wstring& line : lines)
        text += line + L"\n";
    // Under another name first: a record cut short by a power cut is never
    // taken for a whole one.
    std::wstring fresh = path + L".new";
    if (WriteAndFlush(fresh, Narrow(text, CP_UTF8)) &&
        MoveFileExW(fresh.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(fresh.c_str());
    return false;
}

RecordState ReadRecord(const std::wstring& path, const wchar_t* kind, Lines* lines)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return RecordState::None;
    std::string bytes;
    if (!ReadWholeFile(path, &bytes))
        return RecordState::Unreadable;
    std::wstring text = Widen(bytes, CP_UTF8);
    lines->clear();
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos)
            return RecordState::Unreadable;  // every line ends: one that does not was cut
        lines->push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines->empty() || lines->front() != kind)
        return RecordState::Unreadable;
    lines->erase(lines->begin());
    return RecordState::Read;
}

bool RecordsLeft()
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((machine.work + L"*.record").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

bool DropRecord(const std::wstring& path)
{
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::vector<std::wstring> Fields(const std::wstring& line)
{
    std::vector<std::wstring> fields;
    for (size_t at = 0;;) {
        size_t end = line.find(L'\t', at);
        fields.push_back(line.substr(at, end == std::wstring::npos ? end : end - at));
        if (end == std::wstring::npos)
            return fields;
        at = end + 1;
    }
}

std::wstring HexOf(const std::vector<BYTE>& bytes)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    for (BYTE byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

bool BytesOf(const std::wstring& hex, std::vector<BYTE>* bytes)
{
    auto digit = [](wchar_t c) {
        return c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
    };
    if (hex.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}
