#!/usr/bin/env bash
# Creates the build folder's Wine prefix once, quietly: Wine's own Windows fonts in the
# prefix's Fonts folder, a virtual desktop (dialogs handle posted messages promptly and
# screenshots get title bars) and COM1, COM3 and COM4 mapped to stable paths that box
# simulators repoint at their pseudo-terminals.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

# A new number remakes every prefix made by an earlier version of this script.
stamp="$WINEPREFIX/.kestrune-ready-4"
[ -f "$stamp" ] && exit 0

mkdir -p "$WINEPREFIX"
# Tests started in parallel wait for the one that creates the prefix.
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$stamp" ] && exit 0
# Debian's Wine looks for these under a path that does not exist and falls back to DejaVu:
# the caption buttons then draw as letters, and dialogs and the status text get other metrics
# than on Windows. In the prefix's own Fonts folder Wine finds them.
wine_fonts=/usr/share/wine/fonts
if ! ls "$wine_fonts"/*.ttf >/dev/null 2>&1; then
  echo "No Windows fonts in $wine_fonts: install the package fonts-wine (scripts/setup.sh)" >&2
  exit 1
fi
echo "Creating Wine prefix in $WINEPREFIX (once, about 15 s)"
# On a prefix of an earlier version this only updates it and adds what it lacks.
wineboot -i >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp "$wine_fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$WINEPREFIX/ttyCOM1" /f >/dev/null 2>&1
# COM2 is a port that is not present. Wine opens a registry-mapped port even when its path
# is missing, and an unmapped COM2 falls to the first /dev/ttyS*; a folder is refused
# (access denied), which is what a missing port looks like to the program.
mkdir -p "$WINEPREFIX/COM2-not-present"
wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$WINEPREFIX/COM2-not-present" /f >/dev/null 2>&1
# COM3 and COM4: two more lines for a station, repointed by their box simulators like COM1.
for n in 3 4; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$WINEPREFIX/ttyCOM$n" /f >/dev/null 2>&1
done
wineserver -w
touch "$stamp"
