#!/bin/bash
# faulty-filter.sh UXHOST EARLYECHO THROWING CRASHES: a plug-in that answers a note
# with an event before it, or that throws, is refused by apply, roll and render
# with exit code 2 and one line naming it, the fault, and for a throw the track,
# tick and note; one that crashes ends them as its signal does, with one line
# naming it and the note. Either way the output being written is removed.
uxhost=$1 early=$2 throwing=$3 crashes=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
ulimit -c 0  # a crash leaves no core file among the files checked

# A note-on at tick 20, its note-off at tick 30.
printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\14\24\220\74\144\12\200\74\100\0\377\57\0' >song.mid
failures=0
# check NAME CODE TEXT COMMAND...: runs the command, which must end with CODE,
# one line holding TEXT on standard error, and no file but the test's own left.
check() {
  local name=$1 code=$2 text=$3 ok=1
  shift 3
  "$@" 2>err.txt >/dev/null
  local status=$?
  [ "$status" -eq "$code" ] || { echo "$name: exit code $status, expected $code"; ok=0; }
  grep -qF "$text" err.txt || { echo "$name: standard error lacks: $text"; ok=0; }
  [ "$(wc -l <err.txt)" -eq 1 ] || { echo "$name: standard error is not one line"; ok=0; }
  [ "$(ls)" = "$(printf 'err.txt\nsong.mid')" ] || { echo "$name: files left: $(ls)"; ok=0; }
  [ $ok -eq 1 ] || { echo "--- stderr:"; cat err.txt; failures=$((failures + 1)); }
}
crash="CrashesOnNote.so: the filter crashed"
# A crash runs through env, which the suite's valgrind run does not follow (it
# skips /usr/bin): memcheck would count what a crashed process holds as lost.
while IFS='|' read -r plugin how code text; do
  for command in apply roll render; do
    check "$command $(basename "$plugin") $how" "$code" "$text" \
      ${how:+env UX_CRASH="$how"} "$uxhost" "$command" -f "$plugin" song.mid -o out
  done
done <<END
$early||2|EarlyEcho.so: the filter answered an event at tick 20 with one at tick 10, before it
$throwing||2|Throwing.so: the filter threw an exception on track 1, tick 20, note 60: no chain for this note
$crashes|segv|139|$crash (a bad memory access or a stack overflow) on track 1, tick 20, note 60
$crashes|overflow|139|$crash (a bad memory access or a stack overflow) on track 1, tick 20, note 60
$crashes|fpe|136|$crash (an arithmetic fault) on track 1, tick 20, note 60
$crashes|ill|132|$crash (an illegal instruction) on track 1, tick 20, note 60
$crashes|abort|134|$crash (it aborted) on track 1, tick 20, note 60
$crashes|bus|135|$crash (a bus error) on track 1, tick 20, note 60
END
# demo hands its note to the filter itself, before any file is made.
check "demo" 139 "$crash (a bad memory access or a stack overflow) on track 1, tick 0, note 60" \
  env "$uxhost" demo "$crashes"
[ $failures -eq 0 ]
