#!/bin/sh
# Creates the build's own Wine prefix once: pages that programs open go to a
# recording script instead of a browser.
set -e
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.quillo-ready" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /t REG_SZ /d "$here/record_browser.sh" /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.quillo-ready"
fi
echo "prefix ready: $WINEPREFIX"
