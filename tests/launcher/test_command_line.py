"""The launcher's command line, exit codes and report file, run as real
processes under Wine. The copy used here is unsigned, so every run that gets
past the command line ends at the bundle key (code 378)."""
import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

E_FAIL = 0x80004005


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.folder = harness.temp_folder(self)
        self.exe = os.path.join(self.folder, 'QuilloSetup.exe')
        shutil.copy(harness.program('QuilloSetupLocal.exe'), self.exe)
        self.browser = harness.BrowserLog(self.folder)

    def run_launcher(self, *args):
        command = ' '.join(['"%s"' % harness.winpath(self.exe)] + list(args))
        return harness.run_dismissing(command, env=self.browser.env())

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        with open(self.path(name), 'rb') as f:
            return f.read()

    def test_silent_switch_in_any_case_writes_no_report_without_a_path(self):
        for switch in ('/silent', '/SILENT', '/Silent'):
            code, boxes = self.run_launcher(switch)
            self.assertEqual(code, E_FAIL, switch)
            self.assertEqual(boxes, [])
        self.assertEqual(sorted(os.listdir(self.folder)), ['QuilloSetup.exe'])
        self.assertEqual(self.browser.pages(), [])

    def test_silent_with_a_path_writes_the_failure_line(self):
        code, boxes = self.run_launcher('/silent', harness.winpath(self.path('r.txt')))
        self.assertEqual(code, E_FAIL)
        self.assertEqual(boxes, [])
        self.assertEqual(self.read('r.txt'), b'Failed - 378\r\n')

    def test_a_later_path_replaces_an_earlier_one(self):
        code, _ = self.run_launcher('/silent', harness.winpath(self.path('a.txt')), '/silent',
                                    harness.winpath(self.path('b.txt')))
        self.assertEqual(code, E_FAIL)
        self.assertFalse(os.path.exists(self.path('a.txt')))
        self.assertEqual(self.read('b.txt'), b'Failed - 378\r\n')

    def test_invalid_switches_show_the_box_and_exit_with_1(self):
        cases = [
            [harness.winpath(self.path('r.txt'))],
            ['/silent', harness.winpath(self.path('a.txt')), harness.winpath(self.path('b.txt'))],
            ['/silent', '/x'],
            ['/silentx'],
        ]
        for args in cases:
            code, boxes = self.run_launcher(*args)
            self.assertEqual(code, 1, args)
            self.assertEqual(boxes, ['Invalid command line switch'], args)
        self.assertEqual(sorted(os.listdir(self.folder)), ['QuilloSetup.exe'])
        self.assertEqual(self.browser.pages(), [])

    def test_interactive_failure_shows_the_box_then_opens_the_error_page(self):
        code, boxes = self.run_launcher()
        self.assertEqual(code, E_FAIL)
        self.assertEqual(len(boxes), 1)
        match = re.fullmatch(r'An error occured\. \r\n\r\n(.*) \[0x80004005\]; ; 378', boxes[0],
                             re.S)
        self.assertTrue(match, boxes[0])
        pages = self.browser.pages()
        self.assertEqual(len(pages), 1)
        self.assertRegex(
            pages[0],
            r'^https://localhost:%d/error/\?source=gatherkit&code=378&message=&error=0x80004005'
            r'&version=0%%2C1%%2C0%%2C220&os=\d+%%2E\d+&key=$' % harness.SERVICE_PORT)


if __name__ == '__main__':
    unittest.main()
