#!/bin/sh
# Prepares the build's own Wine prefix once: the test certificates exist, the
# test CA is a trusted root (so that WinInet accepts the local HTTPS service),
# and pages that programs open go to a recording program instead of a browser.
#   prepare_prefix.sh BUILD_DIR ADDROOT_EXE RECORD_PAGE_EXE
set -e
build="$1"
addroot="$2"
recorder="$3"
here="$(cd "$(dirname "$0")" && pwd)"
fixtures="$here/../fixtures"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG=-all
# The build's own loader and server (the 64-bit build names them by path).
wine="${QUILLO_WINE:-wine}"
wineserver="${QUILLO_WINESERVER:-wineserver}"
sh "$fixtures/make_certs.sh" "$build/certs" >/dev/null
if [ ! -f "$WINEPREFIX/.quillo-ready-3" ]; then
  "$wine" wineboot -i >/dev/null 2>&1 || true
  # Wine's own browser hand-off rewrites addresses (it decodes escapes such as
  # %2E), so http and https go straight to the recorder.
  winrecorder="Z:$(readlink -f "$recorder" | tr / '\\')"
  for scheme in http https; do
    "$wine" reg add "HKCR\\$scheme\\shell\\open\\command" /ve /t REG_SZ \
      /d "\"$winrecorder\" \"%1\"" /f >/dev/null 2>&1
  done
  # Crashes in the crash tests end the process at once: no crash dialog, and
  # no debugger started for them.
  "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
    >/dev/null 2>&1 || true
  sh "$fixtures/install_ca.sh" "$WINEPREFIX" "$build/certs/ca.crt" "$addroot"
  "$wineserver" -w
  touch "$WINEPREFIX/.quillo-ready-3"
fi
# Wine draws the caption buttons and other frame glyphs with its Marlett font
# (Debian's fonts-wine), but this Wine looks for fonts only in the prefix and
# in fontconfig's folders, not in its own font folder: without a link the
# close button shows a plain letter "r". Only Marlett is linked, so that the
# text fonts and the dialog's measures stay as they are.
marlett=/usr/share/wine/fonts/marlett.ttf
if [ -f "$marlett" ] && [ -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
  ln -sf "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
fi
mkdir -p "$build/tmp"
echo "prefix ready: $WINEPREFIX"
