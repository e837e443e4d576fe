#!/usr/bin/env bash
# Builds the packages (scripts/dist.sh) and proves them. Arguments: ROOT WORK.
# The .deb, unpacked with dpkg-deb -x, runs its programs; the zip, unpacked, runs
# kestrune-cli.exe under Wine (the Windows build's prefix); nothing carries a sanitizer, a
# debug section or a DLL that Windows does not have.
set -uo pipefail
root="$1" work="$2" v="$KESTRUNE_VERSION"
rm -rf "$work" && mkdir -p "$work" || exit 1
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { if eval "$2"; then pass; else fail "$1"; fi; }

if ! "$root/scripts/dist.sh" >"$work/dist.log" 2>&1; then
  tail -30 "$work/dist.log"
  echo "package: 0 passed, 1 failed"
  exit 1
fi
deb="$root/build/dist/kestrune_${v}_amd64.deb"
zip="$root/build/dist/kestrune-${v}-win64.zip"

# The .deb.
d="$work/deb"
dpkg-deb -x "$deb" "$d" || fail "dpkg-deb -x $deb"
check "deb fields" '[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr "\n" " ")" = "Package: kestrune Version: $v Architecture: amd64 " ]'
for f in usr/bin/kestrune-cli usr/bin/kestrune-mkimage usr/bin/kestrune-boxsim \
  usr/bin/kestrune-window usr/lib/kestrune/Kestrune.exe usr/share/kestrune/sample.dl \
  usr/share/kestrune/wine-env.sh usr/share/doc/kestrune/README.md \
  usr/share/doc/kestrune/CHANGELOG.md usr/share/doc/kestrune/serve.md \
  lib/systemd/system/kestrune-station@.service etc/logrotate.d/kestrune \
  usr/share/doc/kestrune/station-example.toml; do
  check "deb has $f" '[ -s "$d/$f" ]'
done
# The station's unit, as an instance, with the package's own program in it: systemd finds
# nothing to say of it.
sed "s|/usr/bin/kestrune-cli|$d/usr/bin/kestrune-cli|" "$d/lib/systemd/system/kestrune-station@.service" \
  >"$work/kestrune-station@line1.service"
check "systemd-analyze verify kestrune-station@line1.service" \
  'systemd-analyze verify --man=no "$work/kestrune-station@line1.service" >"$work/verify.out" 2>&1'
for p in kestrune-cli kestrune-mkimage kestrune-boxsim kestrune-window; do
  check "man page of $p" 'zcat "$d/usr/share/man/man1/$p.1.gz" | grep -q "^\.TH ${p^^} \"1\".*\"$p $v\""'
  check "completion for $p" '[ -s "$d/usr/share/bash-completion/completions/$p" ]'
done
check "kestrune-cli's man page has its commands" \
  'zcat "$d/usr/share/man/man1/kestrune-cli.1.gz" | grep -q "^\.SH \"COMMAND SERVE\""'
# The example of kestrune-mkimage(1) is one block: three text lines between .nf and .fi, no
# paragraph macro inside.
example_block() {
  zcat "$d/usr/share/man/man1/kestrune-mkimage.1.gz" | sed -n '/^\.SS "Example:"/,/^\.fi/p' |
    sed '1d' >"$work/example.roff"
  [ "$(sed -n 2p "$work/example.roff")" = .nf ] && [ "$(tail -1 "$work/example.roff")" = .fi ] &&
    [ "$(grep -vc '^\.' "$work/example.roff")" -eq 3 ] && ! grep -qE '^\.(IP|HP|TP)' "$work/example.roff"
}
check "kestrune-mkimage's man page: the example one block" example_block

# Debian's own documents and words: a machine-readable copyright, a long description that
# does not repeat the summary and names the station and the port listing, and lintian with no
# error or warning beyond the overrides the package carries (each with its reason).
check "deb copyright, machine-readable" \
  'head -1 "$d/usr/share/doc/kestrune/copyright" | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" &&
   grep -q "^License: " "$d/usr/share/doc/kestrune/copyright"'
description="$(dpkg-deb -f "$deb" Description)"
summary="$(head -1 <<<"$description")"
check "deb description: the summary once" '[ "$(grep -cF -- "$summary" <<<"$description")" -eq 1 ]'
check "deb description: long, names the station and the ports" \
  '[ "$(wc -l <<<"$description")" -ge 8 ] && grep -q "station" <<<"$description" && tr "\n" " " <<<"$description" | grep -q "serial  *ports"'
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1
  lintian_status=$?
  check "lintian: no error or warning ($(tr '\n' ' ' <"$work/lintian.out"))" '[ "$lintian_status" -eq 0 ]'
else
  fail "lintian is not installed (scripts/setup.sh)"
fi
for p in kestrune-cli kestrune-mkimage kestrune-boxsim; do
  check "$p: no sanitizer" '! readelf -d "$d/usr/bin/$p" | grep -Eq "lib(a|ub)san"'
  check "$p: stripped" '! readelf -S "$d/usr/bin/$p" | grep -q "\.symtab"'
done

# Programs from the .deb: STATUS WANTED-OUTPUT COMMAND... (output compared whole, CR dropped).
runs() {
  local want_status="$1" want="$2"
  shift 2
  local out status
  "$@" >"$work/run.out" 2>&1
  status=$?
  out="$(tr -d '\r' <"$work/run.out")"
  if [ "$status" -ne "$want_status" ]; then
    fail "$*: status $status, expected $want_status: $out"
  elif ! grep -qxF -- "$want" <<<"$out"; then
    fail "$*: no line '$want' in: $out"
  else
    pass
  fi
}
bin="$d/usr/bin"
sample="$d/usr/share/kestrune/sample.dl"
for p in kestrune-cli kestrune-mkimage kestrune-boxsim kestrune-window; do
  runs 0 "$p $v" "$bin/$p" --version
done
runs 0 $'    numberOfModules\t0x   3 (3)' "$bin/kestrune-cli" info "$sample"
runs 5 "kestrune-cli info: $work/absent.dl: cannot open: No such file or directory" \
  "$bin/kestrune-cli" info "$work/absent.dl"
runs 0 "wrote $work/made.dl: 24 bytes, 1 modules" \
  "$bin/kestrune-mkimage" -o "$work/made.dl" --module 1 --module-version 2 --size 7
# The launcher finds the Kestrune.exe and wine-env.sh of its own installation.
runs 69 "kestrune-window: Wine is not installed (/absent/wine not found): sudo apt install wine wine64" \
  env KESTRUNE_WINE=/absent/wine "$bin/kestrune-window"

# Bash completion from the package, against the unpacked programs: WORDS -> one expected word.
completes() {
  local line="$1" want="$2"
  local got
  # Each program has its own file, which names its function to `complete -F`.
  got="$(PATH="$bin:$PATH" bash -c '
    read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("")
    source "$1/${COMP_WORDS[0]}"; f="$(complete -p "${COMP_WORDS[0]}" | sed -E "s/.* -F ([^ ]+) .*/\1/")"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "$f"; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$d/usr/share/bash-completion/completions" "$line")"
  if grep -qxF -- "$want" <<<"$got"; then pass; else fail "completion of '$line': no $want in: $got"; fi
}
completes "kestrune-cli " serve
completes "kestrune-cli --v" --version
completes "kestrune-cli info --h" --help
completes "kestrune-cli serve --p" --port
completes "kestrune-mkimage --module-v" --module-version
completes "kestrune-boxsim --no-t" --no-type1
completes "kestrune-window --com" --com2
completes "kestrune-window --rem" --remove-prefix
completes "kestrune-cli help st" station

# The zip.
z="$work/zip"
mkdir -p "$z" && unzip -q "$zip" -d "$z" || fail "unzip $zip"
top="$z/kestrune-$v-win64"
for f in Kestrune.exe kestrune-cli.exe kestrune-mkimage.exe sample.dl README.txt CHANGELOG.txt \
  docs/cli-info.txt docs/serve.txt docs/station.txt docs/report.txt docs/ports.txt \
  docs/mkimage.txt; do
  check "zip has $f" '[ -s "$top/$f" ]'
done
# The box simulator is not in the zip, so neither is its document.
check "zip has no docs/boxsim.txt" '[ ! -e "$top/docs/boxsim.txt" ]'
# The README is the Windows user's: every file it names (docs\serve.txt, Kestrune.exe, ...)
# is in the zip, it names no Markdown file or picture, and it does not start with the
# developer's commands.
named="$(tr -d '\r' <"$top/README.txt" | grep -oE '[A-Za-z0-9_.\\/-]+\.(txt|exe|dl|md|png)' | sort -u)"
for f in $named; do
  check "README.txt names $f, which is in the zip" '[ -e "$top/${f//\\//}" ]'
done
check "README.txt names the programs and the documents" \
  '[ "$(grep -cxE "Kestrune.exe|kestrune-cli.exe|docs.serve.txt|sample.dl" <<<"$named")" -eq 4 ]'
check "README.txt: not the developer's README" '! grep -qE "demo.sh|make dist|apt install" "$top/README.txt"'
check "README.txt: the COM ports of the window and a USB adapter on COM5" \
  'grep -q "COM1 and COM2" "$top/README.txt" && grep -q "Device Manager" "$top/README.txt" && grep -qF "serve --port COM5" "$top/README.txt"'
check "README.txt: under Wine, a device on COM1 through Wine's Ports key, or a link from COM3 up" \
  'grep -qF "HKLM\\Software\\Wine\\Ports" "$top/README.txt" && grep -q "COM3 and above" "$top/README.txt"'

for f in README.txt CHANGELOG.txt docs/serve.txt; do
  check "$f has CR LF line ends" '[ "$(grep -c $'"'"'[^\r]$'"'"' "$top/$f")" -eq 0 ]'
done
# Only DLLs that every Windows has (setupapi: the ports' latency timers; winhttp: --forward).
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|msvcrt|setupapi|shell32|ole32|ws2_32|winhttp|version)\.dll$'
for exe in Kestrune.exe kestrune-cli.exe kestrune-mkimage.exe; do
  dlls="$(x86_64-w64-mingw32-objdump -p "$top/$exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z')"
  check "$exe imports only system DLLs ($(echo $dlls))" \
    '[ -n "$dlls" ] && ! grep -Evq "$system_dlls" <<<"$dlls"'
  check "$exe: no debug sections" '! x86_64-w64-mingw32-objdump -h "$top/$exe" | grep -q "\.debug_"'
done
wine_run() { KESTRUNE_WINEPREFIX="$root/build/windows/wine" timeout 120 "$root/scripts/wine-run.sh" "$@"; }
runs 0 "kestrune-cli $v" wine_run "$top/kestrune-cli.exe" --version
runs 0 "kestrune-mkimage $v" wine_run "$top/kestrune-mkimage.exe" --version
runs 0 $'    numberOfModules\t0x   3 (3)' wine_run "$top/kestrune-cli.exe" info "$top/sample.dl"

# The README tells the package names of this version.
for name in "kestrune_${v}_amd64.deb" "kestrune-${v}-win64.zip"; do
  check "README names $name" 'grep -qF "$name" "$root/README.md"'
done
check "CHANGELOG has a section for $v" 'grep -q "^## \[$v\]" "$root/CHANGELOG.md"'

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
