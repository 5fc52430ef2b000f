// The conformance program: the launcher's end-to-end scenarios run on the
// Win32 it finds (Windows or Wine), entirely through wide Win32 calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Where a registration is written: the current user, or the machine in the
// launcher's own view or in a given one.
enum class Root { User, Machine, Machine32, Machine64 };

constexpr int kAbsent = -1;

struct Registration {
    Root root;
    const wchar_t* appDir;  // nullptr: no AppDir
    int version;            // kAbsent: no PlayerVersion
    int autorun;            // kAbsent: no AutorunPlayListCDs
};

// One scenario. Texts may hold {disc} (the disc's root, ending in '\'),
// {player}, {new} and {p32} (the installed players' folders), {long259},
// {long258}, {odd}, {qfolder}, {qlauncher} and {dbcs} (the odd names on the
// disc; {dbcs} holds a double-byte character whose trail byte is '\').
struct Scenario {
    const wchar_t* name;
    const wchar_t* disc = L"1_3";  // installer variant, or paths, planted, manifest, kit, bench
    std::vector<Registration> registry = {};
    const wchar_t* program = L"OrvaneCD.exe";  // started from the disc's root
    const wchar_t* tail = nullptr;
    bool quoted = false;                    // the program's path in quotes
    std::vector<const wchar_t*> prompts = {};  // texts of the boxes, in order
    const char* answers = "";               // y or n, a box
    const wchar_t* installer = L"";         // what the stand-in installer does
    bool asksElevation = false;             // the installer asks for administrator rights
    const wchar_t* personPresses = nullptr; // Yes or No on Windows' elevation prompt
    bool noDisplay = false;                 // needs a machine without a display
    bool plantedOrder = false;              // DLLs searched beside the program first
    bool launcher32Only = false;            // needs a PE32 launcher on 64-bit Windows
    bool codePage = false;                  // the outcome depends on the ANSI code page
    // Where the code page turns U+FF02 into '"' (best fit): ends with
    // LauncherPathFailed, nothing started, instead of the outcome below.
    bool bestFitQuote = false;
    // The installer's version depends on the user's language ("languages":
    // 1.3 in English (United States), 2.5 in Japanese): where it is Japanese,
    // these boxes appear instead of `prompts`; elsewhere but in English (United
    // States) the scenario cannot tell and is skipped.
    std::vector<const wchar_t*> japanesePrompts = {};
    DWORD exitCode;
    std::vector<const wchar_t*> started = {};  // record lines: kind, tab, command line
};

extern const std::vector<Scenario> kScenarios;
extern const wchar_t kCaption[];

// What the program was told and what it found.
struct Machine {
    std::wstring bundle;      // the program's folder, ending in '\'
    std::wstring archFolder;  // bundle or bundle\x64\: fixtures of the launcher's machine
    std::wstring launcher;
    std::wstring work;        // this program's own folder, ending in '\'
    std::wstring disc;        // the disc's root (a folder, or the drive given), ending in '\'
    std::wstring runId;       // the marker's data in every key this run writes
    bool givenDrive = false;
    bool noDisplay = false;
    bool interactive = false;
    bool underWine = false;
    bool launcher64 = false;
    bool windows64 = false;
    bool uac = true;          // Vista on: elevation, virtualization, the elevation prompt
    bool elevated = false;    // or, without UAC, an administrator
    bool mayWriteMachine = false;
};

extern Machine machine;

// Text helpers.
std::wstring Expand(const wchar_t* text);
std::wstring Widen(const std::string& text, UINT codePage);
std::string Narrow(const std::wstring& text, UINT codePage);
void Say(const std::wstring& line);
// WaitForSingleObject (a null handle: a pause) that meanwhile handles this
// thread's window messages, the end of the session among them.
DWORD WaitHearing(HANDLE handle, DWORD millis);

// The records of what a run makes (record.cpp): written whole and flushed
// before it is made, read by the next run should this one not end, dropped
// once it is gone. One line an entry, fields separated by tabs.
using Lines = std::vector<std::wstring>;
// A whole file, below 256 MiB.
bool ReadWholeFile(const std::wstring& path, std::string* bytes);
enum class RecordState { None, Read, Unreadable };
bool WriteRecord(const std::wstring& path, const wchar_t* kind, const Lines& lines);
RecordState ReadRecord(const std::wstring& path, const wchar_t* kind, Lines* lines);
bool DropRecord(const std::wstring& path);
// Whether a run that did not end left records in the work folder.
bool RecordsLeft();
std::vector<std::wstring> Fields(const std::wstring& line);
std::wstring HexOf(const std::vector<BYTE>& bytes);
bool BytesOf(const std::wstring& hex, std::vector<BYTE>* bytes);

// Changes to the registry and the disc, one at a time: the main thread's, the
// Ctrl+C handler's and the end of a session's. StopChanges blocks them for
// good, for whoever then removes what the run made and ends the process.
class Changing {
public:
    Changing();
    ~Changing();
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;
};
void StopChanges();

// The disc: laid out by record, removed by record.
bool PrepareDiscPlace(std::wstring* why);
// `installerSettings` goes beside each stand-in installer on the disc.
bool LayOutDisc(const Scenario& scenario, const std::wstring& installerSettings,
                std::wstring* why);
bool ClearDisc(std::wstring* why);
std::wstring SnapshotDisc();

// The registry. Why the run may not start for the player's key (registered, or
// this program's leftover without its record), empty
// when the key is nowhere; the vendor key made for the run where it is absent; a
// scenario's keys, recorded and then written; every key a run recorded
// removed where it holds what was recorded, the run's vendor keys too with
// `wholeRun` (false, saying why, when one does not, or may not be removed).
std::wstring FindPlayerRegistration();
bool PrepareRegistry(std::wstring* why);
bool WriteScenarioRegistry(const Scenario& scenario, std::wstring* why);
bool ClearRegistry(bool wholeRun, std::wstring* why);
std::vector<std::wstring> SnapshotRegistry();

// How the launcher's box is drawn, read while it is shown: an empty text when
// as the manifest asks (or where the system cannot tell), else what differs.
std::wstring CheckBoxLooks(DWORD processId, HWND box);

// Whether the user's interface language is Japanese, which picks the
// version resource of that language where a file has one.
bool UserLanguageIsJapanese();

// One scenario: an empty text when it passed, else what differed.
std::wstring RunScenario(const Scenario& scenario);

// --bench N; the program's exit code.
int RunBench(int runs);
