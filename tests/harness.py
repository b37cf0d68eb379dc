"""Shared plumbing for the tests that drive the real programs under Wine.

ctest sets QUILLO_BUILD, QUILLO_SOURCE, WINEPREFIX, TEST_SERVICE_PORT and the
Wine that runs the build (QUILLO_WINE, QUILLO_WINESERVER); running a test file
by hand from a build folder works the same once QUILLO_BUILD is exported: the
rest is read from the build's CMake cache.

A build is either the shipped 32-bit one, run under Debian's 32-bit Wine, or
the 64-bit test build for machines that cannot run 32-bit code, run under the
64-bit loader. The tests are the same for both; where an outcome depends on
the pointer size, POINTER_BITS tells which one to expect.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(os.environ.get('QUILLO_BUILD', 'build'))
SOURCE = os.path.abspath(os.environ.get('QUILLO_SOURCE', os.path.dirname(os.path.dirname(__file__))))


def cached(name, default, build=None):
    """A value from a build's CMake cache (this build's by default)."""
    try:
        with open(os.path.join(build or BUILD, 'CMakeCache.txt')) as f:
            for line in f:
                if line.split('=', 1)[0].split(':', 1)[0] == name:
                    return line.split('=', 1)[1].strip()
    except OSError:
        pass
    return default


SERVICE_PORT = int(os.environ.get('TEST_SERVICE_PORT') or cached('TEST_SERVICE_PORT', '47443'))
# The build's Wine: "wine" for the 32-bit build, the 64-bit loader by its
# path for the 64-bit one (Debian's wrappers would pick the 32-bit loader).
WINE = os.environ.get('QUILLO_WINE') or cached('QUILLO_WINE', 'wine')
WINESERVER = os.environ.get('QUILLO_WINESERVER') or cached('QUILLO_WINESERVER', 'wineserver')
POINTER_BITS = int(cached('QUILLO_POINTER_BITS', '32'))
# The 32-bit program that ships; in the 64-bit build it is built beside it.
SHIPPED_LAUNCHER = (os.environ.get('QUILLO_SHIPPED_LAUNCHER')
                    or cached('QUILLO_SHIPPED_LAUNCHER', os.path.join(BUILD, 'QuilloSetup.exe')))
# The shipped program's size budget: room under the 128 KiB it may never pass.
LAUNCHER_SIZE_BUDGET = 112 << 10
CERTS = os.path.join(BUILD, 'certs')
STAMPKEY = os.path.join(BUILD, 'host', 'stampkey')
FIXTURES = os.path.join(SOURCE, 'tests', 'fixtures')
# A shipped key: 40 lower-case hexadecimal characters.
KEY = '0123456789abcdef0123456789abcdef01234567'

sys.path.insert(0, os.path.join(SOURCE, 'tests', 'service'))


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault('WINEPREFIX', os.path.join(BUILD, 'wineprefix'))
    env['WINEDEBUG'] = '-all'
    env.setdefault('WINEDLLOVERRIDES', 'mscoree,mshtml=')
    if POINTER_BITS == 64:
        # Child processes start with the same loader and server.
        env['WINELOADER'] = WINE
        env['WINESERVER'] = WINESERVER
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy'):
        env.pop(name, None)
    if extra:
        env.update(extra)
    return env


def winpath(path):
    """The Windows view of a host path through Wine's Z: drive."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def program(name):
    """Path of a Windows program built by this build."""
    for folder in ('', 'tests', 'tests/http', 'tests/job', 'tests/ui', 'tests/launcher', 'bench'):
        candidate = os.path.join(BUILD, folder, name)
        if os.path.exists(candidate):
            return candidate
    raise FileNotFoundError(name)


def run_exit(command_line, env=None, timeout=300, cwd=None):
    """Runs a Windows command line under Wine and returns its whole 32-bit
    exit code."""
    return run_dismissing(command_line, env, timeout, cwd, dismiss=False)[0]


def run_dismissing(command_line, env=None, timeout=300, cwd=None, dismiss=True):
    """Runs a Windows command line under Wine, closing each "Error" message
    box it shows. Returns the whole 32-bit exit code and the boxes' texts."""
    args = [WINE, program('runexit.exe')] + (['--dismiss-errors'] if dismiss else [])
    out = subprocess.run(args + [command_line], env=wine_env(env), cwd=cwd, capture_output=True,
                         timeout=timeout)
    match = re.search(rb'exit=0x([0-9a-f]{8})', out.stdout)
    if not match:
        raise RuntimeError('runexit failed: %r %r' % (out.stdout, out.stderr))
    boxes = [line[4:].decode().replace('\\r', '\r').replace('\\n', '\n')
             for line in out.stdout.splitlines() if line.startswith(b'box=')]
    return int(match.group(1), 16), boxes


def security_entry(data):
    """File offset of the certificate table's data directory entry (table
    offset, then size) in a PE32 or a PE32+ file: 0x98 or 0xA8 past the PE
    signature."""
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    magic = struct.unpack_from('<H', data, nt + 0x18)[0]
    return nt + {0x10B: 0x98, 0x20B: 0xA8}[magic]


def hresult(code):
    """An exit code as the signed HRESULT it carries."""
    return code - (1 << 32) if code & 0x80000000 else code


def ensure_certs():
    subprocess.run(['sh', os.path.join(FIXTURES, 'make_certs.sh'), CERTS], check=True,
                   capture_output=True)
    return CERTS


def sign(source, target, which='signer'):
    ensure_certs()
    subprocess.run(['sh', os.path.join(FIXTURES, 'sign.sh'), CERTS, which, source, target],
                   check=True, capture_output=True)
    return target


def stamp(source, target, key):
    subprocess.run([STAMPKEY, source, target, key], check=True, capture_output=True)
    return target


def signed_launcher(folder, key=KEY, name='QuilloSetup.exe'):
    """A signed copy of the test launcher, stamped with key when key is set."""
    signed = os.path.join(folder, 'signed-' + name)
    sign(program('QuilloSetupLocal.exe'), signed)
    target = os.path.join(folder, name)
    if key is None:
        shutil.copy(signed, target)
    else:
        stamp(signed, target, key)
    return target


class BrowserLog:
    """Collects the pages that programs ask the browser to open."""

    def __init__(self, folder):
        self.path = os.path.join(folder, 'browser.log')

    def env(self):
        return {'QUILLO_BROWSER_LOG': self.path}

    def pages(self):
        """Every page opened so far. Pages open asynchronously, so this first
        waits until no program of the prefix is still running."""
        subprocess.run([WINESERVER, '-w'], env=wine_env(), timeout=120)
        if not os.path.exists(self.path):
            return []
        with open(self.path, encoding='utf-8') as f:
            return [line.rstrip('\n') for line in f]


def temp_folder(test):
    folder = tempfile.mkdtemp(prefix='quillo-', dir=os.path.join(BUILD, 'tmp') if os.path.isdir(
        os.path.join(BUILD, 'tmp')) else None)
    test.addCleanup(shutil.rmtree, folder, True)
    return folder


def host_path(windows_path):
    """The host path of a Windows path on the prefix's drive C: or on Z:.
    Wine folders differ from their Windows names in letter case only, so
    each part is matched without regard to case."""
    drive, rest = windows_path[:2].upper(), windows_path[2:]
    if drive == 'Z:':
        path = '/'
    elif drive == 'C:':
        path = os.path.join(wine_env()['WINEPREFIX'], 'drive_c')
    else:
        raise ValueError('no host path for %r' % windows_path)
    for part in [p for p in rest.split('\\') if p]:
        names = os.listdir(path) if os.path.isdir(path) else []
        match = [n for n in names if n.lower() == part.lower()]
        path = os.path.join(path, match[0] if match else part)
    return path


_wine_temp = None


def wine_temp_folder():
    """The prefix's temporary folder (%TEMP% under Wine): (Windows path, host
    path)."""
    global _wine_temp
    if _wine_temp is None:
        out = subprocess.run([WINE, 'cmd', '/c', 'echo', '%TEMP%'], env=wine_env(),
                             capture_output=True, timeout=120, check=True)
        windows = out.stdout.decode('utf-8', 'replace').strip()
        _wine_temp = (windows, host_path(windows))
    return _wine_temp
