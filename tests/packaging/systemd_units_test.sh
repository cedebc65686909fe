#!/usr/bin/env bash
# systemd accepts the service units without a warning and rates the
# service's sandbox as tight. Exits 77 (skipped) without systemd-analyze.
#   systemd_units_test.sh VANTREL_EXE SOURCE_DIR
set -uo pipefail
exe=$1
src=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The units run the installed program, and verification wants an executable
# there: point a copy at the build. The manual is not installed either.
for unit in vantrel.socket vantrel@.service; do
  sed "s|/usr/bin/vantrel|$exe|g" "$src/packaging/systemd/$unit" >"$tmp/$unit"
done
cd "$tmp" || exit 1

status=0
if ! out=$(systemd-analyze verify --man=no vantrel.socket vantrel@.service 2>&1) || [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify:" >&2
  echo "$out" >&2
  status=1
fi
# Exposure runs from 0 (confined) to 10 (unprotected); --threshold counts
# in tenths.
if ! out=$(systemd-analyze security --offline=yes --threshold=10 vantrel@.service 2>&1); then
  echo "FAIL: the service's exposure is above 1.0:" >&2
  grep -v '^✓' <<<"$out" >&2
  status=1
else
  grep 'Overall exposure' <<<"$out"
fi
exit $status
