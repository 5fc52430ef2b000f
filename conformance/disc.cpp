// The disc: laid out afresh for every scenario in a folder of the work folder
// (or on the empty drive given with --disc), every file then marked
// read-only. What is about to be laid out is recorded first, with the
// volume's serial number and each file's size and checksum; only what the
// record names, on that volume and unchanged since, is ever removed, and no
// link, junction or mount point is ever entered.
#include "conformance.h"

static const wchar_t kQuoteFolder[] = L"a\xFF02 -x \xFF02" L"b";
static const wchar_t kQuoteLauncher[] = L"Orvane\xFF02 -x \xFF02.exe";
static const wchar_t kOddFolder[] = L"Playlist Disc M\x00FCsik";
static const wchar_t kLauncherName[] = L"OrvaneCD.exe";
// Beside the stand-in installer (tests/e2e/fixture_installer.cpp reads it).
static const wchar_t kSettingsName[] = L"stand-in.txt";
static const wchar_t kRecordKind[] = L"orvane-conformance disc record 1";

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

// Calls `visit` with the path below `folder` and the find data of every entry
// (a folder after what it holds). A link, junction or mount point is visited
// itself and never entered.
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
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ForEachEntry(folder, below + name + L"\\", visit);
        visit(below + name, found);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// --- the plan ------------------------------------------------------------------

// One entry of a disc: a folder, or a file with its bytes (copied from a file
// of the bundle, or a text).
struct DiscEntry {
    std::wstring path;  // below the disc's root
    bool folder;
    std::string bytes;
};
using DiscPlan = std::vector<DiscEntry>;

class Planner {
public:
    DiscPlan plan;
    std::wstring why;

    void Folder(const std::wstring& path) { plan.push_back({path, true, {}}); }
    void Text(const std::wstring& path, const std::string& text)
    {
        plan.push_back({path, false, text});
    }
    void Copy(const std::wstring& from, const std::wstring& path)
    {
        std::string bytes;
        if (!ReadWholeFile(from, &bytes) && why.empty())
            why = L"cannot read " + from;
        plan.push_back({path, false, bytes});
    }
    // Every folder and file below `from`, in the same places on the disc:
    // the folders first, each before those it holds.
    void Tree(const std::wstring& from)
    {
        DiscPlan folders;
        ForEachEntry(from, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& found) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                folders.insert(folders.begin(), {path, true, {}});
            else
                Copy(from + path, path);
        });
        plan.insert(plan.begin(), folders.begin(), folders.end());
    }
};

static std::string CommonControlsManifest(const char* version)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
                       "manifestVersion=\"1.0\"><assemblyIdentity type=\"win32\" "
                       "name=\"Microsoft.Windows.Common-Controls\" version=\"") +
           version + "\" processorArchitecture=\"" + (machine.launcher64 ? "amd64" : "x86") +
           "\" publicKeyToken=\"6595b64144ccf1df\"/><file name=\"comctl32.dll\">"
           "<windowClass>Button</windowClass></file></assembly>";
}

// A private copy of the Common Controls beside the launcher, in both forms
// Windows looks for after its side-by-side store: NAME.manifest with the DLL
// beside it, and a folder NAME holding NAME.manifest and the DLL. The DLL is
// the planted one, which records its load; it claims the button class, which
// the box's buttons then come from.
static void PlantCommonControls(Planner& disc, const char* version)
{
    static const wchar_t kName[] = L"Microsoft.Windows.Common-Controls";
    std::wstring folder = std::wstring(kName) + L"\\";
    disc.Text(std::wstring(kName) + L".manifest", CommonControlsManifest(version));
    disc.Copy(machine.archFolder + L"e2e_planted.dll", L"comctl32.dll");
    disc.Folder(kName);
    disc.Text(folder + kName + L".manifest", CommonControlsManifest(version));
    disc.Copy(machine.archFolder + L"e2e_planted.dll", folder + L"comctl32.dll");
}

// An application configuration file beside the launcher that redirects its
// Common Controls 6.0.0.0 to 6.1.0.0, which only a private copy holds, and
// asks that the publisher's policy be left out (Windows XP lets such a file
// override it; later Windows only with an entry of their compatibility
// database).
static void PlantRedirectingConfig(Planner& disc)
{
    disc.Text(std::wstring(kLauncherName) + L".config",
              std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                          "<configuration><windows>"
                          "<assemblyBinding xmlns=\"urn:schemas-microsoft-com:asm.v1\">"
                          "<publisherPolicy apply=\"no\"/><dependentAssembly>"
                          "<assemblyIdentity type=\"win32\" "
                          "name=\"Microsoft.Windows.Common-Controls\" processorArchitecture=\"") +
                  (machine.launcher64 ? "amd64" : "x86") +
                  "\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
                  "<bindingRedirect oldVersion=\"6.0.0.0\" newVersion=\"6.1.0.0\"/>"
                  "</dependentAssembly></assemblyBinding></windows></configuration>");
}

// The disc of odd paths: the launcher in folders of 259 and 258 characters, of
// blanks and an umlaut, of best-fit quotes and of a double-byte character
// whose trail byte is '\\', and under a name of best-fit quotes.
static void PlanPaths(Planner& disc)
{
    for (const wchar_t* folder : {L"{long259}", L"{long258}", L"{odd}", L"{qfolder}"}) {
        disc.Folder(Expand(folder));
        disc.Copy(machine.launcher, Expand(folder) + L"\\" + kLauncherName);
    }
    std::wstring dbcs = Expand(L"{dbcs}");
    if (!dbcs.empty()) {
        disc.Folder(dbcs);
        disc.Copy(machine.launcher, dbcs + L"\\" + kLauncherName);
        disc.Folder(dbcs + L"\\Orvane Installer");
        disc.Copy(machine.bundle + L"e2e_installer_1_3.exe",
                  dbcs + L"\\Orvane Installer\\ervast_orvane.exe");
        disc.Copy(machine.launcher, dbcs + L".exe");
    }
    disc.Copy(machine.launcher, kQuoteLauncher);
}

static void PlanPlanted(Planner& disc, const std::wstring& kind)
{
    const std::wstring& arch = machine.archFolder;
    for (const wchar_t* dll : {L"version.dll", L"uxtheme.dll"})
        disc.Copy(arch + L"e2e_planted.dll", dll);
    disc.Copy(arch + L"e2e_control.exe", L"control.exe");
    if (kind == L"planted")
        return;
    disc.Copy(arch + L"e2e_launcher_without_manifest.exe", L"unmanifested.exe");
    disc.Copy(machine.bundle + L"planted.manifest", L"OrvaneCD.exe.manifest");
    disc.Copy(machine.bundle + L"planted.manifest", L"unmanifested.exe.manifest");
}

static DiscPlan PlanDisc(const std::wstring& kind, std::wstring* why)
{
    Planner disc;
    const std::wstring& bundle = machine.bundle;
    const std::wstring& arch = machine.archFolder;
    if (kind == L"kit") {
        disc.Tree(arch + L"kit\\");
        *why = disc.why;
        return disc.plan;
    }
    disc.Copy(machine.launcher, kLauncherName);
    disc.Folder(L"Orvane Installer");
    disc.Text(L"CDPlayList.p4u", "#playlist\r\n");
    bool planted = kind == L"planted" || kind == L"manifest";
    bool sxs = kind == L"sxs" || kind == L"sxs-unheld" || kind == L"sxs-config";
    std::wstring variant = planted || sxs || kind == L"bench" || kind == L"paths" ? L"1_3" : kind;
    disc.Copy(bundle + L"e2e_installer_" + variant + L".exe",
              L"Orvane Installer\\ervast_orvane.exe");
    if (kind == L"paths")
        PlanPaths(disc);
    if (kind == L"bench") {
        disc.Copy(bundle + L"launcher-nsis.exe", L"nsis.exe");
        disc.Copy(arch + L"start-only.exe", L"start-only.exe");
        disc.Copy(arch + L"e2e_launcher_earlier_manifest.exe", L"earlier-manifest.exe");
        disc.Copy(arch + L"e2e_launcher_system_folder_routes.exe", L"system-folder-routes.exe");
    }
    // The launcher asks for the Common Controls 6.0.0.0, which every store
    // holds; its control for 6.1.0.0, which none does.
    if (kind == L"sxs")
        PlantCommonControls(disc, "6.0.0.0");
    if (kind == L"sxs-config" || kind == L"sxs-unheld")
        PlantCommonControls(disc, "6.1.0.0");
    if (kind == L"sxs-config")
        PlantRedirectingConfig(disc);
    if (kind == L"sxs-unheld")
        disc.Copy(arch + L"e2e_launcher_unheld_controls.exe", L"unheld.exe");
    if (planted)
        PlanPlanted(disc, kind);
    *why = disc.why;
    return disc.plan;
}

// --- the record, and removing what it names ------------------------------------------

static std::wstring RecordPath()
{
    return machine.work + L"disc.record";
}

static DWORD64 Checksum(const std::string& bytes)
{
    DWORD64 hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

static std::wstring Number(DWORD64 value)
{
    wchar_t text[24];
    wsprintfW(text, L"%08X%08X", static_cast<DWORD>(value >> 32), static_cast<DWORD>(value));
    return text;
}

// The serial number of the volume that holds `path`; 0 when it cannot be told.
static DWORD VolumeSerial(const std::wstring& path)
{
    wchar_t volume[MAX_PATH];
    DWORD serial = 0;
    if (GetVolumePathNameW(path.c_str(), volume, MAX_PATH))
        GetVolumeInformationW(volume, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
    return serial;
}

static Lines LinesOf(const DiscPlan& plan)
{
    Lines lines = {L"volume\t" + Number(VolumeSerial(machine.disc)) + L"\t" + machine.disc};
    for (const DiscEntry& entry : plan) {
        if (entry.folder)
            lines.push_back(L"folder\t" + entry.path);
        else
            lines.push_back(L"file\t" + entry.path + L"\t" + std::to_wstring(entry.bytes.size()) +
                            L"\t" + Number(Checksum(entry.bytes)));
    }
    return lines;
}

// A file this run laid out, as it left it: its size and checksum.
static bool Unchanged(const std::wstring& path, const std::wstring& size,
                      const std::wstring& checksum)
{
    std::string bytes;
    return ReadWholeFile(path, &bytes) && std::to_wstring(bytes.size()) == size &&
           Number(Checksum(bytes)) == checksum;
}

// Removes one recorded entry: a file only as it was laid out, a folder only
// when empty, neither where a link or mount point now stands. False when it
// stays.
static bool RemoveEntry(const std::wstring& root, const std::vector<std::wstring>& entry)
{
    std::wstring path = root + entry[1];
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    bool folder = entry[0] == L"folder";
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        folder != ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
        return false;
    if (folder)
        return RemoveDirectoryW(path.c_str()) != FALSE;
    if (entry.size() != 4 || !Unchanged(path, entry[2], entry[3]))
        return false;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    // A virus scanner, or a program of the scenario still ending, may hold
    // the file for a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (DeleteFileW(path.c_str()))
            return true;
        Sleep(100);
    }
    return false;
}

bool ClearDisc(std::wstring* why)
{
    Changing changing;
    Lines lines;
    RecordState state = ReadRecord(RecordPath(), kRecordKind, &lines);
    if (state == RecordState::None)
        return true;
    std::vector<std::wstring> volume = lines.empty() ? std::vector<std::wstring>()
                                                     : Fields(lines.front());
    if (state == RecordState::Unreadable || volume.size() != 3 || volume[0] != L"volume") {
        *why = L"the record " + RecordPath() + L" of the disc an earlier run laid out cannot be "
               L"read; nothing was removed";
        return false;
    }
    const std::wstring& root = volume[2];
    if (Number(VolumeSerial(root)) != volume[1]) {
        *why = L"the disc an earlier run laid out was on the volume " + volume[1] + L" in " +
               root + L", which is not there now; nothing was removed: put that volume back, "
               L"or remove " + RecordPath();
        return false;
    }
    std::wstring left;
    for (size_t i = lines.size(); i-- > 1;) {
        std::vector<std::wstring> entry = Fields(lines[i]);
        if (entry.size() < 2 || !RemoveEntry(root, entry))
            left += (left.empty() ? L"" : L", ") + root + (entry.size() > 1 ? entry[1] : L"?");
    }
    DropRecord(RecordPath());
    if (!left.empty())
        *why = left + L" on the disc is not as this program laid it out (or holds what it did "
                      L"not put there): it is left as it is";
    return left.empty();
}

// --- the place, a disc a scenario ---------------------------------------------------

// What Windows keeps on any volume of its own.
static bool IsSystemFolder(const std::wstring& name, const WIN32_FIND_DATAW& found)
{
    DWORD both = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (found.dwFileAttributes & both) == both &&
           (lstrcmpiW(name.c_str(), L"System Volume Information") == 0 ||
            lstrcmpiW(name.c_str(), L"$RECYCLE.BIN") == 0);
}

static bool IsEmpty(const std::wstring& folder)
{
    bool any = false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    do {
        std::wstring name = found.cFileName;
        any = any || (name != L"." && name != L".." && !IsSystemFolder(name, found));
    } while (!any && FindNextFileW(search, &found));
    FindClose(search);
    return !any;
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
    if (!IsEmpty(machine.disc)) {
        *why = machine.disc + L" is not empty: " +
               (machine.givenDrive ? L"give an empty drive (nothing on it was changed)"
                                   : L"it holds what this program did not lay out there");
        return false;
    }
    return true;
}

// The stand-in installer's settings, in a file beside it: an installer the
// launcher elevates gets no environment of the program's (ShellExecuteEx
// passes none), and reads them there.
static void AddInstallerSettings(DiscPlan& plan, const std::wstring& settings)
{
    static const wchar_t kInstaller[] = L"Orvane Installer\\ervast_orvane.exe";
    const size_t length = wcslen(kInstaller);
    if (settings.empty())
        return;
    std::string bytes(reinterpret_cast<const char*>(settings.data()),
                      settings.size() * sizeof(wchar_t));
    DiscPlan added;
    for (const DiscEntry& entry : plan) {
        if (entry.path.size() >= length &&
            entry.path.compare(entry.path.size() - length, length, kInstaller) == 0)
            added.push_back({entry.path.substr(0, entry.path.rfind(L'\\') + 1) + kSettingsName,
                             false, bytes});
    }
    plan.insert(plan.end(), added.begin(), added.end());
}

bool LayOutDisc(const Scenario& scenario, const std::wstring& installerSettings,
                std::wstring* why)
{
    DiscPlan plan = PlanDisc(scenario.disc, why);
    if (!why->empty())
        return false;
    AddInstallerSettings(plan, installerSettings);
    Changing changing;
    if (!WriteRecord(RecordPath(), kRecordKind, LinesOf(plan))) {
        *why = L"cannot write the record " + RecordPath();
        return false;
    }
    for (const DiscEntry& entry : plan) {
        std::wstring path = machine.disc + entry.path;
        DWORD written = 0;
        HANDLE file = entry.folder ? INVALID_HANDLE_VALUE
                                   : CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        bool made = entry.folder ? CreateDirectoryW(path.c_str(), nullptr) != FALSE
                                 : file != INVALID_HANDLE_VALUE &&
                                       WriteFile(file, entry.bytes.data(),
                                                 static_cast<DWORD>(entry.bytes.size()), &written,
                                                 nullptr) &&
                                       written == entry.bytes.size();
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!made) {
            *why = L"cannot lay out " + path + L" (error " + std::to_wstring(GetLastError()) +
                   L")";
            return false;
        }
        if (!entry.folder)
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    return true;
}

std::wstring SnapshotDisc()
{
    std::wstring listing;
    ForEachEntry(machine.disc, L"", [&](const std::wstring& path, const WIN32_FIND_DATAW& f) {
        if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            listing += path + L" " + std::to_wstring(f.nFileSizeLow) + L" " +
                       std::to_wstring(f.ftLastWriteTime.dwLowDateTime) + L" " +
                       std::to_wstring(f.dwFileAttributes) + L"\n";
    });
    return listing;
}
