"""Shows both prompts under Xvfb, each in a Wine virtual desktop (which draws
the box's frame and caption as a person sees them), and saves each box as a
PNG file (docs/), cut out of the desktop's plain background."""
import shutil
import subprocess
import time

V1_2 = 0x00010002
# file, registered version (None: no player, so the installation prompt)
SHOTS = [('prompt-install.png', None), ('prompt-update.png', V1_2)]


def take(tier, out_dir):
    if shutil.which('import') is None:
        raise SystemExit('e2e: ImageMagick is missing: run scripts/setup test')
    out_dir.mkdir(parents=True, exist_ok=True)
    tier.make_disc(tier.dir / 'shot-disc')
    for file_name, version in SHOTS:
        tier.stop_wineserver()  # each desktop in a session of its own
        tier.start_wineserver()
        tier.register_player(version)
        if (tier.records / 'shot.exit').exists():
            (tier.records / 'shot.exit').unlink()
        runner = tier.start_runner('E:\\OrvaneCD.exe', tier.records / 'shot.exit',
                                   installer='exit=1', desktop='shots')
        window = None
        for _ in range(150):
            found = tier.xdotool(['search', '--name', 'shots - Wine desktop']).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.2)
        if window is None:
            runner.kill()
            raise SystemExit('e2e: no desktop appeared for %s' % file_name)
        time.sleep(3.0)  # let the box come up and paint
        subprocess.run(['import', '-window', window, '-trim', '+repage',
                        str(out_dir / file_name)], env=tier.env(), check=True)
        # The box has the desktop's focus; the desktop outlives the runner.
        tier.xdotool(['windowactivate', '--sync', window])
        tier.xdotool(['key', 'n'])
        for _ in range(150):
            if (tier.records / 'shot.exit').exists():
                break
            time.sleep(0.2)
        runner.kill()
        print('e2e: saved', out_dir / file_name)
    tier.register_player(None)
