#!/bin/bash
# clap-file.sh MODE ARGS...: CLAP files as CLAP hosts see them.
#
#   scan FILE NAME...
#       The headless plug-in scanner of a real host (Qtractor's) lists the file's
#       plug-ins in this order under these names, each with no audio port, one note
#       port each way and no parameter.
#   tool UXHOST PLUGIN NOT_A_FILTER EXPECT_FAILURE
#       `uxhost clap-bundle` on PLUGIN gives a CLAP file the scanner lists, holding
#       the plug-in file unchanged; run again it replaces its own; bad input is
#       refused with one line and exit code 2, replacing nothing.
#
# Without the scanner the test is skipped (exit 77); under CI=true, where
# scripts/setup.sh installed it, it fails.
set -u
mode=$1
shift
scanner=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/qtractor/qtractor_plugin_scan

fail() {
  echo "FAIL: $*"
  exit 1
}

if [ ! -x "$scanner" ]; then
  [ "${CI:-}" = true ] && fail "missing $scanner (scripts/setup.sh installs qtractor)"
  echo "SKIP: missing $scanner (scripts/setup.sh installs qtractor)"
  exit 77
fi

# The scanner's lines for the file at $1 as "name|audio|notes|params", one a line.
scan() {
  echo "CLAP:$1" | timeout 60 "$scanner" 2>/dev/null | awk -F'|' '$1 == "CLAP" { print $2 "|" $3 "|" $4 "|" $5 }'
}

# Passes when the file at $1 lists the names that follow, in order, as note effects.
expect_listed() {
  local file=$1
  shift
  local listed expected
  listed=$(scan "$file")
  expected=$(printf '%s|0:0|1:1|0:0\n' "$@")
  [ "$listed" = "$expected" ] || fail "the scanner lists $file as:
$listed
expected:
$expected"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $mode in
scan)
  expect_listed "$@"
  ;;

tool)
  uxhost=$1 plugin=$2 not_a_filter=$3 expect=$4
  name=$("$uxhost" info "$plugin" | sed -n 's/^Name: *//p')
  stem=$(basename "$plugin" .so)
  "$uxhost" clap-bundle "$plugin" -o "$work/clap" >/dev/null || fail "uxhost clap-bundle failed"
  cmp -s "$plugin" "$work/clap/$stem-add-ons/$stem.so" || fail "the plug-in file was not copied unchanged"
  expect_listed "$work/clap/$stem.clap" "$name"
  "$uxhost" clap-bundle "$plugin" -o "$work/clap" >/dev/null || fail "uxhost clap-bundle does not replace its own file"
  expect_listed "$work/clap/$stem.clap" "$name"
  [ "$(ls -A "$work/clap")" = "$(printf '%s\n' "$stem-add-ons" "$stem.clap")" ] \
    || fail "left behind: $(ls -A "$work/clap")"

  "$expect" 2 "NotAFilter.so: not a filter plug-in" "$uxhost" clap-bundle "$not_a_filter" -o "$work/bad" \
    || fail "a file that is no plug-in was not refused"
  [ ! -e "$work/bad" ] || fail "a refused bundle left $work/bad"
  mkdir -p "$work/own" && echo mine >"$work/own/$stem.clap"
  "$expect" 2 "$stem.clap: exists and was not made by uxhost clap-bundle" \
    "$uxhost" clap-bundle "$plugin" -o "$work/own" || fail "a file it did not make was replaced"
  [ "$(cat "$work/own/$stem.clap")" = mine ] || fail "a file it did not make was changed"
  "$expect" 2 "bad name: a CLAP file's name must be" \
    "$uxhost" clap-bundle "$plugin" --name "bad name" -o "$work/named" || fail "a bad name was taken"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
echo "PASS: clap-file.sh $mode"
exit 0
