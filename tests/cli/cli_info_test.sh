#!/usr/bin/env bash
# kestrune-cli info, end to end. Arguments: WORK_FOLDER CLI MKIMAGE REPORT_DUMP SAMPLE [RUNNER...]
# RUNNER (for example the Wine wrapper) is put before every program of the build.
set -uo pipefail
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
work="$1" cli="$(abs "$2")" mkimage="$(abs "$3")" dump="$(abs "$4")" sample="$(abs "$5")"
shift 5
run=("$@")

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$sample" sample.dl || exit 1
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# info IMAGE: status and output compared with the library's report of the same file.
same_as_library() {
  local image="$1"
  "${run[@]}" "$cli" info "$image" >"$image.out" 2>"$image.err"
  local status=$?
  "${run[@]}" "$dump" "$image" "$image.expected"
  if [ "$status" -ne 0 ]; then
    fail "$image: exit status $status: $(cat "$image.err")"
  elif ! cmp -s "$image.out" "$image.expected"; then
    fail "$image: output differs from the library's report"
    cmp "$image.out" "$image.expected" | head -3
  elif [ -s "$image.err" ]; then
    fail "$image: unexpected text on stderr: $(cat "$image.err")"
  else
    pass
  fi
}

# expect_status STATUS STDERR_PATTERN ARGS...: exit status, stderr text, nothing on stdout.
expect_status() {
  local want="$1" pattern="$2"
  shift 2
  "${run[@]}" "$cli" "$@" >status.out 2>status.err
  local status=$?
  if [ "$status" -ne "$want" ]; then
    fail "info $*: exit status $status, expected $want"
  elif ! tr -d '\r' <status.err | grep -q -- "$pattern"; then
    fail "info $*: stderr lacks '$pattern': $(cat status.err)"
  elif [ -s status.out ]; then
    fail "info $*: wrote to stdout"
  else
    pass
  fi
}

# The example image: two modules of 128000 and 2048 bytes.
"${run[@]}" "$mkimage" -o example.dl --block1-text example \
  --module 1 --module-version 1 --tag 0x81 --info "00 0A" --size 128000 \
  --module 2 --module-version 0 --tag 0x81 --info "00 01 02 03 04 05 06 07" --size 2048 >/dev/null ||
  fail "kestrune-mkimage could not write example.dl"
same_as_library example.dl
z4='0x       0 (0)'
printf '%s\r\n' 'DownloadInfoResponse() {' '    dsmccMessageHeader() {' \
  $'        protocolDiscriminator\t0x11 (17)' $'        dsmccType\t0x 3 (3)' \
  $'        messageId\t0x1002 (4098)' $'        transactionId\t'"$z4" \
  $'        reserved\t0x 0 (0)' $'        adapationLength\t0x 0 (0)' \
  $'        messageLength\t0x   0 (0)' '        dsmccAdaptationHeader {' '        }' '    }' \
  $'    downloadId\t'"$z4" $'    blockSize\t0x   0 (0)' $'    windowSize\t0x 0 (0)' \
  $'    ackPeriod\t0x 0 (0)' $'    tCDownloadWindow\t'"$z4" $'    tCDownloadScenario\t'"$z4" \
  '    userCompatibilities {' '    }' '' $'    numberOfModules\t0x   2 (2)' '' \
  $'        moduleId\t0x   1 (1)' $'        moduleSize\t0x   1F400 (128000)' \
  $'        moduleVersion\t0x 1 (1)' $'        modulesLength\t0x 4 (4)' '        {' \
  '        0x81  0x 2  0x 0  0x a  ' '        }' '' \
  $'        moduleId\t0x   2 (2)' $'        moduleSize\t0x     800 (2048)' \
  $'        moduleVersion\t0x 0 (0)' $'        modulesLength\t0x A (10)' '        {' \
  '        0x81  0x 8  0x 0  0x 1  0x 2  0x 3  0x 4  0x 5  ' '        0x 6  0x 7  ' '        }' \
  '' $'    privateDataLength\t'"$z4" '' >example.want
printf '}' >>example.want
if cmp -s example.dl.out example.want; then pass; else fail "example.dl: not the expected report"; fi

same_as_library sample.dl

# On a terminal the report ends with a line end, so the prompt starts on its own line; a pipe
# (above) gets the report alone. A real pseudo-terminal, raw so that it keeps the bytes as
# they are. Natively: under Wine a terminal is Wine's console.
on_pty() {
  python3 - "$@" <<'PY'
import os, pty, subprocess, sys, tty
master, slave = pty.openpty()
tty.setraw(slave)
child = subprocess.Popen(sys.argv[1:], stdout=slave, stderr=subprocess.DEVNULL)
os.close(slave)
out = b""
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    out += chunk
child.wait()
sys.stdout.buffer.write(out)
sys.exit(child.returncode)
PY
}
if [ ${#run[@]} -eq 0 ]; then
  on_pty "$cli" info sample.dl >pty.out
  status=$?
  { cat sample.dl.expected; printf '\r\n'; } >pty.want
  if [ "$status" -eq 0 ] && cmp -s pty.out pty.want; then pass; else
    fail "info on a terminal: status $status, not the report and one CR LF"
    cmp pty.out pty.want | head -3
  fi
fi

# No modules, and the largest image the loader accepts (50 modules of 255 info bytes).
printf '\0\0\0\0\0\0\0' >seven.dl
same_as_library seven.dl
args=()
for i in $(seq 1 50); do
  args+=(--module "$i" --module-version "$i" --tag 0xFF --info "$(printf 'A5%.0s' $(seq 1 253))" --size "$i")
done
"${run[@]}" "$mkimage" -o fifty.dl "${args[@]}" >/dev/null || fail "kestrune-mkimage: fifty.dl"
same_as_library fifty.dl

# Usage and refusals.
expect_status 64 '^kestrune-cli info: missing IMAGE$' info
expect_status 64 '^kestrune-cli info: unexpected argument seven.dl$' info sample.dl seven.dl
expect_status 64 '^kestrune-cli info: unknown option --bogus$' info --bogus sample.dl
# A missing file says so, not that its format is wrong; the same status as a refused image.
# (The reason is the system's: "No such file or directory", or "File not found" on Windows.)
expect_status 5 '^kestrune-cli info: absent.dl: cannot open: [A-Z][a-z ]*$' info absent.dl
head -c 1000 sample.dl >truncated.dl
expect_status 5 '^kestrune-cli info: truncated.dl: Incorrect file format!$' info truncated.dl
: >empty.dl
expect_status 5 '^kestrune-cli info: empty.dl: Incorrect file format! (empty file)$' info empty.dl
{
  printf '\0\0\0\0\0\0\063'
  for i in $(seq 1 51); do printf '\0\001\0\0\0\0\0\002\001\0'; done
} >fiftyone.dl
expect_status 5 'fiftyone.dl: Incorrect file format!' info fiftyone.dl

# A file that loads but lies mostly after its module table (an executable): the report as
# usual, and a warning.
{ printf '\177ELF\002\001\001'; head -c 4089 /dev/zero; } >elf.bin
"${run[@]}" "$cli" info elf.bin >elf.out 2>elf.err
status=$?
if [ "$status" -eq 0 ] && [ -s elf.out ] && [ "$(tr -d '\r' <elf.err)" = "kestrune-cli info: only \
134 of 4,096 bytes of elf.bin are described by its module table: is it a .dl file?" ]; then
  pass
else fail "info elf.bin: status $status, $(cat elf.err)"; fi

# The private copy an image is served from (POSIX): with no temporary folder it goes beside the
# image; when it fits nowhere (a file size limit), the message names every place tried.
if [ "${#run[@]}" -eq 0 ]; then
  if TMPDIR="$PWD/absent" "$cli" info sample.dl >/dev/null; then pass; else fail "no TMPDIR"; fi
  (ulimit -f 1 && trap '' XFSZ && TMPDIR=/tmp exec "$cli" info sample.dl) >/dev/null 2>copy.err
  status=$?
  want="kestrune-cli info: sample.dl: cannot make a private copy to serve from: $PWD: File too"
  want+=" large; /tmp: File too large; a memory file: File too large"
  if [ "$status" -eq 5 ] && [ "$(cat copy.err)" = "$want" ]; then pass
  else fail "info with no room for the copy: status $status, $(cat copy.err)"; fi
fi

"${run[@]}" "$cli" info --help >help.out 2>&1
status=$?
if [ "$status" -eq 0 ] && grep -q '^Usage: kestrune-cli info \[OPTIONS\] IMAGE' help.out &&
   grep -q 'Exit status' help.out; then pass; else fail "info --help (status $status)"; fi
# "help COMMAND" is "COMMAND --help"; "help" alone is "--help". WORDS | STATUS | the output:
# "same as X" or the stderr text.
while IFS='|' read -r words want_status want; do
  read -ra w <<<"$words"
  "${run[@]}" "$cli" "${w[@]}" >helpcmd.out 2>helpcmd.err
  status=$?
  want="${want# }"
  if [ "$status" -ne "${want_status// /}" ]; then
    fail "kestrune-cli $words: status $status"
  elif [[ $want == "same as "* ]]; then
    read -ra same <<<"${want#same as }"
    "${run[@]}" "$cli" "${same[@]}" >helpsame.out 2>&1
    if cmp -s helpcmd.out helpsame.out && [ ! -s helpcmd.err ]; then pass; else
      fail "kestrune-cli $words: not the output of kestrune-cli ${same[*]}"
    fi
  elif [ "$(tr -d '\r' <helpcmd.err)" = "$(printf '%b' "$want")" ]; then pass; else
    fail "kestrune-cli $words: stderr $(cat helpcmd.err)"
  fi
done <<'EOT'
help | 0 | same as --help
help help | 0 | same as --help
help info | 0 | same as info --help
help serve | 0 | same as serve --help
help station | 0 | same as station --help
help ports | 0 | same as ports --help
help bogus | 64 | kestrune-cli: unknown command bogus\nRun 'kestrune-cli --help' for usage.
help info serve | 64 | kestrune-cli: help takes one COMMAND, not serve\nRun 'kestrune-cli --help' for usage.
EOT

# kestrune-mkimage: the committed sample comes out the same byte for byte, and bad requests are
# refused with the usage status.
"${run[@]}" "$mkimage" -o sample-again.dl --block1-text "Kestrune sample image" \
  --block2-text "made by kestrune-mkimage" \
  --module 1 --module-version 1 --tag 0x81 --info "00 0A" --size 24576 --seed 1 \
  --module 2 --module-version 0 --tag 0x81 --info "00 01 02 03 04 05 06 07" --size 8192 --seed 2 \
  --module 3 --module-version 2 --tag 0x0A --info "4B 45 53" --size 2000 --seed 3 >/dev/null
if cmp -s sample-again.dl sample.dl; then pass; else fail "kestrune-mkimage: sample.dl differs"; fi
printf 'module data from a file' >data.bin
"${run[@]}" "$mkimage" -o fromfile.dl --module 0x1234 --module-version 255 --file data.bin >/dev/null &&
  "${run[@]}" "$cli" info fromfile.dl | tr -d '\r' | grep -q $'moduleSize\t0x      17 (23)' &&
  tail -c 23 fromfile.dl | grep -q 'module data from a file'
if [ $? -eq 0 ]; then pass; else fail "kestrune-mkimage --file"; fi
"${run[@]}" "$mkimage" -o none.dl >/dev/null 2>none.err
if [ $? -eq 0 ] && [ "$(tr -d '\r' <none.err)" = \
  "kestrune-mkimage: warning: none.dl has no modules (no --module given)" ]; then pass
else fail "kestrune-mkimage without --module: $(cat none.err)"; fi
mkimage_refuses() {
  "${run[@]}" "$mkimage" "$@" >/dev/null 2>&1
  local status=$?
  if [ "$status" -eq 64 ]; then pass; else fail "kestrune-mkimage $*: status $status, expected 64"; fi
}
mkimage_refuses --module 1
mkimage_refuses -o x.dl --module-version 1
mkimage_refuses -o x.dl --module 1 --version 1
mkimage_refuses -o x.dl --module 1 --info "0G"
mkimage_refuses -o x.dl --module 70000
mkimage_refuses -o x.dl $(for i in $(seq 1 51); do printf -- '--module %d ' "$i"; done)
"${run[@]}" "$mkimage" -o x.dl --module 1 --file absent.bin >/dev/null 2>&1
if [ $? -eq 66 ]; then pass; else fail "kestrune-mkimage with a missing input file"; fi

echo "cli info: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
