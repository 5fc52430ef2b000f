// Whether a scenario can run on this machine, and if not, why: plain logic
// over what the scenario needs and what the machine offers, so that the host
// tests can try every combination.
#pragma once

struct Needs {
    bool machineKey = false;        // writes HKEY_LOCAL_MACHINE
    bool noDisplay = false;         // needs a session without a display
    bool prompts = false;           // shows a box
    bool launcher32 = false;        // a PE32 launcher on 64-bit Windows
    bool elevationAnswered = false; // the installer's rights granted without a prompt
    bool person = false;            // a person answers Windows' elevation prompt
    bool doubleByte = false;        // a double-byte name ending in the separator's byte
    bool namesFit = true;           // its names can be written in the ANSI code page
    bool byLanguage = false;        // the outcome follows the user's language
};

struct Offers {
    bool uac = true;                 // Vista on; XP has no elevation and no prompt for it
    bool elevated = false;           // without UAC: an administrator
    bool underWine = false;
    bool noDisplay = false;
    bool launcher64 = false;
    bool windows64 = false;
    bool interactive = false;
    bool doubleByte = false;         // the ANSI code page has such a name
    bool longPathsFit = true;        // the disc folder leaves room for 259-character paths
    bool knownLanguage = true;       // the user's language is English (US) or Japanese
};

// nullptr when the scenario can run.
const wchar_t* SkipReason(const Needs& needs, const Offers& offers);
