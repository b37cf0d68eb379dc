"""Interactive runs that succeed: the dialog hides while the main installer
runs (whose exit code an interactive run ignores), and a "GOTO:" answer opens
its page with the bundle key appended."""
import os
import shutil
import tempfile
import threading
import time
import unittest

import uitest
from uitest import DIALOG, harness


def wait_for_file(path, timeout=60):
    """Bounded poll for a file that another program creates."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise AssertionError('%s did not appear' % path)
        time.sleep(0.02)


class InstallerRunTest(uitest.ServiceCase, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='quillo-ui-', dir=os.path.join(harness.BUILD, 'tmp'))
        cls.start_service(cls.folder)
        signed = harness.sign(harness.program('fake_installer.exe'),
                              os.path.join(cls.folder, 'fake_installer.exe'))
        with open(signed, 'rb') as f:
            cls.installer = f.read()

    def setUp(self):
        self.svc.reset()
        self.work = harness.temp_folder(self)
        self.browser = harness.BrowserLog(self.work)

    def test_dialog_hides_while_the_installer_runs_and_a_failing_installer_still_succeeds(self):
        started = os.path.join(self.work, 'started')
        release = os.path.join(self.work, 'release')
        # Held back a little, so that the watch below sees the dialog shown.
        self.instruct('GET:' + self.serve('Quillo.exe', self.installer), delay_ms=1000)
        program = self.start(self.browser, {
            'FAKE_INSTALLER_STARTED': harness.winpath(started),
            'FAKE_INSTALLER_WAIT_FOR': harness.winpath(release),
            'FAKE_INSTALLER_EXIT': '5'})
        states = []
        watch = threading.Thread(target=lambda: states.extend(program.watch_bar()))
        watch.start()
        wait_for_file(started)
        # The dialog stays, hidden, as long as the installer runs.
        program.wait_window(DIALOG, 'hidden')
        window, children = program.dump(DIALOG)
        self.assertFalse(window['visible'])
        # The whole installer arrived: the bar shows it complete.
        self.assertEqual((children[0]['marquee'], children[0]['pos']), (False, 1000))

        with open(release, 'w'):
            pass
        self.assertEqual(program.wait(), 0)
        watch.join()
        self.assertEqual(self.browser.pages(), [])
        shown = [state['visible'] for state in states[:-1]]
        self.assertTrue(shown[0], states)
        # Hidden once, and never shown again.
        self.assertEqual(shown, sorted(shown, reverse=True), states)
        self.assertFalse(shown[-1], states)
        self.assertTrue(states[-1].get('gone'), states)

    def test_goto_opens_the_page_with_the_key_and_succeeds(self):
        page = 'https://localhost:%d/welcome?from=setup' % harness.SERVICE_PORT
        self.instruct('GOTO:' + page)
        program = self.start(self.browser)
        # No box: the run ends by itself once the page is handed over.
        self.assertEqual(program.wait(), 0)
        self.assertEqual(self.browser.pages(), [page + '?key=' + harness.KEY])


if __name__ == '__main__':
    unittest.main(verbosity=2)
