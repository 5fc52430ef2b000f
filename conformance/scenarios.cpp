// Every end-to-end scenario, one entry each: what is on the disc and in the
// registry, how the launcher is started, which boxes appear and how they are
// answered, and what must happen (exit code, programs started, in order).
#include "conformance.h"

const wchar_t kCaption[] = L"Orvane PlayList CD";
static const wchar_t kInstall[] =
    L"You have inserted an Orvane Playlist CD. In order to automatically play this CD you have to "
    L"install Orvane.\n\nDo you want to install Orvane now?";
static const wchar_t kUpdate[] =
    L"You have inserted an Orvane Playlist CD. The version of Orvane on this CD is newer than the "
    L"one you have currently installed.\n\nDo you want to install the updated version of Orvane "
    L"now?";

static constexpr int kV1_2 = 0x00010002, kV1_3 = 0x00010003, kV2_0 = 0x00020000;

// What the stand-in installer does: register the new player, or not.
static const wchar_t kRegistersNew[] = L"reg={new}@10003";

// Record lines of the programs started.
static const wchar_t kInstaller[] = L"installer\t\"{disc}Orvane Installer\\ervast_orvane.exe\"";
static const wchar_t kPlayer[] = L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}CDPlayList.p4u\"";
static const wchar_t kNewPlayer[] = L"player\t\"{new}\\Orvanex.exe\" -p -l \"{disc}CDPlayList.p4u\"";
static const wchar_t kPlayer32[] = L"player\t\"{p32}\\Orvanex.exe\" -p -l \"{disc}CDPlayList.p4u\"";
static const wchar_t kPlayerWithTail[] = L"player\t\"{player}\\Orvanex.exe\" /x y";
static const wchar_t kPlayer259[] =
    L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}{long259}\\CDPlayList.p4u\"";
static const wchar_t kPlayer258[] =
    L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}{long258}\\CDPlayList.p4u\"";
static const wchar_t kPlayerOdd[] =
    L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}{odd}\\CDPlayList.p4u\"";
static const wchar_t kPlayerQuote[] =
    L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}{qfolder}\\CDPlayList.p4u\"";
static const wchar_t kPlayerDbcs[] =
    L"player\t\"{player}\\Orvanex.exe\" -p -l \"{disc}{dbcs}\\CDPlayList.p4u\"";
static const wchar_t kNewPlayerDbcs[] =
    L"player\t\"{new}\\Orvanex.exe\" -p -l \"{disc}{dbcs}\\CDPlayList.p4u\"";
static const wchar_t kInstallerDbcs[] =
    L"installer\t\"{disc}{dbcs}\\Orvane Installer\\ervast_orvane.exe\"";

static Registration Reg(Root root = Root::User, const wchar_t* appDir = L"{player}",
                        int version = kV1_2, int autorun = 1)
{
    return Registration{root, appDir, version, autorun};
}

// clang-format off
const std::vector<Scenario> kScenarios = {
    {.name = L"registered_no_newer", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .exitCode = 0, .started = {kPlayer}},
    {.name = L"registered_with_tail", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .tail = L"/x y", .exitCode = 0, .started = {kPlayerWithTail}},
    {.name = L"autorun_off", .disc = L"2_5", .registry = {Reg(Root::User, L"{player}", kV1_2, 0)}, .exitCode = 1},
    {.name = L"key_without_appdir_autorun_off", .registry = {Reg(Root::User, nullptr, kV1_2, 0)}, .exitCode = 0xFFFFFFFE},
    {.name = L"machine_key_only", .registry = {Reg(Root::Machine, L"{player}", kV1_3)}, .exitCode = 0, .started = {kPlayer}},
    {.name = L"user_key_without_appdir_beside_machine_key", .registry = {Reg(Root::User, nullptr, kV1_3, kAbsent), Reg(Root::Machine, L"{player}", kV1_3)}, .exitCode = 0xFFFFFFFE},
    {.name = L"no_key_installer_without_version", .disc = L"none", .exitCode = 1},
    {.name = L"no_key_installer_0_0", .disc = L"0_0", .exitCode = 0},
    // Version resources Windows reads otherwise than a naive reader: only id 1,
    // in the user's language.
    {.name = L"no_key_installer_version_under_id_2", .disc = L"id2", .exitCode = 1},
    {.name = L"no_key_installer_0_0_beside_named_1_3", .disc = L"named", .exitCode = 0},
    {.name = L"no_key_installer_root_block_without_fixed_part", .disc = L"short_root", .exitCode = 1},
    {.name = L"installer_versions_by_language", .disc = L"languages", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .answers = "n", .japanesePrompts = {kUpdate}, .exitCode = 0, .started = {kPlayer}},
    {.name = L"install_yes", .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .exitCode = 0, .started = {kInstaller, kNewPlayer}},
    {.name = L"install_no", .prompts = {kInstall}, .answers = "n", .installer = kRegistersNew, .exitCode = 1},
    {.name = L"install_exit_1", .prompts = {kInstall}, .answers = "y", .installer = L"exit=1", .exitCode = 0xFFFFFFFD, .started = {kInstaller}},
    {.name = L"install_without_registering", .prompts = {kInstall}, .answers = "y", .installer = L"exit=0", .exitCode = 0xFFFFFFFE, .started = {kInstaller}},
    {.name = L"update_no", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "n", .installer = kRegistersNew, .exitCode = 0, .started = {kPlayer}},
    {.name = L"update_exit_3_keeps_old_player", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "y", .installer = L"reg={new}@10003,exit=3", .exitCode = 0, .started = {kInstaller, kPlayer}},
    {.name = L"update_removes_key", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "y", .installer = L"del,exit=0", .exitCode = 0xFFFFFFFE, .started = {kInstaller}},
    {.name = L"install_older_then_update", .prompts = {kInstall, kUpdate}, .answers = "yy", .installer = L"reg={new}@10002;reg={new}@10003", .exitCode = 0, .started = {kInstaller, kInstaller, kNewPlayer}},
    {.name = L"registered_2_0_against_1_9", .disc = L"1_9", .registry = {Reg(Root::User, L"{player}", kV2_0)}, .exitCode = 0, .started = {kPlayer}},
    {.name = L"player_missing", .registry = {Reg(Root::User, L"{player}\\No Player Here", kV1_3)}, .exitCode = 0xFFFFFFFB},
    {.name = L"installer_requires_administrator", .disc = L"admin", .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .asksElevation = true, .exitCode = 0, .started = {kInstaller, kNewPlayer}},
    // Windows' elevation prompt, answered by a person (--interactive, a standard account).
    {.name = L"elevation_prompt_yes", .disc = L"admin", .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .personPresses = L"Yes", .exitCode = 0, .started = {kInstaller, kNewPlayer}},
    {.name = L"elevation_prompt_no_installation", .disc = L"admin", .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .personPresses = L"No", .exitCode = 1},
    {.name = L"elevation_prompt_no_update", .disc = L"admin", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "y", .installer = kRegistersNew, .personPresses = L"No", .exitCode = 0, .started = {kPlayer}},
    {.name = L"no_display_box_counts_as_yes", .installer = kRegistersNew, .noDisplay = true, .exitCode = 0, .started = {kInstaller, kNewPlayer}},
    {.name = L"path_259", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{long259}\\OrvaneCD.exe", .quoted = true, .exitCode = 0, .started = {kPlayer259}},
    {.name = L"path_258", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{long258}\\OrvaneCD.exe", .quoted = true, .exitCode = 0, .started = {kPlayer258}},
    {.name = L"folder_with_blanks_and_umlaut", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{odd}\\OrvaneCD.exe", .quoted = true, .exitCode = 0, .started = {kPlayerOdd}},
    // Best-fit quotes in the launcher's own path, and a quote in AppDir, would
    // end the quoting of the player's line: nothing may start. Where the code
    // page has U+FF02 itself (932), the names are ordinary.
    {.name = L"best_fit_quote_in_disc_folder", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{qfolder}\\OrvaneCD.exe", .quoted = true, .codePage = true, .bestFitQuote = true, .exitCode = 0, .started = {kPlayerQuote}},
    {.name = L"best_fit_quote_in_launcher_name", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{qlauncher}", .quoted = true, .codePage = true, .bestFitQuote = true, .exitCode = 0, .started = {kPlayer}},
    // Names whose double-byte characters end in the separator's byte: run
    // where the code page is double-byte.
    {.name = L"double_byte_disc_folder", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{dbcs}\\OrvaneCD.exe", .quoted = true, .codePage = true, .exitCode = 0, .started = {kPlayerDbcs}},
    {.name = L"double_byte_launcher_name", .disc = L"paths", .registry = {Reg(Root::User, L"{player}", kV1_3)}, .program = L"{dbcs}.exe", .quoted = true, .codePage = true, .exitCode = 0, .started = {kPlayer}},
    {.name = L"double_byte_installer_path", .disc = L"paths", .program = L"{dbcs}\\OrvaneCD.exe", .quoted = true, .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .codePage = true, .exitCode = 0, .started = {kInstallerDbcs, kNewPlayerDbcs}},
    {.name = L"quote_in_appdir", .registry = {Reg(Root::User, L"{player}\\Orvanex.exe\" /injected \"x", kV1_3)}, .exitCode = 0xFFFFFFFE},
    {.name = L"signed_kit_disc_install_yes", .disc = L"kit", .prompts = {kInstall}, .answers = "y", .installer = kRegistersNew, .exitCode = 0, .started = {kInstaller, kNewPlayer}},
    // DLLs planted beside the launcher, with the program's folder searched
    // first. The control imports VERSION statically and so loads the planted
    // file in the same setup.
    {.name = L"planted_dlls_not_loaded", .disc = L"planted", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "n", .plantedOrder = true, .exitCode = 0, .started = {kPlayer}},
    {.name = L"planted_dll_control_loads_it", .disc = L"planted", .program = L"control.exe", .plantedOrder = true, .exitCode = 0x0BAD0D11, .started = {L"planted\t{disc}"}},
    // A manifest beside the launcher that claims the planted DLLs as its own:
    // ignored, as the launcher embeds its own. The same launcher built without
    // that loads the planted DLL.
    {.name = L"planted_manifest_ignored", .disc = L"manifest", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "n", .plantedOrder = true, .exitCode = 0, .started = {kPlayer}},
    {.name = L"planted_manifest_control_loads_it", .disc = L"manifest", .registry = {Reg()}, .program = L"unmanifested.exe", .plantedOrder = true, .exitCode = 0x0BAD0D11, .started = {L"planted\t{disc}"}},
    // Private copies of the Common Controls beside the launcher: Windows takes
    // the side-by-side store's first. A launcher that asks for a version no
    // store holds gets the private copy loaded, when its box is made.
    {.name = L"planted_common_controls_ignored", .disc = L"sxs", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "n", .plantedOrder = true, .exitCode = 0, .started = {kPlayer}},
    // A configuration file beside the launcher redirecting its Common Controls
    // to such a private copy: the box's still come from the store.
    {.name = L"planted_config_redirect_ignored", .disc = L"sxs-config", .registry = {Reg()}, .prompts = {kUpdate}, .answers = "n", .plantedOrder = true, .exitCode = 0, .started = {kPlayer}},
    {.name = L"planted_common_controls_control_loads_them", .disc = L"sxs-unheld", .registry = {Reg()}, .program = L"unheld.exe", .plantedOrder = true, .exitCode = 0x0BAD0D11, .started = {L"planted\t{disc}"}},
    {.name = L"machine_32bit_view_only", .registry = {Reg(Root::Machine32, L"{p32}", kV1_3), Reg(Root::Machine64, L"{player}", kV1_3)}, .launcher32Only = true, .exitCode = 0, .started = {kPlayer32}},
};
// clang-format on
