#!/usr/bin/env bash
# Runs every libFuzzer target in a build folder for FUZZ_SECONDS each, from its seed corpus.
set -uo pipefail
dir="${1:-build/fuzz}"
seconds="${FUZZ_SECONDS:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
passed=0; failed=0
shopt -s nullglob
for f in "$dir"/fuzz-*; do
  [ -x "$f" ] || continue
  name="$(basename "$f")"
  corpus="$dir/corpus/$name"; mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/${name#fuzz-}"
  args=("$corpus"); [ -d "$seeds" ] && args+=("$seeds")
  echo "== $name for ${seconds}s"
  if "$f" -max_total_time="$seconds" -print_final_stats=0 "${args[@]}" >"$dir/$name.log" 2>&1; then
    passed=$((passed+1)); tail -1 "$dir/$name.log"
  else
    failed=$((failed+1)); echo "FAILED: $name"; tail -40 "$dir/$name.log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
