// The disc: laid out afresh for every scenario in a folder of the work folder
// (or on the drive given with --disc), every file then marked read-only.
#include "conformance.h"

static const wchar_t kQuoteFolder[] = L"a\xFF02 -x \xFF02" L"b";
static const wchar_t kQuoteLauncher[] = L"Orvane\xFF02 -x \xFF02.exe";
static const wchar_t kOddFolder[] = L"Playlist Disc M\x00FCsik";
static const wchar_t kLauncherName[] = L"OrvaneCD.exe";

// A folder name that makes the launcher's path, root included, `length` long.
static std::wstring LongName(size_t length)
{
    size_t rest = machine.disc.size() + 1 + wcslen(kLauncherName);
    return length > rest ? std::wstring(length - rest, L'L') : std::wstring();
}

// A name holding a double-byte character of the ANSI code page whose trail
// byte is '\\'; empty where the code page has none.
static std::wstring DoubleByteName()
{
    CPINFO info;
    if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize != 2)
        return L"";
    for (int range = 0; range < MAX_LEADBYTES && info.LeadByte[range] != 0; range += 2) {
        for (int lead = info.LeadByte[range]; lead <= info.LeadByte[range + 1]; ++lead) {
            char bytes[2] = {static_cast<char>(lead), '\\'};
            wchar_t wide[2];
            if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, 2, wide, 2) == 1)
                return std::wstring(1, wide[0]) + L"Disc";
        }
    }
    return L"";
}

std::wstring Expand(const wchar_t* text)
{
    std::wstring player = machine.work + L"Orvane Player";
    const std::pair<const wchar_t*, std::wstring> tokens[] = {
        {L"{disc}", machine.disc},    {L"{player}", player},
        {L"{new}", player + L" New"},     {L"{p32}", machine.work + L"Orvane 32"},
        {L"{long259}", LongName(259)},    {L"{long258}", LongName(258)},
        {L"{odd}", kOddFolder},           {L"{qfolder}", kQuoteFolder},
        {L"{qlauncher}", kQuoteLauncher}, {L"{dbcs}", DoubleByteName()},
    };
    std::wstring result = text;
    for (const auto& [token, value] : tokens) {
        for (size_t at = result.find(token); at != std::wstring::npos;
             at = result.find(token, at + value.size()))
            result.replace(at, wcslen(token), value);
    }
    return result;
}

// Calls `visit` with the path below `folder` and the find data of every file,
// and of every folder after what it holds.
template <typename Visit>
static void ForEachEntry(const std::wstring& folder, const std::wstring& below, Visit visit)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + below + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ForEachEntry(folder, below + name + L"\\", visit);
        visit(below + name, found);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The same for files only.
template <typename Visit>
static void ForEachFile(const std::wstring& folder, Visit visit)
{
    ForEachEntry(folder, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            visit(path, found);
    });
}

// Removes everything below `folder` (ending in '\\'), read-only files too.
static void EmptyFolder(const std::wstring& folder)
{
    ForEachEntry(folder, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& found) {
        std::wstring full = folder + path;
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveDirectoryW(full.c_str());
        else
            DeleteFileW(full.c_str());
    });
}

static bool Copy(const std::wstring& from, const std::wstring& to, std::wstring* why)
{
    // A virus scanner, or a program of the last scenario still ending, may
    // hold the file for a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (CopyFileW(from.c_str(), (machine.disc + to).c_str(), FALSE))
            return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION && GetLastError() != ERROR_ACCESS_DENIED)
            break;
        Sleep(100);
    }
    *why = L"cannot copy " + from + L" to the disc (error " + std::to_wstring(GetLastError()) +
           L")";
    return false;
}

static bool MakeFolder(const std::wstring& name, std::wstring* why)
{
    if (CreateDirectoryW((machine.disc + name).c_str(), nullptr))
        return true;
    *why = L"cannot make the folder " + name + L" on the disc";
    return false;
}

static bool CopyTree(const std::wstring& from, std::wstring* why)
{
    bool ok = true;
    ForEachFile(from, [&](const std::wstring& path, const WIN32_FIND_DATAW&) {
        for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
            CreateDirectoryW((machine.disc + path.substr(0, at)).c_str(), nullptr);
        ok = ok && Copy(from + path, path, why);
    });
    return ok;
}

static bool WriteText(const std::wstring& name, const std::string& text, std::wstring* why)
{
    HANDLE file = CreateFileW((machine.disc + name).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool done = file != INVALID_HANDLE_VALUE &&
                WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                written == text.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!done)
        *why = L"cannot write " + name + L" on the disc";
    return done;
}

// A private copy of the Common Controls beside the launcher, in both forms
// Windows looks for after its side-by-side store: NAME.manifest with the DLL
// beside it, and a folder NAME holding NAME.manifest and the DLL. The DLL is
// the planted one, which records its load; it claims the button class, which
// the box's buttons then come from.
static bool PlantCommonControls(const char* version, std::wstring* why)
{
    static const wchar_t kName[] = L"Microsoft.Windows.Common-Controls";
    std::string manifest =
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
                    "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
                    "version=\"") +
        version +
        "\" processorArchitecture=\"" + (machine.launcher64 ? "amd64" : "x86") +
        "\" publicKeyToken=\"6595b64144ccf1df\"/><file name=\"comctl32.dll\">"
        "<windowClass>Button</windowClass></file></assembly>";
    std::wstring folder = std::wstring(kName) + L"\\";
    return WriteText(std::wstring(kName) + L".manifest", manifest, why) &&
           Copy(machine.archFolder + L"e2e_planted.dll", L"comctl32.dll", why) &&
           MakeFolder(kName, why) &&
           WriteText(folder + kName + L".manifest", manifest, why) &&
           Copy(machine.archFolder + L"e2e_planted.dll", folder + L"comctl32.dll", why);
}

// An application configuration file beside the launcher that redirects its
// Common Controls 6.0.0.0 to 6.1.0.0, which only a private copy holds, and
// asks that the publisher's policy be left out (Windows XP lets such a file
// override it; later Windows only with an entry of their compatibility
// database).
static bool PlantRedirectingConfig(std::wstring* why)
{
    std::string config =
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                    "<configuration><windows>"
                    "<assemblyBinding xmlns=\"urn:schemas-microsoft-com:asm.v1\">"
                    "<publisherPolicy apply=\"no\"/><dependentAssembly>"
                    "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
                    "processorArchitecture=\"") +
        (machine.launcher64 ? "amd64" : "x86") +
        "\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
        "<bindingRedirect oldVersion=\"6.0.0.0\" newVersion=\"6.1.0.0\"/>"
        "</dependentAssembly></assemblyBinding></windows></configuration>";
    return WriteText(std::wstring(kLauncherName) + L".config", config, why);
}

static bool LayOutFiles(const std::wstring& disc, std::wstring* why)
{
    const std::wstring& bundle = machine.bundle;
    const std::wstring& arch = machine.archFolder;
    if (disc == L"kit")
        return CopyTree(arch + L"kit\\", why);
    if (!Copy(machine.launcher, kLauncherName, why) || !MakeFolder(L"Orvane Installer", why))
        return false;
    HANDLE playlist = CreateFileW((machine.disc + L"CDPlayList.p4u").c_str(), GENERIC_WRITE,
                                  0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(playlist, "#playlist\r\n", 11, &written, nullptr);
    CloseHandle(playlist);
    if (disc == L"paths") {
        for (const wchar_t* folder : {L"{long259}", L"{long258}", L"{odd}", L"{qfolder}"}) {
            std::wstring name = Expand(folder);
            if (!MakeFolder(name, why) || !Copy(machine.launcher, name + L"\\" + kLauncherName, why))
                return false;
        }
        std::wstring dbcs = Expand(L"{dbcs}");
        if (!dbcs.empty() &&
            (!MakeFolder(dbcs, why) || !Copy(machine.launcher, dbcs + L"\\" + kLauncherName, why) ||
             !MakeFolder(dbcs + L"\\Orvane Installer", why) ||
             !Copy(bundle + L"e2e_installer_1_3.exe",
                   dbcs + L"\\Orvane Installer\\ervast_orvane.exe", why) ||
             !Copy(machine.launcher, dbcs + L".exe", why)))
            return false;
        return Copy(machine.launcher, kQuoteLauncher, why);
    }
    bool planted = disc == L"planted" || disc == L"manifest";
    bool sxs = disc == L"sxs" || disc == L"sxs-unheld" || disc == L"sxs-config";
    std::wstring variant = planted || sxs || disc == L"bench" ? L"1_3" : disc;
    if (!Copy(bundle + L"e2e_installer_" + variant + L".exe",
              L"Orvane Installer\\ervast_orvane.exe", why))
        return false;
    if (disc == L"bench")
        return Copy(bundle + L"launcher-nsis.exe", L"nsis.exe", why) &&
               Copy(arch + L"start-only.exe", L"start-only.exe", why) &&
               Copy(arch + L"e2e_launcher_earlier_manifest.exe", L"earlier-manifest.exe", why) &&
               Copy(arch + L"e2e_launcher_system_folder_routes.exe", L"system-folder-routes.exe",
                    why);
    // The launcher asks for the Common Controls 6.0.0.0, which every store
    // holds; its control for 6.1.0.0, which none does.
    if (disc == L"sxs")
        return PlantCommonControls("6.0.0.0", why);
    if (disc == L"sxs-config")
        return PlantCommonControls("6.1.0.0", why) && PlantRedirectingConfig(why);
    if (disc == L"sxs-unheld")
        return PlantCommonControls("6.1.0.0", why) &&
               Copy(machine.archFolder + L"e2e_launcher_unheld_controls.exe", L"unheld.exe", why);
    if (!planted)
        return true;
    for (const wchar_t* dll : {L"version.dll", L"uxtheme.dll"}) {
        if (!Copy(arch + L"e2e_planted.dll", dll, why))
            return false;
    }
    if (!Copy(arch + L"e2e_control.exe", L"control.exe", why) || disc == L"planted")
        return true;
    return Copy(arch + L"e2e_launcher_without_manifest.exe", L"unmanifested.exe", why) &&
           Copy(bundle + L"planted.manifest", L"OrvaneCD.exe.manifest", why) &&
           Copy(bundle + L"planted.manifest", L"unmanifested.exe.manifest", why);
}

// A drive given with --disc is emptied for every scenario: only an empty one
// is taken, or one that holds this program's mark, left by a run that did not
// end. A drive holding anything else is never touched.
static const wchar_t kDiscMark[] = L"orvane-conformance-disc.txt";
static bool Prepared;

static bool MarkDisc(std::wstring* why)
{
    return WriteText(kDiscMark, "Laid out by conformance.exe, which empties this drive when it ends.\r\n",
                     why);
}

static bool IsEmptyOrMarked()
{
    bool any = false;
    ForEachEntry(machine.disc, L"", [&](const std::wstring&, const WIN32_FIND_DATAW&) {
        any = true;
    });
    return !any || GetFileAttributesW((machine.disc + kDiscMark).c_str()) !=
                       INVALID_FILE_ATTRIBUTES;
}

bool PrepareDiscPlace(std::wstring* why)
{
    if (!machine.givenDrive) {
        machine.disc = machine.work + L"disc\\";
        CreateDirectoryW(machine.disc.c_str(), nullptr);
    }
    if (GetFileAttributesW(machine.disc.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *why = L"no disc folder " + machine.disc;
        return false;
    }
    if (machine.givenDrive && !IsEmptyOrMarked()) {
        *why = machine.disc + L" holds files of its own: give an empty drive";
        return false;
    }
    Prepared = MarkDisc(why);
    return Prepared;
}

bool LayOutDisc(const Scenario& scenario, std::wstring* why)
{
    EmptyFolder(machine.disc);
    if (!MarkDisc(why) || !LayOutFiles(scenario.disc, why))
        return false;
    ForEachFile(machine.disc, [](const std::wstring& path, const WIN32_FIND_DATAW&) {
        SetFileAttributesW((machine.disc + path).c_str(), FILE_ATTRIBUTE_READONLY);
    });
    return true;
}

std::wstring SnapshotDisc()
{
    std::wstring listing;
    ForEachFile(machine.disc, [&](const std::wstring& path, const WIN32_FIND_DATAW& f) {
        listing += path + L" " + std::to_wstring(f.nFileSizeLow) + L" " +
                   std::to_wstring(f.ftLastWriteTime.dwLowDateTime) + L" " +
                   std::to_wstring(f.dwFileAttributes) + L"\n";
    });
    return listing;
}

void ReleaseDiscPlace()
{
    if (Prepared)
        EmptyFolder(machine.disc);
}
