"""One whole launcher run against the local service: a signed main installer
served over HTTPS, a signed and stamped launcher, and the service told to hand
out the installer. The demo, the benchmarks and the fault soak share it."""
import os
import shutil
import time

import harness
from client import Service

INSTALLER_PATH = '/files/Quillo.exe'


def make_installer(target, size=0, which='signer'):
    """The test main installer, padded to about size bytes, then signed."""
    unsigned = target + '.unsigned'
    shutil.copy(harness.program('fake_installer.exe'), unsigned)
    pad = size - os.path.getsize(unsigned)
    if pad > 0:
        # The padding sits after the last section, where the signature covers it.
        with open(unsigned, 'ab') as f:
            chunk = bytes(1 << 20)
            while pad > 0:
                f.write(chunk[:min(pad, len(chunk))])
                pad -= len(chunk)
    harness.sign(unsigned, target, which)
    os.remove(unsigned)
    return target


class Scenario:
    def __init__(self, folder, installer_size=0, key=harness.KEY, name='QuilloSetup.exe'):
        self.folder = folder
        self.root = os.path.join(folder, 'root')
        os.makedirs(self.root, exist_ok=True)
        self.installer = make_installer(os.path.join(self.root, 'Quillo.exe'), installer_size)
        self.launcher = harness.signed_launcher(folder, key, name)
        self.report = os.path.join(folder, 'report.txt')
        self.installer_log = os.path.join(folder, 'installer.log')
        self.service = None

    def start(self):
        self.service = Service().start(self.root, harness.CERTS, https_port=harness.SERVICE_PORT)
        try:
            self.set_instruction('GET:' + self.installer_url())
        except BaseException:
            # __exit__ does not run when __enter__ fails.
            self.stop()
            raise
        return self

    def stop(self):
        if self.service:
            self.service.stop()
            self.service = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def installer_url(self, https=True):
        return self.service.url(INSTALLER_PATH, https)

    def set_instruction(self, body, status=200):
        self.service.set_response('/getinstaller', status, body)

    def run_silent(self, report_text='Installed.\r\n', exit_code=0, env=None):
        """Runs the launcher silently; returns (exit code, report bytes or
        None, seconds)."""
        return run_silent(self.launcher, self.report, self.installer_log, report_text, exit_code,
                          env)


def run_silent(launcher, report_path, installer_log, report_text='Installed.\r\n', exit_code=0,
               env=None):
    """Runs a launcher silently with the test installer's log, report and
    exit code set; returns (exit code, report bytes or None, seconds)."""
    if os.path.exists(report_path):
        os.remove(report_path)
    extra = {'FAKE_INSTALLER_LOG': harness.winpath(installer_log),
             'FAKE_INSTALLER_EXIT': str(exit_code)}
    if report_text is not None:
        extra['FAKE_INSTALLER_REPORT'] = report_text
    extra.update(env or {})
    command = '"%s" /silent "%s"' % (harness.winpath(launcher), harness.winpath(report_path))
    started = time.monotonic()
    code = harness.run_exit(command, env=extra)
    seconds = time.monotonic() - started
    report = None
    if os.path.exists(report_path):
        with open(report_path, 'rb') as f:
            report = f.read()
    return code, report, seconds
