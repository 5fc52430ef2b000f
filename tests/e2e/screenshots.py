"""Shows both prompts under Xvfb and saves each box as a PNG file (docs/)."""
import shutil
import subprocess
import time

from run import prepare_machine, start_runner
from scenarios import CAPTION, Scenario, registered

SHOTS = [('prompt-install.png', Scenario(name='shot_install', exit_code=1)),
         ('prompt-update.png', Scenario(name='shot_update', registry=registered(), exit_code=0))]


def take(tier, out_dir):
    if shutil.which('import') is None:
        raise SystemExit('e2e: ImageMagick is missing: run scripts/setup test')
    out_dir.mkdir(parents=True, exist_ok=True)
    for file_name, scenario in SHOTS:
        scenario.installer = 'exit=1'
        prepare_machine(tier, scenario)
        runner = start_runner(tier, scenario, tier.records / 'shot.exit')
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
