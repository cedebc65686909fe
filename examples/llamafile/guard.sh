#!/usr/bin/env bash
# Guards a local model run from the command line (a llamafile, or any
# program taking `--cli -p PROMPT` and writing its reply to standard output):
# the prompt is scanned before the model sees it, and the reply is watched
# while it is generated, the model being stopped at the first threat.
#
#   guard.sh [-m MODEL] [PROMPT...]      the prompt from the arguments or stdin
#
# MODEL defaults to $VANTREL_MODEL, else ./model.llamafile; the scanner is
# $VANTREL, else `vantrel` on the PATH. The reply goes to standard output as
# the model writes it; verdicts go to standard error.
# Exit status: 0 the reply is complete and clean, 1 the prompt was refused or
# the reply stopped, 2 an error (of the scanner or the model).
set -u -o pipefail

model=${VANTREL_MODEL:-./model.llamafile}
vantrel=${VANTREL:-vantrel}
if [ "${1:-}" = "-m" ]; then
  [ $# -ge 2 ] || { echo "usage: guard.sh [-m MODEL] [PROMPT...]" >&2; exit 2; }
  model=$2
  shift 2
fi
if [ $# -gt 0 ]; then
  prompt="$*"
else
  prompt=$(cat) || exit 2
fi

# 1. The prompt, given on stdin so that one starting with "-" is not read as
# an option. -e: exit status 1 on a threat.
report=$(printf '%s' "$prompt" | "$vantrel" scan -e)
case $? in
  0) ;;
  1)
    printf 'vantrel: prompt refused\n%s\n' "$report" >&2
    exit 1
    ;;
  *) exit 2 ;;
esac

# 2. The reply. tee shows it and hands a copy to `vantrel stream -e`, which
# exits 1 at the first threat; tee and then the model die of the broken pipe
# when they write next. The line that completes a threat has been shown by
# then: to hold back text until it is checked, embed the library instead
# (examples/c/stream_tokens.c).
exec 3>&1
"$model" --cli -p "$prompt" | tee /dev/fd/3 | "$vantrel" stream -e -q
statuses=("${PIPESTATUS[@]}")
exec 3>&-
case ${statuses[2]} in
  0) ;;
  1)
    echo "vantrel: reply stopped: threat detected" >&2
    exit 1
    ;;
  *) exit 2 ;;
esac
# The model's own failure, unless the scanner ended the pipe first.
[ "${statuses[0]}" -eq 0 ] || exit 2
