"""The Wine machine of one tier (win32: the shipped PE32 under the 32-bit
loader; win64: the PE32+ under wine64). Each tier has its own prefix, its own
Xvfb display and so its own wineserver, so the two tiers can run side by side:
drive E: (a read-only folder a disc, of type CD-ROM), the registry as a
scenario wants it, and what a run may not change (files and registry)."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / 'build' / 'e2e'
WINE64 = '/usr/lib/wine/wine64'
WINE32 = '/usr/lib/wine/wine'
WINESERVER = '/usr/lib/wine/wineserver'
DISPLAYS = {'win32': ':97', 'win64': ':98'}
LAUNCHER = 'OrvaneCD.exe'
# Keys that the stand-in installer writes, and keys Wine itself rewrites as it
# starts its services; everything else must come out of a run unchanged.
REGISTRY_NOISE = ('\\Software\\Ervast', '\\WOW6432Node\\Ervast', 'Volatile Environment',
                  'HKEY_CURRENT_USER\\Software\\Wine\\', '\\NetworkCards\\')


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
        self.dir = WORK / arch
        self.prefix = self.dir / 'prefix'
        self.discs = self.dir / 'discs'
        self.records = self.dir / 'records'
        self.build = ROOT / 'build' / arch
        self.display = DISPLAYS[arch]

    # --- Wine ----------------------------------------------------------------

    def env(self, display=True, extra=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith('ORVANE_E2E_')}
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG='-all', LC_ALL='C.UTF-8',
                   QEMU_RESERVED_VA='0x81000000', WINEDLLOVERRIDES='mscoree,mshtml=')
        env.pop('DISPLAY', None)
        if display:
            env['DISPLAY'] = self.display
        env.update(extra or {})
        return env

    def wine(self, args, display=True, check=False):
        """Runs a Wine tool (regedit, wineboot). The first program of a new
        wineserver session now and then fails for no reason of its own, so a
        failed call is tried again; the tools used here are safe to repeat."""
        with open(self.dir / 'wine.log', 'ab') as out:
            for _ in range(3):
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
        """Wine's desktop takes the display when a wineserver session starts."""
        marker = self.dir / 'display-mode'
        want = 'on' if display else 'off'
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
        """`disc`: one of the tier's discs by name, or any folder."""
        link = self.prefix / 'dosdevices' / 'e:'
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(disc if isinstance(disc, Path) else self.discs / disc)

    def import_registry(self, reg_file, display=True):
        self.wine(['regedit', '/S', windows_path(reg_file)], display=display, check=True)

    def export_registry(self, path):
        """The registry as the launcher could change it, without the player's
        own key and Wine's own noise: the user's whole hive and the machine's
        software keys but for the COM class registrations (9 MB that take
        twelve seconds to export, twice a scenario). The PE check covers them:
        the launcher imports no call that could write the registry."""
        roots = self.registry_roots()
        parts = [path.with_suffix('.part%d' % i) for i in range(len(roots))]
        for part in parts:
            if part.exists():
                part.unlink()
        # One Wine start for all exports.
        batch = path.with_suffix('.bat')
        batch.write_text(''.join('regedit /E "%s" "%s"\r\n' % (windows_path(part), root)
                                 for part, root in zip(parts, roots)))
        self.wine(['cmd', '/c', windows_path(batch)], check=True)
        # A batch hides a failed line (the first programs of a new wineserver
        # session now and then fail); such a part is exported again alone.
        for part, root in zip(parts, roots):
            if not part.exists():
                self.wine(['regedit', '/E', windows_path(part), root], check=True)
        text = '\n'.join(part.read_bytes().decode('utf-16', errors='replace') for part in parts)
        kept, skip = [], False
        for line in text.splitlines():
            if line.startswith('['):
                skip = any(noise in line for noise in REGISTRY_NOISE)
            if not skip:
                kept.append(line)
        return kept

    def registry_roots(self):
        """HKEY_CURRENT_USER and each key under the machine's Software (and its
        32-bit view) but Classes; listed once a prefix, from one full export."""
        listing = self.dir / 'registry-roots.txt'
        if listing.exists():
            return listing.read_text().splitlines()
        full = self.dir / 'software.reg'
        self.wine(['regedit', '/E', windows_path(full), 'HKEY_LOCAL_MACHINE\\Software'],
                  check=True)
        roots = ['HKEY_CURRENT_USER']
        for line in full.read_bytes().decode('utf-16', errors='replace').splitlines():
            parts = line[1:-1].split('\\') if line.startswith('[') else []
            wow = len(parts) == 4 and parts[2].lower() == 'wow6432node'
            if (len(parts) == 3 and parts[2].lower() not in ('classes', 'wow6432node')) or \
                    (wow and parts[3].lower() != 'classes'):
                roots.append(line[1:-1])
        full.unlink()
        listing.write_text('\n'.join(roots))
        return roots

    def snapshot_files(self):
        """Every file in the prefix's drive C: and on the discs, by size and time."""
        seen = {}
        for top in (self.prefix / 'drive_c', self.discs):
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

    def setup(self, discs, installed_folders):
        """Builds the fixtures, makes the prefix (kept between runs) and lays
        out the discs: `discs(tier)` writes them under self.discs."""
        require_tools(self.arch)
        if self.arch == 'win32' and subprocess.run([WINE32, '--version'], capture_output=True,
                                                   env=self.env()).returncode != 0:
            raise SystemExit('e2e: the 32-bit Wine loader does not run: run scripts/setup test')
        self.records.mkdir(parents=True, exist_ok=True)
        self.build_fixtures()
        self.set_display_mode(True)
        self.start_xvfb()
        if not (self.prefix / 'system.reg').exists():
            self.wine(['wineboot', '-i'], check=True)
        self.start_wineserver()
        self.wine(['wineboot', '-u'])
        if self.discs.exists():
            subprocess.run(['chmod', '-R', 'u+w', str(self.discs)], check=True)
            shutil.rmtree(self.discs)
        discs(self)
        subprocess.run(['chmod', '-R', 'a-w', str(self.discs)], check=True)
        for folder in installed_folders:
            target = self.prefix / 'drive_c' / folder[3:].replace('\\', '/')
            target.mkdir(parents=True, exist_ok=True)
            shutil.copy(self.build / 'e2e_player.exe', target / 'Orvanex.exe')
        shutil.copy(self.build / 'e2e_runner.exe', self.dir / 'runner.exe')
        drives = self.dir / 'drives.reg'
        drives.write_text('Windows Registry Editor Version 5.00\n\n'
                          '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"e:"="cdrom"\n')
        self.import_registry(drives)
        print('e2e: %s ready on display %s' % (self.arch, self.display))

    def build_fixtures(self):
        subprocess.run(['cmake', '--preset', self.arch], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(['cmake', '--build', str(self.build), '--target', 'OrvaneCD',
                        'e2e_fixtures'], check=True, stdout=subprocess.DEVNULL)

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


def make_kit_disc(build, target):
    """A disc laid out by the disc kit, as a disc maker would make it, with the
    launcher signed by a throwaway certificate (Wine ignores signatures: the
    disc shows that the signed file still runs and behaves the same)."""
    sys.path.insert(0, str(ROOT / 'tests'))
    import throwaway_certificates
    password = 'e2e-kit'
    with tempfile.TemporaryDirectory() as certs:
        pfx = throwaway_certificates.make(certs, password)['signing']
        subprocess.run([sys.executable, str(ROOT / 'scripts' / 'make-disc'),
                        str(build / 'e2e_installer_1_3.exe'),
                        str(ROOT / 'tests' / 'e2e' / 'demo-playlist.p4u'), str(target),
                        '--launcher', str(build / LAUNCHER), '--sign', str(pfx)], check=True,
                       stdout=subprocess.DEVNULL,
                       env=dict(os.environ, ORVANE_SIGN_PASSWORD=password))
    target.with_suffix('.iso').unlink()
