"""Shows both prompts under Xvfb and saves each box as a PNG file (docs/)."""
import shutil
import subprocess
import time

CAPTION = 'Orvane PlayList CD'
V1_2 = 0x00010002
# file, registered version (None: no player, so the installation prompt)
SHOTS = [('prompt-install.png', None), ('prompt-update.png', V1_2)]


def take(tier, out_dir):
    if shutil.which('import') is None:
        raise SystemExit('e2e: ImageMagick is missing: run scripts/setup test')
    out_dir.mkdir(parents=True, exist_ok=True)
    tier.make_disc(tier.dir / 'shot-disc')
    for file_name, version in SHOTS:
        tier.register_player(version)
        runner = tier.start_runner('E:\\OrvaneCD.exe', tier.records / 'shot.exit',
                                   installer='exit=1')
        window = None
        for _ in range(150):
            found = tier.xdotool(['search', '--name', CAPTION]).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.2)
        if window is None:
            runner.kill()
            raise SystemExit('e2e: no prompt appeared for %s' % file_name)
        time.sleep(1.0)  # let the box paint
        subprocess.run(['import', '-window', window, str(out_dir / file_name)],
                       env=tier.env(), check=True)
        tier.xdotool(['key', '--window', window, 'n'])
        runner.wait(timeout=60)
        print('e2e: saved', out_dir / file_name)
    tier.register_player(None)
