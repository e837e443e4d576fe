#!/usr/bin/env bash
# Writes a gzipped man page from a program's --help and --version (help2man).
# Usage: scripts/make-man.sh PROGRAM OUT.1.gz "ONE-LINE DESCRIPTION" [SUBCOMMAND...]
# Each SUBCOMMAND's own --help becomes a section of the page. An "Example:" block of the help
# (indented lines up to the next blank line) stays one block, as the help shows it, instead of
# the paragraph per line that help2man makes of it.
set -euo pipefail
program="$1" out="$2" summary="$3"
shift 3
name="$(basename "$program")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

include=()
for sub in "$@"; do
  {
    echo "[COMMAND ${sub^^}]"
    echo ".nf"
    "$program" "$sub" --help | sed 's/\\/\\e/g; s/^\([.'"'"']\)/\\\&\1/'
    echo ".fi"
  } >>"$work/include"
  include=(--include "$work/include")
done
# roff text as it is: backslashes escaped, a line never starting with a control character,
# hyphens as minus signs (they are options).
roff() { sed 's/\\/\\e/g; s/-/\\-/g; s/^\([.'"'"']\)/\\\&\1/'; }
help2man --no-info --section 1 --name "$summary" "${include[@]}" \
  --output "$work/$name.1" "$program"
"$program" --help | awk '/^Examples?:$/ { on = 1; next } on && /^$/ { exit } on' | roff \
  >"$work/example"
if [ -s "$work/example" ]; then
  awk -v example="$work/example" '
    /^\.SS "Examples?:"$/ {
      print; print ".PP"; print ".nf"
      while ((getline line < example) > 0) print line
      print ".fi"; skip = 1; next
    }
    skip && /^\.(PP|SH|SS)/ { skip = 0 }
    !skip' "$work/$name.1" >"$work/$name.1.new" && mv "$work/$name.1.new" "$work/$name.1"
fi
mkdir -p "$(dirname "$out")"
gzip -9n <"$work/$name.1" >"$out"
