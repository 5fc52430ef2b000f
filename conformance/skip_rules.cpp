#include "skip_rules.h"

// The machine's registry: elevated, or under Wine, where anyone may write it.
static bool MayWriteMachine(const Offers& offers)
{
    return offers.elevated || offers.underWine;
}

static const wchar_t* ElevationPromptSkip(const Offers& offers)
{
    if (offers.underWine)
        return L"Wine shows no elevation prompt";
    if (!offers.uac)
        return L"this Windows has no UAC, so no elevation prompt";
    if (offers.elevated)
        return L"this run is elevated, so no elevation prompt appears: run as a standard user";
    if (!offers.interactive)
        return L"needs a person to answer Windows' elevation prompt (--interactive)";
    return nullptr;
}

const wchar_t* SkipReason(const Needs& needs, const Offers& offers)
{
    if (needs.machineKey && !MayWriteMachine(offers))
        return offers.uac ? L"writes HKEY_LOCAL_MACHINE: run as administrator"
                          : L"writes HKEY_LOCAL_MACHINE: run from an administrator's account";
    if (needs.noDisplay && !offers.noDisplay)
        return L"needs a session without a display (--no-display)";
    if (needs.prompts && offers.noDisplay)
        return L"shows a box, and this run has no display";
    if (needs.launcher32 && (offers.launcher64 || !offers.windows64))
        return L"needs a 32-bit launcher on 64-bit Windows";
    // Without UAC such an installer simply runs with the user's rights.
    if (needs.elevationAnswered && offers.uac && !MayWriteMachine(offers))
        return L"the installer asks for administrator rights: Windows' elevation prompt needs "
               L"a person (--interactive)";
    const wchar_t* prompt = needs.person ? ElevationPromptSkip(offers) : nullptr;
    if (prompt != nullptr)
        return prompt;
    if (!offers.longPathsFit)
        return L"the disc folder's path is too long for the long-path scenarios";
    if (needs.doubleByte && !offers.doubleByte)
        return L"the ANSI code page has no double-byte character that ends in '\\'";
    if (!needs.namesFit)
        return L"its names cannot be written in the ANSI code page";
    if (needs.byLanguage && !offers.knownLanguage)
        return L"which version Windows takes depends on the user's language, here neither "
               L"English (United States) nor Japanese";
    return nullptr;
}
