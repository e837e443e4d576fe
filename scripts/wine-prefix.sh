#!/usr/bin/env bash
# Creates the build folder's Wine prefix once, quietly: a virtual desktop (dialogs handle
# posted messages promptly and screenshots get title bars) and COM1 mapped to a stable path
# that the box simulator repoints at its pseudo-terminal.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

stamp="$WINEPREFIX/.kestrune-ready"
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
# COM2 deliberately points nowhere: the open-failure case.
wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$WINEPREFIX/ttyCOM2-absent" /f >/dev/null 2>&1
wineserver -w
touch "$stamp"
