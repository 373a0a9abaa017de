#!/bin/sh
# expect-failure.sh CODE TEXT COMMAND...: passes when COMMAND exits with CODE and
# says TEXT on one line of standard error, and prints nothing on standard output.
code=$1 text=$2
shift 2
err=$(mktemp) out=$(mktemp)
"$@" >"$out" 2>"$err"
status=$?
ok=1
[ "$status" -eq "$code" ] || { echo "exit code $status, expected $code"; ok=0; }
grep -qF -- "$text" "$err" || { echo "standard error lacks: $text"; ok=0; }
[ "$(wc -l <"$err")" -eq 1 ] || { echo "standard error is not one line"; ok=0; }
[ ! -s "$out" ] || { echo "standard output is not empty"; ok=0; }
[ $ok -eq 1 ] || { echo "--- stderr:"; cat "$err"; }
rm -f "$err" "$out"
[ $ok -eq 1 ]
