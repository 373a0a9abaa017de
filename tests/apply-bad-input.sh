#!/bin/bash
# apply-bad-input.sh UXHOST: each bad input to `uxhost apply` is refused with exit
# code 2 and one line on standard error naming the file and the problem; no output
# file appears, and an existing one stays as it was.
uxhost=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

header='MThd\0\0\0\6\0\0\0\1\1\340'
printf "${header}MTrk\0\0\0\4\0\377\57\0" >good.mid
printf 'hello, world\n' >text.mid
printf 'MThd\0\0\0\6\0\0' >truncated.mid
printf "${header}MTrk\0\0\0\3\0\220\74" >long-event.mid
printf 'MThd\0\0\1\6\0\0\0\1\1\340MTrk\0\0\0\4\0\377\57\0' >lying-header.mid
printf "${header}XTrk\0\0\1\0\0\377\57\0" >long-chunk.mid
printf "${header}Mtrk\0\0\0\4\0\377\57\0" >misnamed.mid
mkdir folder.mid
echo 'keep me' >existing.mid

failures=0
# check NAME TEXT OUTPUT ARGS...: runs uxhost apply ARGS -o OUTPUT.
check() {
  local name=$1 text=$2 output=$3
  shift 3
  local before
  before=$(cat "$output" 2>/dev/null)
  "$uxhost" apply "$@" -o "$output" >out.txt 2>err.txt
  local status=$? ok=1
  [ "$status" -eq 2 ] || { echo "$name: exit code $status, expected 2"; ok=0; }
  grep -qF -- "$text" err.txt || { echo "$name: standard error lacks: $text"; ok=0; }
  [ "$(wc -l <err.txt)" -eq 1 ] || { echo "$name: standard error is not one line"; ok=0; }
  [ ! -s out.txt ] || { echo "$name: standard output is not empty"; ok=0; }
  if [ -n "$before" ]; then
    [ "$(cat "$output")" = "$before" ] || { echo "$name: $output was changed"; ok=0; }
  elif [ -f "$output" ]; then
    echo "$name: $output was created"; ok=0
  fi
  ls | grep -q '\.mid\.' && { echo "$name: a temporary file was left behind"; ok=0; }
  [ $ok -eq 1 ] || { echo "--- stderr:"; cat err.txt; failures=$((failures + 1)); }
}

check "missing file" "no-such.mid: cannot read: No such file or directory" new.mid -f Dissolve no-such.mid
check "directory" "folder.mid: is a directory" new.mid -f Dissolve folder.mid
check "not MIDI" "text.mid: not a Standard MIDI File" new.mid -f Dissolve text.mid
check "truncated" "truncated.mid: truncated: the file ends inside its header chunk" \
  new.mid -f Dissolve truncated.mid
check "lying header length" "lying-header.mid: a wrong header length: the header chunk claims 262 bytes" \
  new.mid -f Dissolve lying-header.mid
check "misnamed track" 'misnamed.mid: no track 1: the chunk at byte 14 is named "Mtrk", not "MTrk"' \
  new.mid -f Dissolve misnamed.mid
check "other chunk past the end" "long-chunk.mid: truncated: the chunk at byte 14 claims 256 bytes" \
  new.mid -f Dissolve long-chunk.mid
check "event past its chunk" "long-event.mid: track 1, event at byte 22: the event runs past the end" \
  new.mid -f Dissolve long-event.mid
check "unknown plug-in" "No Such Filter: no such plug-in; found: " new.mid -f "No Such Filter" good.mid
check "output folder missing" "no-such-folder/new.mid: cannot write: No such file or directory" \
  no-such-folder/new.mid -f Dissolve good.mid
check "output is a folder" "folder.mid: cannot write: Is a directory" folder.mid -f Dissolve good.mid
check "existing output kept" "text.mid: not a Standard MIDI File" existing.mid -f Dissolve text.mid
check "no filter" "--filter is required" new.mid good.mid
check "bad channel list" '"0" is no channel; channels are 1 to 16' new.mid -f Dissolve --channels 1-9,0 good.mid
check "backward channel range" 'the range 9-1 runs backwards' new.mid -f Dissolve --channels 9-1 good.mid

[ $failures -eq 0 ]
