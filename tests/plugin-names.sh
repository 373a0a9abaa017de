#!/bin/bash
# plugin-names.sh UXHOST ADDONS NOTAFILTER: how uxhost resolves a plug-in argument.
# A name is looked up in the add-on folders, in any case, never in the current
# folder; only an argument with a '/' is a path. Two add-ons of one name give one
# line saying which is used; `list` names what does not load and still exits 0.
uxhost=$1 addons=$2 notafilter=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
export HOME=$dir/home  # the user's own add-ons folder lies below it
cp "$notafilter" Dissolve.so               # what a downloaded folder may hold
mkdir extra
cp "$addons/Dissolve.so" extra/Dissolve.so   # the same add-on under its own file name,
cp "$addons/Dissolve.so" extra/Copy.so       # and under another,
cp "$notafilter" extra/Broken.so             # beside a file that is no plug-in

failures=0
# check PATH CODE LINES 'STDOUT' 'STDERR' ARGS...: runs uxhost ARGS with
# UX_ADDON_PATH=PATH; it must exit with CODE, print LINES lines on standard error,
# and its outputs must match the extended regular expressions given ('' for none).
check() {
  local path=$1 code=$2 lines=$3 out=$4 err=$5
  shift 5
  UX_ADDON_PATH=$path "$uxhost" "$@" >out.txt 2>err.txt
  local status=$? ok=1
  [ "$status" -eq "$code" ] || { echo "$*: exit code $status, expected $code"; ok=0; }
  [ "$(wc -l <err.txt)" -eq "$lines" ] || { echo "$*: standard error has not $lines lines"; ok=0; }
  [ -z "$out" ] || grep -qE -- "$out" out.txt || { echo "$*: standard output lacks: $out"; ok=0; }
  [ -z "$err" ] || grep -qE -- "$err" err.txt || { echo "$*: standard error lacks: $err"; ok=0; }
  [ $ok -eq 1 ] || { echo "--- stdout:"; cat out.txt; echo "--- stderr:"; cat err.txt; failures=$((failures + 1)); }
}

both=extra:$addons
check "$addons" 0 0 "^File: +$addons/Dissolve.so$" ""                   info Dissolve.so
check "$addons" 2 1 "" "^uxhost: ./Dissolve.so: not a filter plug-in"   info ./Dissolve.so
check "$addons" 0 0 "^Name: +Fractal Drift$" ""                         info "fractal DRIFT"
check "$addons" 0 0 "^Name: +Beta Fade$" ""                             info betafade
check ""        0 0 "^Fractal Drift	1.0	" ""                              list
check "$both"   0 1 "^File: +extra/Dissolve.so$" \
  "^uxhost: two plug-in files are named \"dissolve\": using extra/Dissolve.so, not $addons/Dissolve.so$" \
  info dissolve
check "$both"   0 2 "^Beta Fade	" \
  "^uxhost: two add-ons are named \"Dissolve\": using extra/Copy.so, not extra/Dissolve.so, $addons/Dissolve.so$" \
  list
grep -q "^uxhost: extra/Broken.so: not a filter plug-in" err.txt || { echo "list: Broken.so not named"; failures=$((failures + 1)); }
[ "$(grep -c '^Dissolve	' out.txt)" -eq 1 ] || { echo "list: Dissolve is not listed once"; failures=$((failures + 1)); }
# The user's own folder, after UX_ADDON_PATH and before the installed one.
mkdir -p "$HOME/.local/lib/ux-add-ons"
cp "$addons/Dissolve.so" "$HOME/.local/lib/ux-add-ons/Mine.so"
check "$addons" 0 0 "^File: +$HOME/.local/lib/ux-add-ons/Mine.so$" ""   info mine
check "extra"   0 2 "" "^uxhost: two add-ons are named \"Dissolve\": using extra/Copy.so, not extra/Dissolve.so, $HOME/.local/lib/ux-add-ons/Mine.so" list
[ $failures -eq 0 ]
