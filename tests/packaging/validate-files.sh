#!/usr/bin/env bash
# validate-files.sh <what> <files...>: runs the validator a reviewer or a distribution would run.
set -euo pipefail
what=$1; shift
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

case $what in
desktop)
  for f in "$@"; do
    out=$(desktop-file-validate "$f" 2>&1) || fail "$f: desktop-file-validate failed"
    # Hints are advice; warnings and errors are faults.
    faults=$(grep -Ev '^[^:]*: hint:' <<<"$out" || true)
    if [ -n "$faults" ]; then echo "$out" >&2; fail "$f: not clean"; fi
  done ;;
metainfo)
  for f in "$@"; do
    appstreamcli validate --no-net --no-color "$f" || fail "$f: appstreamcli validate failed"
  done ;;
man)
  # Renders each page as man would show it; groff's warnings (bad requests, lines that
  # cannot be broken) go to stderr and count as faults.
  for f in "$@"; do
    err=$(mktemp)
    text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$f" 2>"$err") || fail "$f: man -l failed"
    if [ -s "$err" ]; then cat "$err" >&2; fail "$f: warnings while rendering"; fi
    rm -f "$err"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
      grep -q "^$section\$" <<<"$text" || fail "$f: no $section section"
    done
    if grep -q '@[A-Z_]*@' <<<"$text"; then fail "$f: a placeholder was not filled in"; fi
  done ;;
unit)
  # Exposure is 0 (locked down) to 10 (unprotected); the service must stay under 2.0.
  for f in "$@"; do
    systemd-analyze security --offline=true --threshold=20 --no-pager "$f" | tail -n 1 ||
      fail "$f: exposure above 2.0 or the unit does not parse"
  done ;;
icons)
  # <dir> <sizes...>: hicolor PNGs of the right size.
  dir=$1; shift
  for size in "$@"; do
    png=$(find "$dir/${size}x${size}" -name '*.png' | head -n 1)
    [ -n "$png" ] || { fail "no ${size}x${size} icon"; continue; }
    kind=$(file -b "$png")
    grep -q "PNG image data, $size x $size, 8-bit/color RGBA" <<<"$kind" || fail "$png: $kind"
  done ;;
*)
  echo "unknown check: $what" >&2; exit 2 ;;
esac
exit $status
