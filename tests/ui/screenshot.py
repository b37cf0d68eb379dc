#!/usr/bin/env python3
"""Takes a picture of the "Preparing setup..." dialog during a slow download
and saves it cropped to the dialog (docs/dialog.png by default).

Needs a display for Wine and ImageMagick's import and convert; run it under
Xvfb from a configured and built build folder, for example

    QUILLO_BUILD=build xvfb-run -a -s "-screen 0 1024x768x24" \\
        python3 tests/ui/screenshot.py docs/dialog.png

Wine leaves a window's caption and frame to the window manager, and Xvfb has
none; the copy of the launcher used here has a name of its own, for which the
prefix is told to draw them itself (AppDefaults, X11 Driver, Decorated = N).
The window then sits on the X screen exactly where its Windows coordinates
say, so the window rectangle that the driver reports is the crop rectangle.
The caption buttons need Wine's Marlett font in the prefix (fonts-wine,
linked by tests/tools/prepare_prefix.sh); without it the close button is a
letter "r", so the picture is refused.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import uitest
from uitest import DIALOG, harness


NAME = 'QuilloSetupScreenshot.exe'


def allow_decorations():
    """Lets Wine draw the caption and frame of the launcher copy named NAME."""
    subprocess.run([harness.WINE, 'reg', 'add', r'HKCU\Software\Wine\AppDefaults\%s\X11 Driver' % NAME,
                    '/v', 'Decorated', '/t', 'REG_SZ', '/d', 'N', '/f'],
                   env=harness.wine_env(), check=True, capture_output=True)


def capture_dialog(program, target, scratch):
    """Photographs the running program's dialog, cropped to its window, once
    its bar is well into the download."""
    # Far enough into the installer for the bar to show something, far from
    # its end (the instruction response alone shows 1000 briefly).
    program.wait_window(DIALOG, 'position:300-700')
    window, _ = program.dump(DIALOG)
    left, top, right, bottom = window['rect']
    screen = os.path.join(scratch, 'screen.png')
    subprocess.run(['import', '-window', 'root', screen], check=True)
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    subprocess.run(['convert', screen, '-crop', '%dx%d+%d+%d' % (right - left, bottom - top,
                                                                   left, top),
                    '+repage', '-strip', target], check=True)
    os.remove(screen)
    return right - left, bottom - top


def main(target):
    fonts = os.path.join(harness.wine_env()['WINEPREFIX'], 'drive_c', 'windows', 'Fonts')
    if not os.path.exists(os.path.join(fonts, 'marlett.ttf')):
        sys.exit('%s has no marlett.ttf: install fonts-wine (scripts/setup) and run '
                 'tests/tools/prepare_prefix.sh (ctest -R wine_prefix)' % fonts)
    folder = tempfile.mkdtemp(prefix='quillo-shot-', dir=os.path.join(harness.BUILD, 'tmp'))
    root = os.path.join(folder, 'root')
    os.makedirs(root)
    program = svc = None
    try:
        svc = uitest.Service().start(root, harness.ensure_certs(), https_port=harness.SERVICE_PORT)
        exe = harness.signed_launcher(folder, name=NAME)
        allow_decorations()
        with open(os.path.join(root, 'Quillo.exe'), 'wb') as f:
            f.write(os.urandom(1024 * 1024))
        svc.set_faults('/files/Quillo.exe', [{'type': 'trickle', 'bytes': 4096, 'ms': 40}])
        svc.set_response('/getinstaller', 200, 'GET:' + svc.url('/files/Quillo.exe'))
        browser = harness.BrowserLog(folder)
        program = uitest.Program(uitest.launcher_command(exe), browser.env())
        width, height = capture_dialog(program, target, folder)
        program.drive('esc', DIALOG)
        program.wait()
        print('%s: %dx%d' % (target, width, height))
    finally:
        if program:
            program.stop()
        if svc:
            svc.stop()
        shutil.rmtree(folder, True)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(harness.SOURCE, 'docs', 'dialog.png'))
