#!/usr/bin/env bash
# The window's benchmark, for the record (not a timed test):
#   scripts/bench-window.sh WINDOWS_BUILD_DIR BOXSIM_BUILD_DIR [RUNS]
# Kestrune.exe (from WINDOWS_BUILD_DIR, under Wine on a private X server) downloads
# samples/sample.dl to the box simulator (BOXSIM_BUILD_DIR/kestrune-boxsim) paced at
# 57600 baud, RUNS times (default 3) with the Test Log hidden and as many times with it shown.
# The window's download time runs from the box's release (it then sends its wake-up bytes) to
# the "Download complete" box; divided by the protocol minimum of that exchange (every byte on
# the line at 5760 bytes/s plus the mandated 100 ms pauses, as the simulator computes it).
# Goals: at most 1.02 hidden, at most 1.05 shown. The median of the runs is the figure.
set -uo pipefail
windows="$(cd "${1:-build/windows}" && pwd)"
boxsim_dir="$(cd "${2:-build/dist-native}" && pwd)"
runs="${3:-3}"
root="$(cd "$(dirname "$0")/.." && pwd)"

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
KESTRUNE_GUI_BENCH="$runs" bash "$root/tests/gui/run-gui-tests.sh" "$windows" "$root" \
  "$boxsim_dir" >"$out" 2>&1
status=$?

echo
echo "5. The window (Kestrune.exe under Wine): samples/sample.dl, box at 57600 baud,"
echo "   from the box's wake-up to the \"Download complete\" box ($(nproc) cores, load $load_before)"
awk '
  /^BENCH / { n[$2]++; t[$2, n[$2]] = $3; b[$2, n[$2]] = $4; m[$2] = $5 }
  function median(mode,   i, j, k, v, a) {
    k = n[mode]
    for (i = 1; i <= k; i++) a[i] = t[mode, i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (a[j] < a[i]) { v = a[i]; a[i] = a[j]; a[j] = v }
    return (k % 2) ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  END {
    printf "   %-16s %8s %9s %7s  %s\n", "Test Log", "window", "minimum", "ratio", "each run (window s / box s)"
    split("hidden shown", modes, " ")
    for (x = 1; x <= 2; x++) {
      mode = modes[x]
      if (!n[mode]) { printf "   %-16s no download measured\n", mode; continue }
      runs = ""
      for (i = 1; i <= n[mode]; i++) runs = runs sprintf(" %.2f/%.2f", t[mode, i], b[mode, i])
      med = median(mode)
      printf "   %-16s %7.3fs %8.3fs %7.4f %s\n", mode, med, m[mode], med / m[mode], runs
    }
    for (x = 1; x <= 2; x++) {
      mode = modes[x]
      if (n[mode]) printf "window ratio, Test Log %s: %.4f\n", mode, median(mode) / m[mode]
    }
  }' "$out"
if [ "$status" -ne 0 ]; then
  echo "   the window benchmark failed (status $status):"
  grep -E '^FAIL|^-- |no box' "$out" | head -20 | sed 's/^/   /'
  exit 1
fi
