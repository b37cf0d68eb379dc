"""The crash reporter: faults that nothing handles open the crash page.

crash_test.exe installs the launcher's crash reporter exactly as the launcher
does, then faults on purpose; the recorded page names the faulting module's
base, the address, the exception code and the module's file name. The prefix
keeps Wine's crash dialog away (ShowCrashDialog 0), so the program ends by
itself after the page has been handed over.
"""
import unittest
import urllib.parse

import uitest
from uitest import harness

PREFIX = 'https://localhost:%d/error/?source=Gatherkit&code=0&message=' % harness.SERVICE_PORT
TAIL = '&error=0x0000023e&version=0&os=0&key=0'
ACCESS_VIOLATION = 0xC0000005
UNCAUGHT_CPP = 0xE06D7363
# In a 64-bit program GCC throws C++ exceptions as structured exceptions of
# its own code ("CCG "); one that no frame of a worker thread catches reaches
# the filter as itself, without passing through std::terminate.
GCC_SEH_THROW = 0x20474343


class CrashPageTest(unittest.TestCase):
    def crash(self, mode):
        browser = harness.BrowserLog(harness.temp_folder(self))
        program = uitest.Program('"%s" %s' % (harness.winpath(harness.program('crash_test.exe')),
                                              mode), browser.env())
        self.addCleanup(program.stop)
        code = program.wait()
        announced = [line for line in program.output if 'address' in line]
        pages = browser.pages()
        self.assertEqual(len(pages), 1, pages)
        page = pages[0]
        self.assertTrue(page.startswith(PREFIX) and page.endswith(TAIL), page)
        fault = page[len(PREFIX):-len(TAIL)]
        # Only ASCII letters and digits travel unescaped.
        self.assertRegex(fault, r'^([A-Za-z0-9]|%[0-9A-F]{2})*$')
        return code, urllib.parse.unquote(fault), announced[0] if announced else None

    def test_access_violation_in_the_own_image(self):
        code, fault, where = self.crash('av')
        self.assertEqual(code, ACCESS_VIOLATION)
        self.assertEqual(fault, '%s:%s:c0000005:crash_test.exe' % (where['base'], where['address']))

    def test_access_violation_in_memory_of_no_module(self):
        code, fault, where = self.crash('anon')
        self.assertEqual(code, ACCESS_VIOLATION)
        # The region's base, and an empty name: the path buffer stays empty.
        self.assertEqual(fault, '%s:%s:c0000005:' % (where['base'], where['address']))

    def check_uncaught_cpp(self, mode, expected=UNCAUGHT_CPP):
        code, fault, _ = self.crash(mode)
        self.assertEqual(code, expected)
        base, address, exception, name = fault.split(':')
        # %p: 8 hex digits in a 32-bit program, 16 in a 64-bit one.
        digits = harness.POINTER_BITS // 4
        self.assertRegex(base, r'^0x[0-9A-F]{%d}$' % digits)
        self.assertRegex(address, r'^0x[0-9A-F]{%d}$' % digits)
        self.assertLessEqual(int(base, 16), int(address, 16))
        self.assertEqual(exception, '%08x' % expected)
        # Raised by the system's RaiseException, so the module is a system one.
        self.assertRegex(name.lower(), r'^[a-z0-9_]+\.dll$')

    def test_uncaught_cpp_exception_on_the_main_thread(self):
        self.check_uncaught_cpp('throw')

    def test_uncaught_cpp_exception_on_another_thread(self):
        self.check_uncaught_cpp('throw-thread',
                                UNCAUGHT_CPP if harness.POINTER_BITS == 32 else GCC_SEH_THROW)


if __name__ == '__main__':
    unittest.main(verbosity=2)
