#!/usr/bin/env bash
# Runs every libFuzzer target in a build folder for FUZZ_SECONDS each, from its seed corpus,
# FUZZ_JOBS targets at a time (default: the machine's cores).
set -uo pipefail
dir="${1:-build/fuzz}"
seconds="${FUZZ_SECONDS:-60}"
jobs="${FUZZ_JOBS:-$(nproc)}"
root="$(cd "$(dirname "$0")/.." && pwd)"

# One target: its log and status file in the build folder, so the parallel runs never share output.
run_one() {
  local f="$1" name corpus seeds
  name="$(basename "$f")"
  corpus="$dir/corpus/$name"; mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/${name#fuzz-}"
  local args=("$corpus"); [ -d "$seeds" ] && args+=("$seeds")
  # A finding is kept in the build folder, named after its target, never in the source tree.
  mkdir -p "$dir/findings"
  "$f" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$dir/findings/${name#fuzz-}-" \
    "${args[@]}" >"$dir/$name.log" 2>&1
  echo $? >"$dir/$name.status"
}

targets=()
shopt -s nullglob
for f in "$dir"/fuzz-*; do
  [ -x "$f" ] && [ -f "$f" ] && targets+=("$f")
done
echo "== ${#targets[@]} fuzz targets for ${seconds}s each, $jobs at a time"
running=0
for f in "${targets[@]}"; do
  rm -f "$dir/$(basename "$f").status"
  run_one "$f" &
  running=$((running+1))
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running-1)); fi
done
wait

passed=0; failed=0
for f in "${targets[@]}"; do
  name="$(basename "$f")"
  if [ "$(cat "$dir/$name.status" 2>/dev/null)" = 0 ]; then
    passed=$((passed+1)); echo "$name: $(tail -1 "$dir/$name.log")"
  else
    failed=$((failed+1)); echo "FAILED: $name"; tail -40 "$dir/$name.log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
