#!/usr/bin/env bash
# failed-cases.sh BUILD_DIR...: what each failed test of the last ctest run in those trees said:
# its first failure lines (a case's FAIL, GoogleTest's Failure) and its last lines. The suite's
# output is long and a failure's own lines are far above its end: this puts them where a reader
# of the end (a CI summary) sees them.
for tree in "$@"; do
  log="$tree/Testing/Temporary/LastTest.log"
  failed="$tree/Testing/Temporary/LastTestsFailed.log"
  [ -s "$failed" ] && [ -f "$log" ] || continue
  while IFS=: read -r _ name; do
    echo "== $name ($tree): its first failures and last lines"
    awk -v name="$name" '
      $0 ~ "Testing: " name "$" { inside = 1; n = 0; next }
      inside && /^<end of output>/ { exit }
      inside && /^Output:|^-----|^[0-9]+\/[0-9]+ Test: |^Command: |^Directory: |start time: / { next }
      inside && /FAIL|Failure$|Expected|Which is:/ && f < 6 { first[f++] = $0 }
      inside && !/^ *0x[0-9a-f]+:|^    [0-9a-f]{4}: |^  c0[0-9a-f]{2}: / { lines[n++ % 12] = $0 }
      END {
        for (i = 0; i < f; i++) print "   " first[i]
        if (f > 0) print "   ..."
        for (i = (n > 12 ? n - 12 : 0); i < n; i++) print "   " lines[i % 12]
      }
    ' "$log"
  done <"$failed"
done
