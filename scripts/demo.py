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
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'ui'))
import harness  # noqa: E402
import screenshot  # noqa: E402
import uitest  # noqa: E402
from scenario import INSTALLER_PATH, Scenario  # noqa: E402


def mib(n):
    return n / (1 << 20)


def run_interactive(scenario, target):
    """Runs the launcher with its dialog, photographs the dialog while the
    installer downloads, and returns the launcher's exit code."""
    screenshot.allow_decorations()
    # Slow enough that the bar can be caught in the middle.
    scenario.service.set_faults(INSTALLER_PATH, [{'type': 'trickle', 'bytes': 262144, 'ms': 20}])
    env = {'FAKE_INSTALLER_LOG': harness.winpath(scenario.installer_log)}
    program = uitest.Program(uitest.launcher_command(scenario.launcher), env)
    try:
        screenshot.capture_dialog(program, target, scenario.folder)
        return program.wait(timeout=600)
    finally:
        program.stop()


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
        scenario = Scenario(folder, installer_size=args.size << 20,
                            name=screenshot.NAME if args.interactive else 'QuilloSetup.exe')
        with scenario:
            svc = scenario.service
            print('Local service on https://localhost:%d (test CA trusted in the Wine prefix)'
                  % svc.https_port)
            if args.interactive:
                shot = os.path.join(SOURCE, 'docs', 'demo-dialog.png')
                os.makedirs(os.path.dirname(shot), exist_ok=True)
                code = run_interactive(scenario, shot)
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
            print('  %d request(s), %.1f MiB of %.1f MiB, %.2f s, %.1f MiB/s%s'
                  % (len(fetch), mib(sent), mib(size), seconds, mib(sent) / max(seconds, 1e-6),
                     ' (slowed down by the service for the screenshot)' if args.interactive
                     else ''))
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
