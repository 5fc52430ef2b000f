"""Every end-to-end scenario, one entry each: what is on the disc and in the
registry, how the launcher is started, which boxes appear and how they are
answered, and what must happen (exit code, programs started)."""
import dataclasses
import shutil
from pathlib import Path

from machine import LAUNCHER, make_kit_disc

CAPTION = 'Orvane PlayList CD'
INSTALL_TEXT = ('You have inserted an Orvane Playlist CD. In order to automatically play this '
                'CD you have to install Orvane.\n\nDo you want to install Orvane now?')
UPDATE_TEXT = ('You have inserted an Orvane Playlist CD. The version of Orvane on this CD is '
               'newer than the one you have currently installed.\n\nDo you want to install the '
               'updated version of Orvane now?')
PLAYER_DIR = r'C:\Program Files\Orvane Player'
NEW_PLAYER_DIR = r'C:\Program Files\Orvane Player New'
MACHINE32_DIR = r'C:\Orvane 32'
INSTALLED_FOLDERS = (PLAYER_DIR, NEW_PLAYER_DIR, MACHINE32_DIR)
LONG259 = 'L' * (259 - len('E:\\') - len('\\' + LAUNCHER))
LONG258 = LONG259[:-1]
ODD_FOLDER = 'Playlist Disc Müsik'
# U+FF02 (full-width quotation mark) is best-fit to a plain quote in code page 1252.
QUOTE_FOLDER = 'a\uff02 -x \uff02b'
QUOTE_LAUNCHER = 'Orvane\uff02 -x \uff02.exe'
QUOTED_APP_DIR = PLAYER_DIR + r'\Orvanex.exe" /injected "x'
# version.dll is what the launcher needs; uxtheme.dll is loaded late by many
# programs that show a window. Neither is one Windows always takes from the
# system folder.
PLANTED_DLLS = ('version.dll', 'uxtheme.dll')
PLANTED_ORDER = 'version,uxtheme=n,b'
INSTALLER_VARIANTS = ('1_3', '2_5', '0_0', '1_9', 'none', 'admin')
V1_2, V1_3, V2_0 = 0x00010002, 0x00010003, 0x00020000
# The stand-in installer's scripts: register the new player, or not.
REGISTERS_NEW = 'reg=%s@10003' % NEW_PLAYER_DIR


def player(folder=PLAYER_DIR, disc_folder='E:\\', tail=None):
    exe = '"%s\\Orvanex.exe"' % folder
    if tail is not None:
        return ('player', '%s %s' % (exe, tail))
    return ('player', '%s -p -l "%sCDPlayList.p4u"' % (exe, disc_folder))


INSTALLER = ('installer', r'"E:\Orvane Installer\ervast_orvane.exe"')


def registered(root='HKCU', app_dir=PLAYER_DIR, version=V1_2, autorun=1):
    values = {'AppDir': app_dir}
    if version is not None:
        values['PlayerVersion'] = version
    if autorun is not None:
        values['AutorunPlayListCDs'] = autorun
    return [(root, values)]


def launcher_at(folder):
    return '"E:\\%s\\%s"' % (folder, LAUNCHER)


@dataclasses.dataclass(kw_only=True)
class Scenario:
    name: str
    disc: str = '1_3'               # installer variant on the disc, or a special disc
    registry: list = dataclasses.field(default_factory=list)  # [(root, {value: data})]
    command: str = 'E:\\' + LAUNCHER
    prompts: list = dataclasses.field(default_factory=list)  # texts, in order
    answers: str = ''               # keys for the boxes, in order: y or n
    installer: str = ''             # what the stand-in installer does
    display: bool = True
    dll_overrides: str = ''         # DLLs for which Wine takes Windows' search order
    only: str = ''                  # run for this tier only
    exit_code: int
    started: list = dataclasses.field(default_factory=list)  # [(kind, command line)]


SCENARIOS = [
    Scenario(name='registered_no_newer', registry=registered(version=V1_3),
             exit_code=0, started=[player()]),
    Scenario(name='registered_with_tail', registry=registered(version=V1_3),
             command='E:\\%s /x y' % LAUNCHER,
             exit_code=0, started=[player(tail='/x y')]),
    Scenario(name='autorun_off', disc='2_5', registry=registered(autorun=0),
             exit_code=1),
    Scenario(name='key_without_appdir_autorun_off',
             registry=[('HKCU', {'AutorunPlayListCDs': 0, 'PlayerVersion': V1_2})],
             exit_code=-2),
    Scenario(name='machine_key_only', registry=registered('HKLM', version=V1_3),
             exit_code=0, started=[player()]),
    Scenario(name='user_key_without_appdir_beside_machine_key',
             registry=[('HKCU', {'PlayerVersion': V1_3})] + registered('HKLM', version=V1_3),
             exit_code=-2),
    Scenario(name='no_key_installer_without_version', disc='none',
             exit_code=1),
    Scenario(name='no_key_installer_0_0', disc='0_0',
             exit_code=0),
    Scenario(name='install_yes',
             prompts=[INSTALL_TEXT], answers='y', installer=REGISTERS_NEW,
             exit_code=0, started=[INSTALLER, player(NEW_PLAYER_DIR)]),
    Scenario(name='install_no',
             prompts=[INSTALL_TEXT], answers='n', installer=REGISTERS_NEW,
             exit_code=1),
    Scenario(name='install_exit_1',
             prompts=[INSTALL_TEXT], answers='y', installer='exit=1',
             exit_code=-3, started=[INSTALLER]),
    Scenario(name='install_without_registering',
             prompts=[INSTALL_TEXT], answers='y', installer='exit=0',
             exit_code=-2, started=[INSTALLER]),
    Scenario(name='update_no', registry=registered(),
             prompts=[UPDATE_TEXT], answers='n', installer=REGISTERS_NEW,
             exit_code=0, started=[player()]),
    Scenario(name='update_exit_3_keeps_old_player', registry=registered(),
             prompts=[UPDATE_TEXT], answers='y', installer=REGISTERS_NEW + ',exit=3',
             exit_code=0, started=[INSTALLER, player()]),
    Scenario(name='update_removes_key', registry=registered(),
             prompts=[UPDATE_TEXT], answers='y', installer='del,exit=0',
             exit_code=-2, started=[INSTALLER]),
    Scenario(name='install_older_then_update',
             prompts=[INSTALL_TEXT, UPDATE_TEXT], answers='yy',
             installer='reg=%s@10002;reg=%s@10003' % (NEW_PLAYER_DIR, NEW_PLAYER_DIR),
             exit_code=0, started=[INSTALLER, INSTALLER, player(NEW_PLAYER_DIR)]),
    Scenario(name='registered_2_0_against_1_9', disc='1_9', registry=registered(version=V2_0),
             exit_code=0, started=[player()]),
    Scenario(name='player_missing', registry=registered(app_dir=r'C:\No Player Here',
                                                        version=V1_3),
             exit_code=-5),
    Scenario(name='installer_requires_administrator', disc='admin',
             prompts=[INSTALL_TEXT], answers='y', installer=REGISTERS_NEW,
             exit_code=0, started=[INSTALLER, player(NEW_PLAYER_DIR)]),
    Scenario(name='no_display_box_counts_as_yes', display=False, installer=REGISTERS_NEW,
             exit_code=0, started=[INSTALLER, player(NEW_PLAYER_DIR)]),
    Scenario(name='path_259', disc='paths', registry=registered(version=V1_3),
             command=launcher_at(LONG259),
             exit_code=0, started=[player(disc_folder='E:\\%s\\' % LONG259)]),
    Scenario(name='path_258', disc='paths', registry=registered(version=V1_3),
             command=launcher_at(LONG258),
             exit_code=0, started=[player(disc_folder='E:\\%s\\' % LONG258)]),
    Scenario(name='folder_with_blanks_and_umlaut', disc='paths',
             registry=registered(version=V1_3), command=launcher_at(ODD_FOLDER),
             exit_code=0, started=[player(disc_folder='E:\\%s\\' % ODD_FOLDER)]),
    # Best-fit quotes in the launcher's own path, and a quote in AppDir, would
    # end the quoting of the player's line: nothing may start.
    Scenario(name='best_fit_quote_in_disc_folder', disc='paths',
             registry=registered(version=V1_3), command=launcher_at(QUOTE_FOLDER),
             exit_code=-6),
    Scenario(name='best_fit_quote_in_launcher_name', disc='paths',
             registry=registered(version=V1_3), command='"E:\\%s"' % QUOTE_LAUNCHER,
             exit_code=-6),
    Scenario(name='quote_in_appdir', registry=registered(app_dir=QUOTED_APP_DIR, version=V1_3),
             exit_code=-2),
    Scenario(name='signed_kit_disc_install_yes', disc='kit',
             prompts=[INSTALL_TEXT], answers='y', installer=REGISTERS_NEW,
             exit_code=0, started=[INSTALLER, player(NEW_PLAYER_DIR)]),
    # DLLs planted beside the launcher, with Windows' search order (the
    # program's folder first) for both names. The control imports VERSION
    # statically and so loads the planted file in the same setup.
    Scenario(name='planted_dlls_not_loaded', disc='planted', registry=registered(),
             dll_overrides=PLANTED_ORDER, prompts=[UPDATE_TEXT], answers='n',
             exit_code=0, started=[player()]),
    Scenario(name='planted_dll_control_loads_it', disc='planted', command='E:\\control.exe',
             dll_overrides=PLANTED_ORDER,
             exit_code=0x0BAD0D11, started=[('planted', 'E:\\VERSION.dll')]),
    # A manifest beside the launcher that claims the planted DLLs as its own,
    # with the same search order: ignored, as the launcher embeds its own. The
    # same launcher built without that loads the planted DLL.
    Scenario(name='planted_manifest_ignored', disc='manifest', registry=registered(),
             dll_overrides=PLANTED_ORDER, prompts=[UPDATE_TEXT], answers='n',
             exit_code=0, started=[player()]),
    Scenario(name='planted_manifest_control_loads_it', disc='manifest', registry=registered(),
             command='E:\\unmanifested.exe', dll_overrides=PLANTED_ORDER,
             exit_code=0x0BAD0D11, started=[('planted', 'E:\\version.dll')]),
    Scenario(name='machine_32bit_view_only', only='win32',
             registry=registered('HKLM32', MACHINE32_DIR, V1_3) +
             registered('HKLM64', PLAYER_DIR, V1_3),
             exit_code=0, started=[player(MACHINE32_DIR)]),
]


def scenarios_for(arch):
    return [s for s in SCENARIOS if s.only in ('', arch)]


def find(name):
    for scenario in SCENARIOS:
        if scenario.name == name:
            return scenario
    raise SystemExit('no scenario %s' % name)


def make_discs(tier):
    """One folder a disc; drive E: is pointed at the one a scenario needs."""
    build, discs = tier.build, tier.discs
    for variant in INSTALLER_VARIANTS + ('paths', 'planted'):
        disc = discs / variant
        (disc / 'Orvane Installer').mkdir(parents=True)
        shutil.copy(build / LAUNCHER, disc / LAUNCHER)
        (disc / 'CDPlayList.p4u').write_text('#playlist\n')
        if variant in INSTALLER_VARIANTS:
            shutil.copy(build / ('e2e_installer_%s.exe' % variant),
                        disc / 'Orvane Installer' / 'ervast_orvane.exe')
    planted = discs / 'planted'
    shutil.copy(build / 'e2e_installer_1_3.exe', planted / 'Orvane Installer' / 'ervast_orvane.exe')
    for dll in PLANTED_DLLS:
        shutil.copy(build / 'e2e_planted.dll', planted / dll)
    shutil.copy(build / 'e2e_control.exe', planted / 'control.exe')
    # The same disc with a manifest beside the launcher and beside a build of
    # it without the embedded one.
    manifest = discs / 'manifest'
    shutil.copytree(planted, manifest)
    shutil.copy(build / 'e2e_launcher_without_manifest.exe', manifest / 'unmanifested.exe')
    for program in (LAUNCHER, 'unmanifested.exe'):
        shutil.copy(Path(__file__).parent / 'planted.manifest', manifest / (program + '.manifest'))
    for folder in (LONG259, LONG258, ODD_FOLDER, QUOTE_FOLDER):
        (discs / 'paths' / folder).mkdir()
        shutil.copy(build / LAUNCHER, discs / 'paths' / folder / LAUNCHER)
    shutil.copy(build / LAUNCHER, discs / 'paths' / QUOTE_LAUNCHER)
    make_kit_disc(build, discs / 'kit')
