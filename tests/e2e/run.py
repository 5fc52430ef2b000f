"""One scenario on one tier: the machine set up as the scenario says, the
launcher started by the Windows-side runner (which reads its full 32-bit exit
code), the boxes answered as they appear, and then every check: exit code,
prompt texts and captions, programs started and their current folder, and
nothing written to the files or the registry."""
import re
import subprocess
import time

from machine import WINE64, windows_path
from scenarios import CAPTION

SCENARIO_TIMEOUT = 240
# AutoPlay starts the launcher in the disc's root; the player inherits that.
DISC_ROOT = 'E:\\'


def reg_value(data):
    if isinstance(data, int):
        return 'dword:%08x' % data
    return '"%s"' % data.replace('\\', '\\\\').replace('"', '\\"')


def key_path(root, arch):
    if root == 'HKCU':
        return r'HKEY_CURRENT_USER\Software\Ervast\Orvane'
    if root == 'HKLM32' or (root == 'HKLM' and arch == 'win32'):
        return r'HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast\Orvane'
    return r'HKEY_LOCAL_MACHINE\Software\Ervast\Orvane'


def write_registry(arch, registry, path):
    lines = ['Windows Registry Editor Version 5.00', '',
             r'[-HKEY_CURRENT_USER\Software\Ervast]',
             r'[-HKEY_LOCAL_MACHINE\Software\Ervast]',
             r'[-HKEY_LOCAL_MACHINE\Software\WOW6432Node\Ervast]', '']
    for root, values in registry:
        lines.append('[%s]' % key_path(root, arch))
        lines += ['"%s"=%s' % (name, reg_value(data)) for name, data in values.items()]
        lines.append('')
    path.write_text('\r\n'.join(lines) + '\r\n', encoding='utf-8')


def prepare_machine(tier, scenario):
    """The display, drive E: and the registry as the scenario wants them."""
    tier.set_display_mode(scenario.display)
    tier.start_wineserver()
    tier.point_drive_e(scenario.disc)
    state = tier.records / (scenario.name + '.reg')
    write_registry(tier.arch, scenario.registry, state)
    tier.import_registry(state, display=scenario.display)


def start_runner(tier, scenario, result, record=None, trace=None):
    """The runner starts the launcher in Unicode, in the disc's root."""
    env = tier.env(scenario.display, {
        'ORVANE_E2E_COMMAND': scenario.command,
        'ORVANE_E2E_FOLDER': DISC_ROOT,
        'ORVANE_E2E_RECORD': windows_path(record) if record else '',
        'ORVANE_E2E_INSTALLER': scenario.installer,
        'WINEDEBUG': '-all,+msgbox',
    })
    if scenario.dll_overrides:
        env['WINEDLLOVERRIDES'] += ';' + scenario.dll_overrides
    out = open(trace, 'wb') if trace else subprocess.DEVNULL
    return subprocess.Popen([WINE64, str(tier.dir / 'runner.exe'), windows_path(result)],
                            env=env, stdout=out, stderr=out)


class Hung(Exception):
    pass


def answer_boxes(tier, runner, answers, deadline):
    """Answers each box as it appears; returns the captions of the boxes seen."""
    captions, pending, answered = [], list(answers), set()
    while runner.poll() is None:
        if time.time() > deadline:
            raise Hung()
        for window in tier.xdotool(['search', '--name', 'Orvane']).stdout.split():
            if window in answered:
                continue
            captions.append(tier.xdotool(['getwindowname', window]).stdout.rstrip('\n'))
            key = pending.pop(0) if pending else 'n'
            time.sleep(0.3)
            tier.xdotool(['key', '--window', window, key])
            answered.add(window)
        time.sleep(0.2)
    return captions


def read_records(record, expected):
    """The programs started, from the fixtures' records. The player is not
    waited for by the launcher, so its record may come a moment later."""
    def parse():
        if not record.exists():
            return []
        return [tuple(line.partition('\t')[::2])
                for line in record.read_bytes().decode('cp1252').splitlines()]

    def starts(records):
        return [r for r in records if r[0] in ('player', 'installer', 'planted')]

    deadline = time.time() + 20
    while len(starts(parse())) < expected and time.time() < deadline:
        time.sleep(0.2)
    time.sleep(1.0)  # room for a start that should not have happened
    records = parse()
    return starts(records), [text for kind, text in records if kind == 'player-folder']


def run(tier, scenario):
    record, result, trace = (tier.records / (scenario.name + suffix)
                             for suffix in ('.txt', '.exit', '.trace'))
    for path in (record, result, trace):
        if path.exists():
            path.unlink()

    prepare_machine(tier, scenario)
    registry_before = tier.export_registry(tier.records / (scenario.name + '.before'))
    files_before = tier.snapshot_files()

    failures = []
    started_at = time.time()
    runner = start_runner(tier, scenario, result, record, trace)
    try:
        captions = answer_boxes(tier, runner, scenario.answers, started_at + SCENARIO_TIMEOUT)
    except Hung:
        titles = tier.window_titles()
        runner.kill()
        tier.stop_wineserver()
        print('e2e %s %s: FAIL hung: waited %.0f s; windows on %s: %r' %
              (tier.arch, scenario.name, time.time() - started_at, tier.display, titles))
        return 1
    elapsed = time.time() - started_at

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

    started, folders = read_records(record, len(scenario.started))
    if started != scenario.started:
        failures.append('started %r, expected %r' % (started, scenario.started))
    players = sum(1 for kind, _ in started if kind == 'player')
    if folders != [DISC_ROOT] * players:
        failures.append('player folders %r, expected %s' % (folders, DISC_ROOT))

    files_after = tier.snapshot_files()
    changed = sorted(p for p in set(files_before) | set(files_after)
                     if files_before.get(p) != files_after.get(p))
    if changed:
        failures.append('files changed: %s' % changed[:5])
    registry_after = tier.export_registry(tier.records / (scenario.name + '.after'))
    if registry_before != registry_after:
        before = set(registry_before)
        diff = [line for line in registry_after if line not in before][:5]
        failures.append('registry changed: %s' % diff)

    print('e2e %s %s: %.1f s, exit %s, started %d, prompts %d' %
          (tier.arch, scenario.name, elapsed, exit_text, len(started), len(texts)))
    for failure in failures:
        print('  FAIL', failure)
    if failures:  # what the fixtures recorded and Wine said, to tell why
        print('  record:', record.read_text(encoding='cp1252') if record.exists() else '(none)')
        print('  trace:', '\n  '.join(trace_text.splitlines()[-5:]))
    return 1 if failures else 0
