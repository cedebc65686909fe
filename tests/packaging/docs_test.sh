#!/usr/bin/env bash
# The manual pages and shell completions cover what the program offers.
#   docs_test.sh VANTREL_EXE SOURCE_DIR
# Every command and option of `vantrel help` must appear in vantrel(1) and in
# both completions (the bash one must also complete it), every VANTREL_*
# variable the sources read must be in the manual's ENVIRONMENT, and both
# manuals must pass groff's checks without a warning.
set -uo pipefail
exe=$1
src=$2
manual=$src/docs/vantrel.1
tool_manual=$src/docs/vantrel-patterns.1
bash_completion=$src/packaging/completions/vantrel.bash
zsh_completion=$src/packaging/completions/_vantrel

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

help=$("$exe" help) || { echo "vantrel help failed" >&2; exit 1; }

# Lines of one section of the help text (from its heading to the next blank
# line followed by a heading).
section() {
  awk -v head="$1" '$0 == head {on = 1; next} on && /^[A-Z][A-Z ]*:$/ {exit} on' <<<"$help"
}
# The options an option section lists: on lines with four spaces then "-",
# the words before the description.
options_of() {
  section "$1" | grep -E '^ {4}-' | sed -E 's/^ {4}//; s/ {2,}.*//; s/<[A-Z]+>//g' |
    grep -oE -- '--?[a-z][a-z-]*'
}
commands=$(section "COMMANDS:" | awk 'NF {print $1}')
scan_options=$(options_of "SCAN OPTIONS:")
stream_options=$(options_of "STREAM OPTIONS:")
[ "$(wc -w <<<"$commands")" -ge 4 ] || fail "could not read the commands from the help text"
[ "$(wc -w <<<"$scan_options")" -ge 17 ] || fail "could not read the scan options from the help text"
[ "$(wc -w <<<"$stream_options")" -ge 10 ] || fail "could not read the stream options from the help text"

# The manual's source with roff's escaped hyphens made plain.
manual_text=$(sed 's/\\-/-/g' "$manual")
has_word() {  # TEXT WORD: WORD occurs on its own, not inside a longer option
  grep -qE -- "(^|[^a-zA-Z0-9-])$2([^a-zA-Z0-9-]|\$)" <<<"$1"
}
for word in $(printf "%s\n" $commands $scan_options $stream_options | sort -u); do
  has_word "$manual_text" "$word" || fail "vantrel(1) does not mention $word"
  has_word "$(cat "$zsh_completion")" "$word" || fail "the zsh completion does not offer $word"
  has_word "$(cat "$bash_completion")" "$word" || fail "the bash completion does not offer $word"
done
for heading in "EXIT STATUS" ENVIRONMENT FILES EXAMPLES; do
  grep -qx "\.SH $heading" "$manual" || fail "vantrel(1) has no $heading section"
done

# Every environment variable named in the library or front end, in ENVIRONMENT.
environment=$(awk '/^\.SH ENVIRONMENT/ {on = 1; next} /^\.SH/ {on = 0} on' "$manual")
variables=$(grep -rhoE '"VANTREL_[A-Z0-9_]+"' "$src/sdk/src" "$src/cli" | tr -d '"' | sort -u)
[ -n "$variables" ] || fail "found no environment variable in the sources"
for v in $variables; do
  grep -q "^\.B $v\$" <<<"$environment" || fail "ENVIRONMENT does not describe $v"
done
# The candidate pattern files, in the order tried.
files=$(awk '/^\.SH FILES/ {on = 1; next} /^\.SH/ {on = 0}
             on && /^\.I / && (prev == ".TP" || prev == ".TQ") {sub(/^\.I /, ""); printf "%s|", $0}
             {prev = $0}' "$manual")
[ "$files" = "(the build's pattern file)|patterns.json|./patterns.json|../patterns.json|" ] ||
  fail "FILES lists the candidate files as: $files"

for page in "$manual" "$tool_manual"; do
  out=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
  [ -z "$out" ] || fail "groff warns on $page: $out"
done

# The bash completion, run as bash runs it: each option completes from its
# first letters after the right command, and values are offered.
complete_words() {  # WORDS...: what bash would offer for the last word
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
           if [ "$1" = vantrel ]; then _vantrel; else _vantrel_patterns; fi
           printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" "$@"
}
offers() {  # WORD WORDS...: the completion of WORDS includes WORD
  local want=$1
  shift
  grep -qx -- "$want" <<<"$(complete_words "$@")"
}
for c in $commands; do
  offers "$c" vantrel "${c:0:3}" || fail "bash: vantrel ${c:0:3} does not complete $c"
done
for o in $scan_options; do
  offers "$o" vantrel scan "${o:0:3}" || fail "bash: scan ${o:0:3} does not complete $o"
done
for o in $stream_options; do
  offers "$o" vantrel stream "${o:0:3}" || fail "bash: stream ${o:0:3} does not complete $o"
done
[ "$(complete_words vantrel scan --mode o)" = output ] || fail "bash: --mode values"
[ "$(complete_words vantrel scan --patterns "$src/docs/vantrel.")" = "$src/docs/vantrel.1" ] ||
  fail "bash: --patterns does not complete a file name"
[ -z "$(complete_words vantrel scan some)" ] || fail "bash: offers words for the text to scan"
[ "$(complete_words vantrel-patterns check --d)" = --database ] || fail "bash: vantrel-patterns --database"

if command -v zsh >/dev/null; then
  zsh -n "$zsh_completion" || fail "zsh cannot parse $zsh_completion"
else
  echo "note: zsh is not installed; the zsh completion's syntax was not checked" >&2
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "manuals and completions cover $(wc -w <<<"$commands") commands and $(sort -u <<<"$scan_options
$stream_options" | wc -l) options"
