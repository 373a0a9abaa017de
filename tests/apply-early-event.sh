#!/bin/bash
# apply-early-event.sh UXHOST PLUGIN: a plug-in that answers a note with an event
# before it is refused with exit code 2 and one line naming it; the output it was
# writing is removed.
uxhost=$1
plugin=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

# A note-on at tick 20, its note-off at tick 30.
printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\14\24\220\74\144\12\200\74\100\0\377\57\0' >song.mid
"$uxhost" apply -f "$plugin" song.mid -o out.mid 2>err.txt
status=$?
ok=1
[ "$status" -eq 2 ] || { echo "exit code $status, expected 2"; ok=0; }
grep -qF "EarlyEcho.so: the filter answered an event at tick 20 with one at tick 10, before it" err.txt \
  || { echo "standard error lacks the refusal"; ok=0; }
[ "$(wc -l <err.txt)" -eq 1 ] || { echo "standard error is not one line"; ok=0; }
[ "$(ls)" = "$(printf 'err.txt\nsong.mid')" ] || { echo "files left: $(ls)"; ok=0; }
[ $ok -eq 1 ] || { echo "--- stderr:"; cat err.txt; exit 1; }
