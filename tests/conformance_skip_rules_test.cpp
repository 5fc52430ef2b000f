#include "conformance/skip_rules.h"

#include <gtest/gtest.h>

namespace {

Needs Person()
{
    Needs needs;
    needs.person = true;
    return needs;
}

Offers StandardUser(bool interactive)
{
    Offers offers;
    offers.interactive = interactive;
    offers.windows64 = true;
    return offers;
}

}  // namespace

TEST(ConformanceSkipRules, EachScenarioRunsExactlyWhereItCan)
{
    Needs machineKey, launcher32, doubleByte, noDisplay, prompts, elevationAnswered, byLanguage;
    machineKey.machineKey = launcher32.launcher32 = doubleByte.doubleByte = true;
    byLanguage.byLanguage = true;
    noDisplay.noDisplay = prompts.prompts = elevationAnswered.elevationAnswered = true;
    Offers elevated = StandardUser(false), wine = StandardUser(false);
    elevated.elevated = wine.underWine = true;
    Offers noScreen = wine, launcher64 = wine, japanese = wine, german = wine;
    noScreen.noDisplay = launcher64.launcher64 = japanese.doubleByte = true;
    german.knownLanguage = false;
    // Windows XP: no UAC; an administrator by group membership.
    Offers xpUser = StandardUser(true), xpAdministrator = xpUser;
    xpUser.uac = xpAdministrator.uac = false;
    xpAdministrator.elevated = true;
    struct Case {
        const char* name;
        Needs needs;
        Offers offers;
        bool runs;
    };
    const Case cases[] = {
        {"elevation prompt: a person at a standard account", Person(), StandardUser(true), true},
        {"elevation prompt: nobody asked to answer", Person(), StandardUser(false), false},
        {"elevation prompt: an elevated run shows none", Person(), elevated, false},
        {"elevation prompt: Wine shows none", Person(), wine, false},
        {"installer's rights granted without a prompt: user", elevationAnswered,
         StandardUser(true), false},
        {"installer's rights granted without a prompt: Wine", elevationAnswered, wine, true},
        {"machine key: standard user", machineKey, StandardUser(false), false},
        {"machine key: elevated", machineKey, elevated, true},
        {"no display wanted, display there", noDisplay, wine, false},
        {"no display wanted and given", noDisplay, noScreen, true},
        {"a box without a display", prompts, noScreen, false},
        {"32-bit launcher wanted, PE32+ given", launcher32, launcher64, false},
        {"double-byte name on code page 1252", doubleByte, wine, false},
        {"double-byte name on code page 932", doubleByte, japanese, true},
        {"version by language: English or Japanese", byLanguage, wine, true},
        {"version by language: German", byLanguage, german, false},
        {"no UAC: machine key from a standard account", machineKey, xpUser, false},
        {"no UAC: machine key from an administrator's account", machineKey, xpAdministrator,
         true},
        {"no UAC: the installer's rights need no prompt", elevationAnswered, xpUser, true},
        {"no UAC: no elevation prompt to answer", Person(), xpUser, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SkipReason(c.needs, c.offers) == nullptr, c.runs);
    }
}
