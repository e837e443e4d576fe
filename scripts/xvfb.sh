# Sourced: start_xvfb FILE GEOMETRY starts Xvfb on a display it picks itself (-displayfd: two
# scripts starting at once never meet on one number, as they could when each looked for a
# free lock file) and waits until it takes clients, at most 10 s. It sets xvfb_pid and
# xvfb_display (":N"), or returns 1. FILE receives the number.
start_xvfb() {
  local file="$1" geometry="$2" n
  rm -f "$file"
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for ((n = 0; n < 200; n++)); do
    [ -s "$file" ] && break
    sleep 0.05
  done
  [ -s "$file" ] || return 1
  xvfb_display=":$(head -1 "$file")"
}
