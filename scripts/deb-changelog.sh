#!/usr/bin/env bash
# Writes the .deb's changelog.gz: one entry in Debian's format for this version, pointing to
# CHANGELOG.md beside it. The date is CHANGELOG.md's last commit (or the file's time), so the
# package comes out the same from the same sources.
# Usage: scripts/deb-changelog.sh VERSION CHANGELOG.md OUT.gz
set -euo pipefail
version="$1" changelog="$2" out="$3"
stamp="$(git -C "$(dirname "$changelog")" log -1 --format=%ct -- "$changelog" 2>/dev/null || true)"
[ -n "$stamp" ] || stamp="$(stat -c %Y "$changelog")"
{
  echo "kestrune ($version) unstable; urgency=medium"
  echo
  echo "  * Kestrune $version; what changed is in CHANGELOG.md."
  echo
  echo " -- Kestrune developers <kestrune@localhost>  $(LC_ALL=C date -u -R -d "@$stamp")"
} | gzip -9n >"$out"
