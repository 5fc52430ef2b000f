"""The Wine machine of one tier (win32: the shipped PE32; win64: the PE32+).
Each tier has its own prefix, its own Xvfb display and so its own wineserver,
so the two tiers can run side by side: drive E: of type CD-ROM over a folder,
and what a run may not change in the prefix's files."""
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / 'build' / 'e2e'
WINE64 = '/usr/lib/wine/wine64'
WINE32 = '/usr/lib/wine/wine'
WINESERVER = '/usr/lib/wine/wineserver'
# tier: build, display, locale (Wine's ANSI code page follows the locale:
# 1252 under C.UTF-8, 932 under ja_JP.UTF-8). win32ja and the fallback tiers
# share the prefix, display and wineserver of their build's tier, one after
# the other.
TIERS = {'win32': ('win32', ':97', 'C.UTF-8'), 'win64': ('win64', ':98', 'C.UTF-8'),
         'win32ja': ('win32', ':97', 'ja_JP.UTF-8'),
         'win32fallback': ('win32', ':97', 'C.UTF-8'),
         'win64fallback': ('win64', ':98', 'C.UTF-8')}
LAUNCHER = 'OrvaneCD.exe'
def windows_path(path):
    return 'Z:' + str(path).replace('/', '\\')


def require_tools(arch):
    """The packages come from `scripts/setup test`; a missing one is named."""
    tools = [WINE64, WINESERVER, shutil.which('Xvfb'), shutil.which('xdotool')]
    if arch == 'win32':
        tools.append(WINE32)
    if not all(tool and os.path.exists(tool) for tool in tools):
        raise SystemExit('e2e: Wine, Xvfb or xdotool is missing: run scripts/setup test')


class Tier:
    def __init__(self, arch):
        self.arch = arch
        build, self.display, self.locale = TIERS[arch]
        self.dir = WORK / build
        self.prefix = self.dir / 'prefix'
        self.records = self.dir / 'records'
        self.build = ROOT / 'build' / build

    # --- Wine ----------------------------------------------------------------

    def env(self, display=True, extra=None):
        # E2E_WINEDEBUG=+actctx,+loaddll (say) puts Wine's traces into the logs.
        env = {k: v for k, v in os.environ.items() if not k.startswith('ORVANE_E2E_')}
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG=os.environ.get('E2E_WINEDEBUG', '-all'),
                   LC_ALL=self.locale, LANG=self.locale,
                   QEMU_RESERVED_VA='0x81000000', WINEDLLOVERRIDES='mscoree,mshtml=')
        env.pop('DISPLAY', None)
        if display:
            env['DISPLAY'] = self.display
        env.update(extra or {})
        return env

    def wine(self, args, display=True, check=False, tries=3):
        """Runs a Wine tool (regedit, wineboot). The first program of a new
        wineserver session now and then fails for no reason of its own, so a
        failed call is tried again; the tools used here are safe to repeat."""
        with open(self.dir / 'wine.log', 'ab') as out:
            for _ in range(tries):
                result = subprocess.run([WINE64] + args, env=self.env(display), stdout=out,
                                        stderr=out)
                if result.returncode == 0:
                    return result
                time.sleep(1)
        if check:
            raise subprocess.CalledProcessError(result.returncode, [WINE64] + args)
        return result

    def start_wineserver(self):
        """A persistent wineserver: Wine's services then start once a session,
        not once a program."""
        with open(self.dir / 'wine.log', 'ab') as out:  # never a pipe: the server outlives us
            subprocess.run([WINESERVER, '-p'], env=self.env(), stdout=out, stderr=out)

    def stop_wineserver(self):
        env = self.env()
        subprocess.run([WINESERVER, '-k'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, '-w'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def set_display_mode(self, display):
        """Wine's desktop takes the display, and Wine its code page from the
        locale, when a wineserver session starts."""
        marker = self.dir / 'display-mode'
        want = '%s %s' % ('on' if display else 'off', self.locale)
        if marker.exists() and marker.read_text() == want:
            return
        self.stop_wineserver()
        marker.write_text(want)
        if display:
            self.start_xvfb()

    # --- the display ---------------------------------------------------------

    def start_xvfb(self):
        pid_file = self.dir / 'xvfb.pid'
        if pid_file.exists():
            try:
                os.kill(int(pid_file.read_text()), 0)
                return
            except (OSError, ValueError):
                pass
        log = open(self.dir / 'xvfb.log', 'wb')
        xvfb = subprocess.Popen(['Xvfb', self.display, '-screen', '0', '1024x768x24',
                                 '-nolisten', 'tcp'], stdout=log, stderr=log,
                                start_new_session=True)
        pid_file.write_text(str(xvfb.pid))
        for _ in range(50):
            if self.xdotool(['getmouselocation']).returncode == 0:
                return
            time.sleep(0.1)
        raise SystemExit('e2e: Xvfb did not start on %s' % self.display)

    def xdotool(self, args):
        return subprocess.run(['xdotool'] + args, env=dict(os.environ, DISPLAY=self.display),
                              capture_output=True, text=True)

    def window_titles(self):
        found = self.xdotool(['search', '--onlyvisible', '--name', '.']).stdout.split()
        titles = [self.xdotool(['getwindowname', w]).stdout.strip() for w in found]
        return [t for t in titles if t]

    # --- drive E: and the registry -------------------------------------------

    def point_drive_e(self, disc):
        link = self.prefix / 'dosdevices' / 'e:'
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(disc)

    def import_registry(self, reg_file, display=True):
        self.wine(['regedit', '/S', windows_path(reg_file)], display=display, check=True)

    # --- the common path, for the benchmark and the screenshots ----------------

    def make_disc(self, disc, programs=()):
        """A disc folder with the launcher, the playlist, the 1.3 installer and
        `programs` ((source, name) pairs); drive E: is pointed at it."""
        if disc.exists():
            shutil.rmtree(disc)
        (disc / 'Orvane Installer').mkdir(parents=True)
        (disc / 'CDPlayList.p4u').write_text('#playlist\n')
        shutil.copy(self.build / 'e2e_installer_1_3.exe',
                    disc / 'Orvane Installer' / 'ervast_orvane.exe')
        for source, name in ((self.build / LAUNCHER, LAUNCHER),) + tuple(programs):
            shutil.copy(source, disc / name)
        self.point_drive_e(disc)

    def register_player(self, version):
        """The stand-in player installed under Program Files and registered for
        the user with `version` (None: not registered)."""
        folder = self.prefix / 'drive_c' / 'Program Files' / 'Orvane Player'
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(self.build / 'e2e_player.exe', folder / 'Orvanex.exe')
        lines = ['Windows Registry Editor Version 5.00', '', r'[-HKEY_CURRENT_USER\Software\Ervast]']
        if version is not None:
            lines += ['', r'[HKEY_CURRENT_USER\Software\Ervast\Orvane]',
                      r'"AppDir"="C:\\Program Files\\Orvane Player"',
                      '"PlayerVersion"=dword:%08x' % version, '"AutorunPlayListCDs"=dword:1']
        reg = self.records / 'player.reg'
        reg.write_text('\r\n'.join(lines) + '\r\n')
        self.import_registry(reg)

    def start_runner(self, command, result, record=None, installer='', desktop=None):
        """The launcher (or another program) started by the Windows-side runner
        in the disc's root, in Unicode; it writes the full exit code and the
        microseconds to `result`, and what Wine prints to runner.log. With
        `desktop` (a name), inside a Wine virtual desktop of that name, which
        draws the windows' frames."""
        # Copied once: rewriting the program in place at every start would
        # change a file Wine may still hold for the runner that just ended.
        runner, built = self.dir / 'runner.exe', self.build / 'e2e_runner.exe'
        if not runner.exists() or runner.read_bytes() != built.read_bytes():
            shutil.copy(built, runner)
        env = self.env(True, {'ORVANE_E2E_COMMAND': command, 'ORVANE_E2E_FOLDER': 'E:\\',
                              'ORVANE_E2E_RECORD': windows_path(record) if record else '',
                              'ORVANE_E2E_INSTALLER': installer})
        inside = ['explorer', '/desktop=%s,640x480' % desktop] if desktop else []
        with open(self.dir / 'runner.log', 'wb') as log:  # never a pipe: see wine()
            return subprocess.Popen([WINE64] + inside + [str(runner), windows_path(result)],
                                    env=env, stdout=log, stderr=log)

    def snapshot_files(self):
        """Every file in the prefix's drive C:, by size and time."""
        seen = {}
        for top in (self.prefix / 'drive_c',):
            for folder, _, files in os.walk(top):
                for name in files:
                    path = os.path.join(folder, name)
                    try:
                        info = os.lstat(path)
                    except OSError:
                        continue
                    seen[path] = (info.st_size, info.st_mtime_ns)
        return seen

    # --- setting up and ending ------------------------------------------------

    def setup(self):
        """Makes the prefix (kept between runs), starts the display and the
        wineserver, and makes drive E: a CD-ROM drive."""
        require_tools(self.arch)
        if subprocess.run([WINE32, '--version'], capture_output=True,
                          env=self.env()).returncode != 0:
            raise SystemExit('e2e: the 32-bit Wine loader does not run: run scripts/setup test')
        self.records.mkdir(parents=True, exist_ok=True)
        self.set_display_mode(True)
        self.start_xvfb()
        if not (self.prefix / 'system.reg').exists():
            self.wine(['wineboot', '-i'], check=True)
        self.start_wineserver()
        self.wine(['wineboot', '-u'])
        drives = self.dir / 'drives.reg'
        drives.write_text('Windows Registry Editor Version 5.00\n\n'
                          '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"e:"="cdrom"\n')
        self.import_registry(drives)
        print('e2e: %s ready on display %s' % (self.arch, self.display))

    def teardown(self):
        if self.prefix.exists():
            self.stop_wineserver()
        pid_file = self.dir / 'xvfb.pid'
        if pid_file.exists():
            try:
                os.kill(int(pid_file.read_text()), signal.SIGTERM)
            except (OSError, ValueError):
                pass
            pid_file.unlink()
        marker = self.dir / 'display-mode'
        if marker.exists():
            marker.unlink()
        print('e2e: %s stopped' % self.arch)
