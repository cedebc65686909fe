#!/bin/sh
# Start-up of the vantrel executable against `true`, measured together, and
# its size: a short scan should cost little more than starting any process.
#
#   bench/startup.sh [VANTREL]      (default build/cli/vantrel)
set -eu
exe=${1:-build/cli/vantrel}
command -v hyperfine >/dev/null || { echo "startup.sh: needs hyperfine" >&2; exit 1; }
echo "executable: $(wc -c <"$exe") bytes"
ldd "$exe" | awk '{ print "  needs " $1 }'
hyperfine -N --warmup 100 --runs 500 true "$exe scan --json hello"
