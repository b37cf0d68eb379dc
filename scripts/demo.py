"""The demo's run and summary; scripts/demo prepares the build first."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, 'tests'))
import harness  # noqa: E402
from scenario import INSTALLER_PATH, Scenario  # noqa: E402


def mib(n):
    return n / (1 << 20)


def screenshot_while_running(scenario, target):
    """Starts the launcher interactively, photographs its dialog once the bar
    moves, and waits for the run to end."""
    env = harness.wine_env({'FAKE_INSTALLER_LOG': harness.winpath(scenario.installer_log)})
    launcher = subprocess.Popen(['wine', harness.program('runexit.exe'),
                                 '"%s"' % harness.winpath(scenario.launcher)],
                                env=env, stdout=subprocess.PIPE)
    driver = harness.program('uidriver.exe')
    subprocess.run(['wine', driver, 'wait-window', '#32770', 'Preparing setup...', '60000'],
                   env=env, capture_output=True)
    shot = subprocess.run(['import', '-window', 'root', target + '.full.png'], capture_output=True)
    out = launcher.communicate(timeout=600)[0].decode()
    if shot.returncode == 0:
        subprocess.run(['convert', target + '.full.png', '-trim', target], capture_output=True)
        os.remove(target + '.full.png')
    code = int(out.split('exit=0x')[1][:8], 16) if 'exit=0x' in out else None
    return code


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--interactive', action='store_true')
    parser.add_argument('--size', type=int, default=32, help='installer size in MiB')
    args = parser.parse_args()

    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix='quillo-demo-')
    try:
        print('Preparing a signed demo installer (%d MiB) and a signed, stamped launcher...'
              % args.size)
        scenario = Scenario(folder, installer_size=args.size << 20)
        with scenario:
            svc = scenario.service
            print('Local service on https://localhost:%d (test CA trusted in the Wine prefix)'
                  % svc.https_port)
            if args.interactive:
                shot = os.path.join(SOURCE, 'docs', 'demo-dialog.png')
                os.makedirs(os.path.dirname(shot), exist_ok=True)
                code = screenshot_while_running(scenario, shot)
                report = None
            else:
                code, report, _ = scenario.run_silent(report_text='Quillo installed.\r\n')
            log = svc.log()
            address = 'GET:' + scenario.installer_url()
        ask = [e for e in log if e['path'] == '/getinstaller']
        fetch = [e for e in log if e['path'] == INSTALLER_PATH]
        size = os.path.getsize(scenario.installer)

        print()
        print('Service exchange')
        for e in ask:
            print('  GET /getinstaller?%s' % e['query'])
            print('      -> %s %s' % (e['status'], address))
        print('Download')
        sent = sum(e['body_sent'] for e in fetch)
        if fetch:
            seconds = max(e['finished'] for e in fetch) - min(e['started'] for e in fetch)
            print('  %d request(s), %.1f MiB of %.1f MiB, %.2f s, %.1f MiB/s'
                  % (len(fetch), mib(sent), mib(size), seconds, mib(sent) / max(seconds, 1e-6)))
        ran = os.path.exists(scenario.installer_log)
        print('Verification')
        print('  signer "Pellorand" by "GlobalSign ObjectSign CA" and Authenticode signature: %s'
              % ('accepted' if ran else 'not accepted (installer not run)'))
        print('Main installer')
        if ran:
            with open(scenario.installer_log, encoding='utf-8') as f:
                for line in f:
                    print('  ' + line.rstrip())
            print('  exit code 0')
        else:
            print('  did not run')
        if report is not None:
            print('Report file')
            print('  %r' % report.decode(errors='replace'))
        if args.interactive:
            print('Screenshot of the dialog: docs/demo-dialog.png')
        print('Launcher exit code: 0x%08x' % code if code is not None else 'Launcher: no exit code')
        print('Total time: %.1f s' % (time.monotonic() - started))
        return 0 if code == 0 else 1
    finally:
        subprocess.run(['wineserver', '-k'], env=harness.wine_env(), capture_output=True)
        shutil.rmtree(folder, True)


if __name__ == '__main__':
    sys.exit(main())
