#!/usr/bin/env bash
# Writes a gzipped man page from a program's --help and --version (help2man).
# Usage: scripts/make-man.sh PROGRAM OUT.1.gz [SUBCOMMAND...]
# Each SUBCOMMAND's own --help becomes a section of the page.
set -euo pipefail
program="$1" out="$2"
shift 2
name="$(basename "$program")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The page's one-line description: the first paragraph of the help, up to its first period.
summary="$("$program" --help | awk 'NR > 1 && NF { print; exit }' | sed 's/\..*//; s/^ *//')"
: >"$work/include"
for sub in "$@"; do
  {
    echo "[COMMAND ${sub^^}]"
    echo ".nf"
    "$program" "$sub" --help | sed 's/\\/\\e/g; s/^\([.'"'"']\)/\\\&\1/'
    echo ".fi"
  } >>"$work/include"
done
help2man --no-info --section 1 --name "$summary" --include "$work/include" \
  --output "$work/$name.1" "$program"
mkdir -p "$(dirname "$out")"
gzip -9n <"$work/$name.1" >"$out"
