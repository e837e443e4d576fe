#!/usr/bin/env bash
# Creates the build folder's Wine prefix once, quietly: a virtual desktop (dialogs handle
# posted messages promptly and screenshots get title bars) and COM1 mapped to a stable path
# that the box simulator repoints at its pseudo-terminal.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

stamp="$WINEPREFIX/.kestrune-ready-2"
[ -f "$stamp" ] && exit 0

mkdir -p "$WINEPREFIX"
# Tests started in parallel wait for the one that creates the prefix.
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$stamp" ] && exit 0
echo "Creating Wine prefix in $WINEPREFIX (once, about 15 s)"
wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$WINEPREFIX/ttyCOM1" /f >/dev/null 2>&1
# COM2 is a port that is not present. Wine opens a registry-mapped port even when its path
# is missing, and an unmapped COM2 falls to the first /dev/ttyS*; a folder is refused
# (access denied), which is what a missing port looks like to the program.
mkdir -p "$WINEPREFIX/COM2-not-present"
wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$WINEPREFIX/COM2-not-present" /f >/dev/null 2>&1
wineserver -w
touch "$stamp"
