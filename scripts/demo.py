"""The demo's run and summary; scripts/demo prepares the build first.

The launcher runs against the real service: nginx with HTTPS on the test port
(the test CA is trusted in the build's Wine prefix), the installer folder at
/installers/, gunicorn with the application and a SQLite store.
"""
import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, 'tests'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'ui'))
sys.path.insert(0, os.path.join(SOURCE, 'service'))
import harness  # noqa: E402
import scenario  # noqa: E402
import screenshot  # noqa: E402
import uitest  # noqa: E402
from stack import App, Stack, local_host  # noqa: E402

# The demo publisher's configuration: the demo key's bundle gets the demo
# channel; everything else the stable one.
CONFIG = """\
database = "sqlite:///{db}"
default_channel = "stable"
full_installer = "{base}/installers/QuilloFull.exe"
support = "support@example.com"

[channels]
stable = "{base}/installers/Quillo-stable.exe"
demo = "{base}/installers/Quillo.exe"

[[rules]]
name = "old launchers"
below_version = "0,1,0,200"
page = "{base}/notice/update"

[[rules]]
name = "demo bundle"
key_prefix = "{prefix}"
channel = "demo"
"""


def mib(n):
    return n / (1 << 20)


def run_interactive(launcher, installer_log, folder, target):
    """Runs the launcher with its dialog, photographs the dialog while the
    installer downloads, and returns the launcher's exit code."""
    screenshot.allow_decorations()
    env = {'FAKE_INSTALLER_LOG': harness.winpath(installer_log)}
    program = uitest.Program(uitest.launcher_command(launcher), env)
    try:
        screenshot.capture_dialog(program, target, folder)
        return program.wait(timeout=600)
    finally:
        program.stop()


def recorded_requests(db):
    conn = sqlite3.connect(db)
    try:
        conn.row_factory = sqlite3.Row
        return [dict(r) for r in conn.execute('SELECT * FROM requests ORDER BY id')]
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--interactive', action='store_true')
    parser.add_argument('--size', type=int, default=32, help='installer size in MiB')
    args = parser.parse_args()

    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix='quillo-demo-')
    try:
        print('Preparing a signed demo installer (%d MiB) and a signed, stamped launcher...'
              % args.size)
        installers = os.path.join(folder, 'installers')
        os.makedirs(installers)
        installer = scenario.make_installer(os.path.join(installers, 'Quillo.exe'),
                                            args.size << 20)
        launcher = harness.signed_launcher(
            folder, name=screenshot.NAME if args.interactive else 'QuilloSetup.exe')
        base = 'https://localhost:%d' % harness.SERVICE_PORT
        db = os.path.join(folder, 'quillo.db')
        config = os.path.join(folder, 'quillo.toml')
        with open(config, 'w') as f:
            f.write(CONFIG.format(db=db, base=base, prefix=harness.KEY[:8]))
        installer_log = os.path.join(folder, 'installer.log')
        # Slow enough in interactive runs that the bar can be caught in the middle.
        state = os.path.join(folder, 'state')
        stack = Stack(local_host(state, harness.SERVICE_PORT, certs=harness.ensure_certs(),
                                 installers=installers,
                                 installer_options='limit_rate 12m;' if args.interactive else ''),
                      App(state, config))
        with stack:
            print('Service on %s: nginx (TLS, installers at /installers/) + gunicorn, SQLite %s'
                  % (base, db))
            if args.interactive:
                shot = os.path.join(SOURCE, 'docs', 'demo-dialog.png')
                os.makedirs(os.path.dirname(shot), exist_ok=True)
                code = run_interactive(launcher, installer_log, folder, shot)
                report = None
            else:
                code, report, _ = scenario.run_silent(
                    launcher, os.path.join(folder, 'report.txt'), installer_log,
                    report_text='Quillo installed.\r\n')
            served = stack.access_log_entries()
        requests = recorded_requests(db)
        ask = [e for e in served if e['request'].startswith('GET /getinstaller')]
        fetch = [e for e in served if e['request'].startswith('GET /installers/')]
        size = os.path.getsize(installer)

        print()
        print('Service exchange')
        for e, row in zip(ask, requests):
            print('  %s  (%s)' % (e['request'].rsplit(' ', 1)[0], e['status']))
            print('      -> %s' % row['answer'])
            print('      chosen by the rule "%s" of %s' % (row['rule'], config))
        print('Recorded request (table "requests" of %s)' % db)
        for row in requests:
            row['recorded_at'] = time.strftime('%Y-%m-%d %H:%M:%S',
                                               time.localtime(row['recorded_at']))
            for name, value in row.items():
                print('  %-12s %s' % (name, value if value != '' else '(none)'))
        print('Download (nginx)')
        sent = sum(e['sent'] for e in fetch)
        if fetch:
            seconds = sum(e['seconds'] for e in fetch)
            print('  %d request(s) for %s, %.1f MiB of %.1f MiB, %.2f s, %.1f MiB/s%s'
                  % (len(fetch), fetch[0]['request'].split()[1], mib(sent), mib(size), seconds,
                     mib(sent) / max(seconds, 1e-3),
                     ' (limited by nginx for the screenshot)' if args.interactive else ''))
        ran = os.path.exists(installer_log)
        print('Verification')
        print('  signer "Pellorand" by "GlobalSign ObjectSign CA" and Authenticode signature: %s'
              % ('accepted' if ran else 'not accepted (installer not run)'))
        print('Main installer')
        if ran:
            with open(installer_log, encoding='utf-8') as f:
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
        subprocess.run([harness.WINESERVER, '-k'], env=harness.wine_env(), capture_output=True)
        shutil.rmtree(folder, True)


if __name__ == '__main__':
    sys.exit(main())
