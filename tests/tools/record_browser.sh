#!/bin/sh
# Stands in for the browser under Wine: records every page the program under
# test asks to open, one per line, exactly as it was passed.
log="${QUILLO_BROWSER_LOG:-/tmp/quillo-browser.log}"
printf '%s\n' "$1" >> "$log"
