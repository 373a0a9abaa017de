#!/bin/bash
# faulty-filter.sh UXHOST EARLYECHO THROWING: a plug-in that answers a note with an
# event before it, or that throws, is refused by apply, roll and render with exit
# code 2 and one line naming it and the fault; the output it was writing is removed.
uxhost=$1 early=$2 throwing=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

# A note-on at tick 20, its note-off at tick 30.
printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\14\24\220\74\144\12\200\74\100\0\377\57\0' >song.mid
failures=0
while IFS='|' read -r plugin text; do
  for command in apply roll render; do
    "$uxhost" "$command" -f "$plugin" song.mid -o out 2>err.txt
    status=$? ok=1
    [ "$status" -eq 2 ] || { echo "$command: exit code $status, expected 2"; ok=0; }
    grep -qF "$text" err.txt || { echo "$command: standard error lacks: $text"; ok=0; }
    [ "$(wc -l <err.txt)" -eq 1 ] || { echo "$command: standard error is not one line"; ok=0; }
    [ "$(ls)" = "$(printf 'err.txt\nsong.mid')" ] || { echo "$command: files left: $(ls)"; ok=0; }
    [ $ok -eq 1 ] || { echo "--- $plugin, stderr:"; cat err.txt; failures=$((failures + 1)); }
  done
done <<END
$early|EarlyEcho.so: the filter answered an event at tick 20 with one at tick 10, before it
$throwing|Throwing.so: the filter threw an exception: no chain for this note
END
[ $failures -eq 0 ]
