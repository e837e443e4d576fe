# Sourced: the quiet Wine environment of one build folder's prefix.
# KESTRUNE_WINE_ROOT defaults to build/windows/wine beside this script's repository.
_kes_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${KESTRUNE_WINEPREFIX:-$_kes_root/build/windows/wine}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
unset _kes_root
