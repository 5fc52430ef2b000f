#!/usr/bin/env python3
"""End-to-end runs of the launcher under Wine: a read-only disc in drive E: of
type CD-ROM, a real registry, the stand-in installer and player, real message
boxes under Xvfb answered with xdotool.

  e2e.py list ARCH                 scenario names for ARCH, one a line
  e2e.py setup ARCH                install what is missing, build the fixtures,
                                   make the prefix (kept between runs) and the discs
  e2e.py run ARCH SCENARIO         one scenario; exit status 0 when it passed
  e2e.py screenshots               save both prompts as PNG files under docs/
  e2e.py teardown                  end every process the harness started

ARCH is win32 (the shipped PE32, under the 32-bit loader) or win64 (PE32+).
"""
import dataclasses
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / 'build' / 'e2e'
STATE = WORK / 'state'
WINE64 = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver'
DISPLAY = ':97'
CAPTION = 'Orvane PlayList CD'
INSTALL_TEXT = ('You have inserted an Orvane Playlist CD. In order to automatically play this '
                'CD you have to install Orvane.\n\nDo you want to install Orvane now?')
UPDATE_TEXT = ('You have inserted an Orvane Playlist CD. The version of Orvane on this CD is '
               'newer than the one you have currently installed.\n\nDo you want to install the '
               'updated version of Orvane now?')
PLAYER_DIR = r'C:\Program Files\Orvane Player'
NEW_PLAYER_DIR = r'C:\Program Files\Orvane Player New'
MACHINE32_DIR = r'C:\Orvane 32'
INSTALLER_LINE = r'"E:\Orvane Installer\ervast_orvane.exe"'
LAUNCHER = 'OrvaneCD.exe'
LONG259 = 'L' * (259 - len('E:\\') - len('\\' + LAUNCHER))
LONG258 = LONG259[:-1]
ODD_FOLDER = 'Playlist Disc Müsik'
# U+FF02 (full-width quotation mark) is best-fit to a plain quote in code page 1252.
QUOTE_FOLDER = 'a\uff02 -x \uff02b'
QUOTE_LAUNCHER = 'Orvane\uff02 -x \uff02.exe'
QUOTED_APP_DIR = PLAYER_DIR + r'\Orvanex.exe" /injected "x'
SCENARIO_TIMEOUT = 240
# version.dll is what the launcher needs; uxtheme.dll is loaded late by many
# programs that show a window. Neither is one Windows always takes from the
# system folder.
PLANTED_DLLS = ('version.dll', 'uxtheme.dll')
PLANTED_ORDER = 'version,uxtheme=n,b'
# Keys that the stand-in installer writes, and keys Wine itself rewrites as it
# starts its services; everything else must come out of a run unchanged.
REGISTRY_NOISE = ('\\Software\\Ervast', '\\WOW6432Node\\Ervast', 'Volatile Environment',
                  'HKEY_CURRENT_USER\\Software\\Wine\\', '\\NetworkCards\\')


def player_line(folder=PLAYER_DIR, disc_folder='E:\\', tail=None):
    exe = '"%s\\Orvanex.exe"' % folder
    if tail is not None:
        return '%s %s' % (exe, tail)
    return '%s -p -l "%sCDPlayList.p4u"' % (exe, disc_folder)


def key_path(root, arch):
    if root == 'HKCU':
        return r'HKEY_CURRENT_USER\Software\Ervast\Orvane'
    if root == 'HKLM32' or (root == 'HKLM' and arch == 'win32'):
        return r'HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast\Orvane'
    return r'HKEY_LOCAL_MACHINE\Software\Ervast\Orvane'


def registered(root='HKCU', app_dir=PLAYER_DIR, version=0x00010002, autorun=1):
    values = {'AppDir': app_dir}
    if version is not None:
        values['PlayerVersion'] = version
    if autorun is not None:
        values['AutorunPlayListCDs'] = autorun
    return [(root, values)]


@dataclasses.dataclass
class Scenario:
    name: str
    disc: str                       # installer variant on the disc, or a special disc
    registry: list                  # [(root, {value: data})]
    exit_code: int
    started: list                   # expected [(kind, command line)]
    prompts: list = dataclasses.field(default_factory=list)  # texts, in order
    answers: str = ''               # keys for the boxes, in order: y or n
    installer: str = ''             # the stand-in installer's script
    command: str = 'E:\\' + LAUNCHER
    display: bool = True
    only: str = ''                  # run for this arch only
    dll_overrides: str = ''         # DLLs for which Wine takes Windows' search order


def scenarios():
    reg = registered
    install = 'reg=%s@10003' % NEW_PLAYER_DIR
    return [
        Scenario('registered_no_newer', '1_3', reg(version=0x00010003), 0, [('player', player_line())]),
        Scenario('registered_with_tail', '1_3', reg(version=0x00010003), 0,
                 [('player', player_line(tail='/x y'))], command='E:\\%s /x y' % LAUNCHER),
        Scenario('autorun_off', '2_5', reg(autorun=0), 1, []),
        Scenario('key_without_appdir_autorun_off', '1_3',
                 [('HKCU', {'AutorunPlayListCDs': 0, 'PlayerVersion': 0x10002})], -2, []),
        Scenario('machine_key_only', '1_3', reg('HKLM', version=0x00010003), 0,
                 [('player', player_line())]),
        Scenario('user_key_without_appdir_beside_machine_key', '1_3',
                 [('HKCU', {'PlayerVersion': 0x10003})] + reg('HKLM', version=0x00010003), -2, []),
        Scenario('no_key_installer_without_version', 'none', [], 1, []),
        Scenario('no_key_installer_0_0', '0_0', [], 0, []),
        Scenario('install_yes', '1_3', [], 0,
                 [('installer', INSTALLER_LINE), ('player', player_line(NEW_PLAYER_DIR))],
                 [INSTALL_TEXT], 'y', install),
        Scenario('install_no', '1_3', [], 1, [], [INSTALL_TEXT], 'n', install),
        Scenario('install_exit_1', '1_3', [], -3, [('installer', INSTALLER_LINE)],
                 [INSTALL_TEXT], 'y', 'exit=1'),
        Scenario('install_without_registering', '1_3', [], -2, [('installer', INSTALLER_LINE)],
                 [INSTALL_TEXT], 'y', 'exit=0'),
        Scenario('update_no', '1_3', reg(), 0, [('player', player_line())], [UPDATE_TEXT], 'n',
                 install),
        Scenario('update_exit_3_keeps_old_player', '1_3', reg(), 0,
                 [('installer', INSTALLER_LINE), ('player', player_line())], [UPDATE_TEXT], 'y',
                 install + ',exit=3'),
        Scenario('update_removes_key', '1_3', reg(), -2, [('installer', INSTALLER_LINE)],
                 [UPDATE_TEXT], 'y', 'del,exit=0'),
        Scenario('install_older_then_update', '1_3', [], 0,
                 [('installer', INSTALLER_LINE), ('installer', INSTALLER_LINE),
                  ('player', player_line(NEW_PLAYER_DIR))],
                 [INSTALL_TEXT, UPDATE_TEXT], 'yy',
                 'reg=%s@10002;reg=%s@10003' % (NEW_PLAYER_DIR, NEW_PLAYER_DIR)),
        Scenario('registered_2_0_against_1_9', '1_9', reg(version=0x00020000), 0,
                 [('player', player_line())]),
        Scenario('player_missing', '1_3', reg(app_dir=r'C:\No Player Here', version=0x10003),
                 -5, []),
        Scenario('installer_requires_administrator', 'admin', [], 0,
                 [('installer', INSTALLER_LINE), ('player', player_line(NEW_PLAYER_DIR))],
                 [INSTALL_TEXT], 'y', install),
        Scenario('no_display_box_counts_as_yes', '1_3', [], 0,
                 [('installer', INSTALLER_LINE), ('player', player_line(NEW_PLAYER_DIR))],
                 [], '', install, display=False),
        Scenario('path_259', 'paths', reg(version=0x10003), 0,
                 [('player', player_line(disc_folder='E:\\%s\\' % LONG259))],
                 command='"E:\\%s\\%s"' % (LONG259, LAUNCHER)),
        Scenario('path_258', 'paths', reg(version=0x10003), 0,
                 [('player', player_line(disc_folder='E:\\%s\\' % LONG258))],
                 command='"E:\\%s\\%s"' % (LONG258, LAUNCHER)),
        Scenario('folder_with_blanks_and_umlaut', 'paths', reg(version=0x10003), 0,
                 [('player', player_line(disc_folder='E:\\%s\\' % ODD_FOLDER))],
                 command='"E:\\%s\\%s"' % (ODD_FOLDER, LAUNCHER)),
        # Best-fit quotes in the launcher's own path, and a quote in AppDir,
        # would end the quoting of the player's line: nothing may start.
        Scenario('best_fit_quote_in_disc_folder', 'paths', reg(version=0x10003), -6, [],
                 command='"E:\\%s\\%s"' % (QUOTE_FOLDER, LAUNCHER)),
        Scenario('best_fit_quote_in_launcher_name', 'paths', reg(version=0x10003), -6, [],
                 command='"E:\\%s"' % QUOTE_LAUNCHER),
        Scenario('quote_in_appdir', '1_3', reg(app_dir=QUOTED_APP_DIR, version=0x10003), -2, []),
        Scenario('kit_disc_install_yes', 'kit', [], 0,
                 [('installer', INSTALLER_LINE), ('player', player_line(NEW_PLAYER_DIR))],
                 [INSTALL_TEXT], 'y', install),
        # DLLs planted beside the launcher, with Windows' search order (the
        # program's folder first) for both names. The control imports VERSION
        # statically and so loads the planted file in the same setup.
        Scenario('planted_dlls_not_loaded', 'planted', reg(), 0, [('player', player_line())],
                 [UPDATE_TEXT], 'n', dll_overrides=PLANTED_ORDER),
        Scenario('planted_dll_control_loads_it', 'planted', [], 0x0BAD0D11,
                 [('planted', 'E:\\VERSION.dll')], command='E:\\control.exe',
                 dll_overrides=PLANTED_ORDER),
        Scenario('machine_32bit_view_only', '1_3',
                 reg('HKLM32', MACHINE32_DIR, 0x10003) + reg('HKLM64', PLAYER_DIR, 0x10003), 0,
                 [('player', player_line(MACHINE32_DIR))], only='win32'),
    ]


def find(name):
    for scenario in scenarios():
        if scenario.name == name:
            return scenario
    raise SystemExit('no scenario %s' % name)


# --- the machine -----------------------------------------------------------

def can_run_i386_natively():
    """Whether the kernel itself runs 32-bit x86 programs (no qemu in between)."""
    loader = Path('/lib/ld-linux.so.2')
    if not loader.exists():
        return False
    misc = Path('/proc/sys/fs/binfmt_misc/qemu-i386')
    if misc.exists() and 'enabled' in misc.read_text():
        return False  # it would run, but through qemu
    try:
        return subprocess.run([str(loader), '--help'], capture_output=True).returncode == 0
    except OSError:
        return False


def apt_install(packages):
    if not packages:
        return
    print('e2e: installing', ' '.join(packages), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND='noninteractive')
    subprocess.run(['apt-get', 'update', '-qq'], check=True, env=env)
    subprocess.run(['apt-get', 'install', '-y', '-qq', '--no-install-recommends'] + packages,
                   check=True, env=env, stdout=subprocess.DEVNULL)


def installed(package):
    result = subprocess.run(['dpkg-query', '-W', '-f=${Status}', package], capture_output=True,
                            text=True)
    return 'install ok installed' in result.stdout


def ensure_packages(arch):
    wanted = ['wine64', 'xvfb', 'xdotool']
    if arch == 'win32':
        foreign = subprocess.run(['dpkg', '--print-foreign-architectures'], capture_output=True,
                                 text=True).stdout.split()
        if 'i386' not in foreign:
            subprocess.run(['dpkg', '--add-architecture', 'i386'], check=True)
        wanted.append('wine32:i386')
    apt_install([p for p in wanted if not installed(p)])
    if arch == 'win32' and not can_run_i386_natively() and not installed('qemu-user-static'):
        apt_install(['qemu-user-static'])


def ensure_i386_execution():
    """This kernel may not run 32-bit programs itself: let qemu run them."""
    loader = '/usr/lib/wine/wine'
    try:
        if subprocess.run([loader, '--version'], capture_output=True,
                          env=wine_env('win32')).returncode == 0:
            return
    except OSError:
        pass  # exec format error: this kernel does not run it
    misc = Path('/proc/sys/fs/binfmt_misc')
    if not (misc / 'register').exists():
        subprocess.run(['mount', '-t', 'binfmt_misc', 'binfmt_misc', str(misc)], check=True)
    if not (misc / 'qemu-i386').exists():
        rule = (b':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00'
                b'\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe'
                b'\xff\xff\xff:/usr/bin/qemu-i386-static:F')
        (misc / 'register').write_bytes(rule)
    if subprocess.run([loader, '--version'], capture_output=True,
                      env=wine_env('win32')).returncode != 0:
        raise SystemExit('e2e: the 32-bit Wine loader does not run on this machine')


def prefix(arch):
    return WORK / arch / 'prefix'


def wine_env(arch, display=True, extra=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith('ORVANE_E2E_')}
    env.update(WINEPREFIX=str(prefix(arch)), WINEDEBUG='-all', LC_ALL='C.UTF-8',
               QEMU_RESERVED_VA='0x81000000', WINEDLLOVERRIDES='mscoree,mshtml=')
    env.pop('DISPLAY', None)
    if display:
        env['DISPLAY'] = DISPLAY
    env.update(extra or {})
    return env


def windows_path(path):
    return 'Z:' + str(path).replace('/', '\\')


def wine(arch, args, display=True, check=False):
    """Runs a Wine tool (regedit, wineboot). The first program of a new
    wineserver session now and then fails for no reason of its own, so a
    failed call is tried again; the tools used here are safe to repeat."""
    with open(WORK / arch / 'wine.log', 'ab') as out:
        for _ in range(3):
            result = subprocess.run([WINE64] + args, env=wine_env(arch, display), stdout=out,
                                    stderr=out)
            if result.returncode == 0:
                return result
            time.sleep(1)
    if check:
        raise subprocess.CalledProcessError(result.returncode, [WINE64] + args)
    return result


def stop_wineserver(arch):
    env = wine_env(arch)
    subprocess.run([WINESERVER, '-k'], env=env, capture_output=True)
    subprocess.run([WINESERVER, '-w'], env=env, capture_output=True)


def set_display_mode(arch, display):
    """Wine's desktop takes the display when a wineserver session starts."""
    marker = STATE / ('%s.display' % arch)
    want = 'on' if display else 'off'
    if marker.exists() and marker.read_text() == want:
        return
    stop_wineserver(arch)
    marker.write_text(want)


def start_xvfb():
    pid_file = STATE / 'xvfb.pid'
    if pid_file.exists():
        try:
            os.kill(int(pid_file.read_text()), 0)
            return
        except (OSError, ValueError):
            pass
    log = open(STATE / 'xvfb.log', 'wb')
    xvfb = subprocess.Popen(['Xvfb', DISPLAY, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                            stdout=log, stderr=log, start_new_session=True)
    pid_file.write_text(str(xvfb.pid))
    for _ in range(50):
        if subprocess.run(['xdotool', 'getmouselocation'], env=dict(os.environ, DISPLAY=DISPLAY),
                          capture_output=True).returncode == 0:
            return
        time.sleep(0.1)
    raise SystemExit('e2e: Xvfb did not start')


def build_fixtures(arch):
    build = ROOT / 'build' / arch
    subprocess.run(['cmake', '--preset', arch], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', '--preset', arch], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', str(build), '--target', 'e2e_fixtures'], check=True,
                   stdout=subprocess.DEVNULL)
    return build


def make_discs(arch, build):
    """One read-only folder a disc; drive E: is pointed at the one a scenario needs."""
    discs = WORK / arch / 'discs'
    if discs.exists():
        subprocess.run(['chmod', '-R', 'u+w', str(discs)], check=True)
        shutil.rmtree(discs)
    variants = ['1_3', '2_5', '0_0', '1_9', 'none', 'admin']
    for variant in variants + ['paths', 'planted']:
        disc = discs / variant
        (disc / 'Orvane Installer').mkdir(parents=True)
        shutil.copy(build / 'OrvaneCD.exe', disc / LAUNCHER)
        (disc / 'CDPlayList.p4u').write_text('#playlist\n')
        if variant in variants:
            shutil.copy(build / ('e2e_installer_%s.exe' % variant),
                        disc / 'Orvane Installer' / 'ervast_orvane.exe')
    planted = discs / 'planted'
    shutil.copy(build / 'e2e_installer_1_3.exe', planted / 'Orvane Installer' / 'ervast_orvane.exe')
    for dll in PLANTED_DLLS:
        shutil.copy(build / 'e2e_planted.dll', planted / dll)
    shutil.copy(build / 'e2e_control.exe', planted / 'control.exe')
    for folder in (LONG259, LONG258, ODD_FOLDER, QUOTE_FOLDER):
        (discs / 'paths' / folder).mkdir()
        shutil.copy(build / 'OrvaneCD.exe', discs / 'paths' / folder / LAUNCHER)
    shutil.copy(build / 'OrvaneCD.exe', discs / 'paths' / QUOTE_LAUNCHER)
    # A disc laid out by the disc kit, as a disc maker would make it.
    subprocess.run([sys.executable, str(ROOT / 'scripts' / 'make-disc'),
                    str(build / 'e2e_installer_1_3.exe'),
                    str(ROOT / 'tests' / 'e2e' / 'demo-playlist.p4u'), str(discs / 'kit'),
                    '--launcher', str(build / 'OrvaneCD.exe')], check=True,
                   stdout=subprocess.DEVNULL)
    (discs / 'kit.iso').unlink()
    subprocess.run(['chmod', '-R', 'a-w', str(discs)], check=True)


def setup(arch):
    ensure_packages(arch)
    if arch == 'win32':
        ensure_i386_execution()
    STATE.mkdir(parents=True, exist_ok=True)
    (WORK / arch / 'records').mkdir(parents=True, exist_ok=True)
    build = build_fixtures(arch)
    start_xvfb()
    set_display_mode(arch, True)
    if not (prefix(arch) / 'system.reg').exists():
        wine(arch, ['wineboot', '-i'], check=True)
    wine(arch, ['wineboot', '-u'], check=False)
    make_discs(arch, build)
    drive_c = prefix(arch) / 'drive_c'
    for folder in (PLAYER_DIR, NEW_PLAYER_DIR, MACHINE32_DIR):
        target = drive_c / folder[3:].replace('\\', '/')
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy(build / 'e2e_player.exe', target / 'Orvanex.exe')
    shutil.copy(build / 'e2e_runner.exe', WORK / arch / 'runner.exe')
    drives = WORK / arch / 'drives.reg'
    drives.write_text('Windows Registry Editor Version 5.00\n\n'
                      '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"e:"="cdrom"\n')
    wine(arch, ['regedit', '/S', windows_path(drives)], check=True)
    point_drive_e(arch, '1_3')
    print('e2e: %s ready' % arch)


def point_drive_e(arch, disc):
    link = prefix(arch) / 'dosdevices' / 'e:'
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(WORK / arch / 'discs' / disc)


def teardown():
    for arch in ('win32', 'win64'):
        if prefix(arch).exists():
            stop_wineserver(arch)
    pid_file = STATE / 'xvfb.pid'
    if pid_file.exists():
        try:
            os.kill(int(pid_file.read_text()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        pid_file.unlink()
    for marker in STATE.glob('*.display'):
        marker.unlink()
    print('e2e: stopped')


# --- one run ---------------------------------------------------------------

def reg_value(data):
    if isinstance(data, int):
        return 'dword:%08x' % data
    return '"%s"' % data.replace('\\', '\\\\').replace('"', '\\"')


def write_registry(arch, scenario, path):
    lines = ['Windows Registry Editor Version 5.00', '',
             r'[-HKEY_CURRENT_USER\Software\Ervast]',
             r'[-HKEY_LOCAL_MACHINE\Software\Ervast]',
             r'[-HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast]', '']
    for root, values in scenario.registry:
        lines.append('[%s]' % key_path(root, arch))
        lines += ['"%s"=%s' % (name, reg_value(data)) for name, data in values.items()]
        lines.append('')
    path.write_text('\r\n'.join(lines) + '\r\n', encoding='utf-8')


def export_registry(arch, path):
    """The registry as the launcher could change it, without the player's own key."""
    parts = []
    for index, root in enumerate(('HKEY_CURRENT_USER', 'HKEY_LOCAL_MACHINE\\Software')):
        out = path.with_suffix('.part%d' % index)
        if out.exists():
            out.unlink()
        wine(arch, ['regedit', '/E', windows_path(out), root], check=True)
        parts.append(out.read_bytes().decode('utf-16', errors='replace'))
    text = '\n'.join(parts)
    kept, skip = [], False
    for line in text.splitlines():
        if line.startswith('['):
            skip = any(noise in line for noise in REGISTRY_NOISE)
        if not skip:
            kept.append(line)
    return kept


def snapshot_files(arch):
    """Every file in the prefix and on the discs, by size and time of change."""
    seen = {}
    for top in (prefix(arch) / 'drive_c', WORK / arch / 'discs'):
        for folder, _, files in os.walk(top):
            for name in files:
                path = os.path.join(folder, name)
                try:
                    info = os.lstat(path)
                except OSError:
                    continue
                seen[path] = (info.st_size, info.st_mtime_ns)
    return seen


def answer_boxes(arch, runner, answers, deadline):
    """Answers each box as it appears; returns the captions of the boxes seen."""
    env = dict(os.environ, DISPLAY=DISPLAY)
    captions, pending = [], list(answers)
    answered = set()
    while runner.poll() is None:
        if time.time() > deadline:
            runner.kill()
            raise TimeoutError('scenario did not end in time')
        found = subprocess.run(['xdotool', 'search', '--name', 'Orvane'], env=env,
                               capture_output=True, text=True).stdout.split()
        for window in found:
            if window in answered:
                continue
            name = subprocess.run(['xdotool', 'getwindowname', window], env=env,
                                  capture_output=True, text=True).stdout.rstrip('\n')
            captions.append(name)
            key = pending.pop(0) if pending else 'n'
            time.sleep(0.3)
            subprocess.run(['xdotool', 'key', '--window', window, key], env=env,
                           capture_output=True)
            answered.add(window)
        time.sleep(0.2)
    return captions


def prepare_machine(arch, scenario):
    """The display, drive E: and the registry as the scenario wants them."""
    set_display_mode(arch, scenario.display)
    if scenario.display:
        start_xvfb()
    point_drive_e(arch, scenario.disc)
    state_reg = WORK / arch / 'records' / (scenario.name + '.reg')
    write_registry(arch, scenario, state_reg)
    wine(arch, ['regedit', '/S', windows_path(state_reg)], display=scenario.display, check=True)


def read_starts(record, expected):
    """The programs started, from the fixtures' records. The player is not
    waited for by the launcher, so its record may come a moment later."""
    def parse():
        if not record.exists():
            return []
        starts = []
        for line in record.read_bytes().decode('cp1252').splitlines():
            kind, _, text = line.partition('\t')
            if kind in ('player', 'installer', 'planted'):
                starts.append((kind, text))
        return starts

    deadline = time.time() + 20
    while len(parse()) < expected and time.time() < deadline:
        time.sleep(0.2)
    time.sleep(1.0)  # room for a start that should not have happened
    return parse()


def run(arch, name):
    scenario = find(name)
    records = WORK / arch / 'records'
    record, result, trace = (records / (name + suffix) for suffix in ('.txt', '.exit', '.trace'))
    for path in (record, result, trace):
        if path.exists():
            path.unlink()

    prepare_machine(arch, scenario)
    registry_before = export_registry(arch, records / (name + '.before'))
    files_before = snapshot_files(arch)

    env = wine_env(arch, scenario.display, {
        'ORVANE_E2E_COMMAND': scenario.command,
        'ORVANE_E2E_RECORD': windows_path(record),
        'ORVANE_E2E_INSTALLER': scenario.installer,
        'WINEDEBUG': '-all,+msgbox',
    })
    if scenario.dll_overrides:
        env['WINEDLLOVERRIDES'] += ';' + scenario.dll_overrides

    started_at = time.time()
    with open(trace, 'wb') as err:
        runner = subprocess.Popen([WINE64, str(WORK / arch / 'runner.exe'), windows_path(result)],
                                  env=env, stdout=err, stderr=err)
        try:
            captions = answer_boxes(arch, runner, scenario.answers,
                                    started_at + SCENARIO_TIMEOUT)
        finally:
            if runner.poll() is None:
                runner.kill()
    elapsed = time.time() - started_at

    failures = []
    exit_text = result.read_text().split(maxsplit=1)[0] if result.exists() else '(none)'
    expected_exit = '0x%08X' % (scenario.exit_code & 0xFFFFFFFF)
    if exit_text != expected_exit:
        failures.append('exit code %s, expected %s' % (exit_text, expected_exit))

    trace_text = trace.read_bytes().decode('utf-8', errors='replace')
    texts = [t.encode().decode('unicode_escape') for t in
             re.findall(r'MSGBOX_OnInit L"(.*?)"', trace_text)]
    if texts != scenario.prompts:
        failures.append('prompts %r, expected %r' % (texts, scenario.prompts))
    if any(c != CAPTION for c in captions) or len(captions) != len(scenario.prompts):
        failures.append('box captions %r' % captions)

    started = read_starts(record, len(scenario.started))
    if started != scenario.started:
        failures.append('started %r, expected %r' % (started, scenario.started))

    files_after = snapshot_files(arch)
    changed = sorted(p for p in set(files_before) | set(files_after)
                     if files_before.get(p) != files_after.get(p))
    if changed:
        failures.append('files changed: %s' % changed[:5])
    registry_after = export_registry(arch, records / (name + '.after'))
    if registry_before != registry_after:
        before = set(registry_before)
        diff = [line for line in registry_after if line not in before][:5]
        failures.append('registry changed: %s' % diff)

    print('e2e %s %s: %.1f s, exit %s, started %d, prompts %d' %
          (arch, name, elapsed, exit_text, len(started), len(texts)))
    for failure in failures:
        print('  FAIL', failure)
    return 1 if failures else 0


def screenshots(out_dir):
    """Shows both prompts under Xvfb and saves each box as a PNG file."""
    arch = 'win64'
    if shutil.which('import') is None or not installed('imagemagick'):
        apt_install(['imagemagick'])
    out_dir.mkdir(parents=True, exist_ok=True)
    shots = [('prompt-install.png', Scenario('shot_install', '1_3', [], 1, [])),
             ('prompt-update.png', Scenario('shot_update', '1_3', registered(), 0, []))]
    env_x = dict(os.environ, DISPLAY=DISPLAY)
    for file_name, scenario in shots:
        prepare_machine(arch, scenario)
        env = wine_env(arch, True, {'ORVANE_E2E_COMMAND': scenario.command,
                                    'ORVANE_E2E_INSTALLER': 'exit=1'})
        runner = subprocess.Popen([WINE64, str(WORK / arch / 'runner.exe'),
                                   windows_path(WORK / arch / 'records' / 'shot.exit')],
                                  env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = None
        for _ in range(150):
            found = subprocess.run(['xdotool', 'search', '--name', CAPTION], env=env_x,
                                   capture_output=True, text=True).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.2)
        if window is None:
            runner.kill()
            raise SystemExit('e2e: no prompt appeared for %s' % file_name)
        time.sleep(1.0)  # let the box paint
        subprocess.run(['import', '-window', window, str(out_dir / file_name)], env=env_x,
                       check=True)
        subprocess.run(['xdotool', 'key', '--window', window, 'n'], env=env_x)
        runner.wait(timeout=60)
        print('e2e: saved', out_dir / file_name)


def main(argv):
    if len(argv) == 3 and argv[1] == 'list':
        print('\n'.join(s.name for s in scenarios() if s.only in ('', argv[2])))
        return 0
    if len(argv) == 3 and argv[1] == 'setup':
        setup(argv[2])
        return 0
    if len(argv) == 4 and argv[1] == 'run':
        return run(argv[2], argv[3])
    if len(argv) == 2 and argv[1] == 'screenshots':
        setup('win64')
        screenshots(ROOT / 'docs')
        return 0
    if len(argv) == 2 and argv[1] == 'teardown':
        teardown()
        return 0
    print(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
