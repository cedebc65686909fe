#!/usr/bin/env bash
# The executable loads none of the shared libraries the build linked in
# statically (its start-up is mostly the dynamic loader's binding), directly
# or through another library.
#   shared_libraries_test.sh EXE LIBRARY_PREFIX...
# Fails when a library the loader would load for EXE starts with a prefix,
# e.g. libsimdjson. or libstdc++.
set -uo pipefail
exe=$1
shift
needed=$(ldd "$exe" | awk '{ print $1 }') || exit 1
[ -n "$needed" ] || { echo "FAIL: ldd listed no libraries for $exe" >&2; exit 1; }
echo "$exe needs:" $needed
failures=0
for prefix in "$@"; do
  for lib in $needed; do
    case $lib in
      "$prefix"*) echo "FAIL: $exe needs $lib" >&2; failures=$((failures + 1)) ;;
    esac
  done
done
[ "$failures" -eq 0 ]
