#!/usr/bin/env bash
# Writes a gzipped man page from a program's --help and --version (help2man).
# Usage: scripts/make-man.sh PROGRAM OUT.1.gz "ONE-LINE DESCRIPTION" [SUBCOMMAND...]
# Each SUBCOMMAND's own --help becomes a section of the page.
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
help2man --no-info --section 1 --name "$summary" "${include[@]}" \
  --output "$work/$name.1" "$program"
mkdir -p "$(dirname "$out")"
gzip -9n <"$work/$name.1" >"$out"
