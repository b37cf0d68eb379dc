"""The interactive failure: the "Error" box and then the error page.

An unsigned launcher fails while it looks for its bundle key (code 378), that
is before any key is known and before the dialog or the service are involved:
the page then carries an empty key.
"""
import os
import shutil
import unittest

import uitest
from uitest import BOX, DIALOG, E_FAIL, harness


class FailureBoxTest(unittest.TestCase):
    def setUp(self):
        self.folder = harness.temp_folder(self)
        self.exe = os.path.join(self.folder, 'QuilloSetup.exe')
        shutil.copy(harness.program('QuilloSetupLocal.exe'), self.exe)
        self.browser = harness.BrowserLog(self.folder)

    def test_box_text_and_then_the_page_with_an_empty_key(self):
        program = uitest.Program(uitest.launcher_command(self.exe), self.browser.env())
        self.addCleanup(program.stop)
        program.wait_window(BOX)
        window, children = program.dump(BOX)
        # No page may open while the box is up; the recorder writes the log
        # file only when a page is opened.
        self.assertFalse(os.path.exists(self.browser.path))
        self.assertTrue(window['visible'])
        buttons = [c for c in children if c['class'].lower() == 'button']
        self.assertEqual([(b['id'], b['text']) for b in buttons], [(1, 'OK')])
        program.wait_window(DIALOG, 'gone', 0)  # no dialog in a run that failed before it

        box = program.press_ok()
        self.assertEqual(box['title'], 'Error')
        self.assertEqual(box['text'], 'An error occured. \r\n\r\n%s [0x80004005]; ; 378'
                         % uitest.system_text(E_FAIL))
        self.assertEqual(program.wait(), E_FAIL)
        self.assertEqual(self.browser.pages(), [
            'https://localhost:%d/error/?source=gatherkit&code=378&message=&error=0x80004005'
            '&version=0%%2C1%%2C0%%2C220&os=%s&key='
            % (harness.SERVICE_PORT, uitest.os_text().replace('.', '%2E'))])


if __name__ == '__main__':
    unittest.main(verbosity=2)
