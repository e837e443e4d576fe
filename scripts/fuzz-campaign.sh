#!/usr/bin/env bash
# A long fuzzing campaign: every libFuzzer target of a fuzz build for a given time, several at
# once, each from its kept corpus and its seeds; what a target found is merged (minimised) into
# its kept corpus, and every finding is kept with the target's name.
# Usage: scripts/fuzz-campaign.sh [FUZZ_BUILD]   (default build/fuzz)
# Environment: FUZZ_CAMPAIGN_SECONDS (per target, default 3600), FUZZ_CAMPAIGN_RUNS (inputs per
# target, default 10 million: a target ends at whichever comes first), FUZZ_JOBS (targets at a time,
# default the machine's cores), FUZZ_CORPUS (the kept corpora, default fuzz/corpus, not in git),
# FUZZ_TARGETS (names to run, default all).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(cd "${1:-$root/build/fuzz}" && pwd)"
seconds="${FUZZ_CAMPAIGN_SECONDS:-3600}"
max_runs="${FUZZ_CAMPAIGN_RUNS:-10000000}"
jobs="${FUZZ_JOBS:-$(nproc)}"
kept="${FUZZ_CORPUS:-$root/fuzz/corpus}"
findings="$dir/findings"
logs="$dir/campaign"
mkdir -p "$kept" "$findings" "$logs"

# One target: its run, then the merge of its corpus, then one line of figures.
campaign_one() {
  local f="$1" name short corpus seeds
  name="$(basename "$f")"; short="${name#fuzz-}"
  corpus="$kept/$short"; seeds="$root/fuzz/seeds/$short"
  mkdir -p "$corpus"
  local before; before="$(find "$corpus" -type f | wc -l)"
  local started; started="$(date +%s)"
  # -fork keeps going after a finding, so that an hour is not lost to the first crash.
  "$f" -max_total_time="$seconds" -runs="$max_runs" -fork=1 -ignore_crashes=1 \
       -ignore_timeouts=1 -ignore_ooms=1 -artifact_prefix="$findings/$short-" \
       "$corpus" "$seeds" >"$logs/$short.log" 2>&1
  local runs rate elapsed
  elapsed=$(( $(date +%s) - started ))
  # Fork mode's progress lines count the inputs of every job: "#442690: cov: ...".
  runs="$(grep -oE '^#[0-9]+:' "$logs/$short.log" | tail -1 | tr -d '#:')"
  runs="${runs:-0}"
  rate=$((runs / (elapsed > 0 ? elapsed : 1)))
  # The corpus minimised: only inputs that add coverage stay.
  rm -rf "$corpus.merged"; mkdir -p "$corpus.merged"
  "$f" -merge=1 "$corpus.merged" "$corpus" "$seeds" >"$logs/$short.merge.log" 2>&1 &&
    rm -rf "$corpus" && mv "$corpus.merged" "$corpus"
  local after found
  after="$(find "$corpus" -type f | wc -l)"
  found="$(find "$findings" -name "$short-*" -type f | wc -l)"
  printf '%-20s %12s inputs  %6ss  %8s/s  corpus %5s -> %5s  findings %s\n' \
    "$short" "$runs" "$elapsed" "$rate" "$before" "$after" "$found" >"$logs/$short.summary"
}

targets=()
for f in "$dir"/fuzz-*; do
  [ -x "$f" ] && [ -f "$f" ] || continue
  if [ -n "${FUZZ_TARGETS:-}" ] && ! grep -qw "$(basename "$f" | sed 's/^fuzz-//')" <<<"$FUZZ_TARGETS"; then
    continue
  fi
  targets+=("$f")
done
echo "== fuzz campaign: ${#targets[@]} targets, ${seconds}s or $max_runs inputs each, $jobs at a time; corpora in $kept"
running=0
for f in "${targets[@]}"; do
  campaign_one "$f" &
  running=$((running+1))
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running-1)); fi
done
wait
for f in "${targets[@]}"; do
  cat "$logs/$(basename "$f" | sed 's/^fuzz-//').summary"
done
left="$(find "$findings" -type f | wc -l)"
echo "findings kept in $findings: $left (each one's input belongs in fuzz/seeds/ once mended)"
[ "$left" -eq 0 ]
