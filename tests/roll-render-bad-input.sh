#!/bin/bash
# roll-render-bad-input.sh UXHOST: each bad input to `uxhost roll` and `uxhost
# render` is refused with exit code 2 and one line on standard error naming the
# file and the problem, and no output file appears.
uxhost=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\4\0\377\57\0' >good.mid
printf 'hello, world\n' >text.mid
# A quarter of nearly 17 seconds, 1516 of them: seven hours.
printf 'MThd\0\0\0\6\0\0\0\1\0\1MTrk\0\0\0\14\0\377\121\3\377\377\377\213\154\377\57\0' >long.mid

failures=0
# check COMMAND NAME TEXT OUTPUT ARGS...: runs uxhost COMMAND ARGS -o OUTPUT.
check() {
  local command=$1 name=$2 text=$3 output=$4
  shift 4
  "$uxhost" "$command" "$@" -o "$output" >out.txt 2>err.txt
  local status=$? ok=1
  [ "$status" -eq 2 ] || { echo "$command, $name: exit code $status, expected 2"; ok=0; }
  grep -qF -- "$text" err.txt || { echo "$command, $name: standard error lacks: $text"; ok=0; }
  [ "$(wc -l <err.txt)" -eq 1 ] || { echo "$command, $name: standard error is not one line"; ok=0; }
  [ ! -s out.txt ] || { echo "$command, $name: standard output is not empty"; ok=0; }
  [ ! -e "$output" ] || { echo "$command, $name: $output was created"; ok=0; }
  ls | grep -q '\.\(png\|wav\)\.' && { echo "$command, $name: a temporary file was left behind"; ok=0; }
  [ $ok -eq 1 ] || { echo "--- stderr:"; cat err.txt; failures=$((failures + 1)); }
}

for command in roll render; do
  out=new.png
  [ $command = render ] && out=new.wav
  check $command "missing file" "no-such.mid: cannot read: No such file or directory" $out no-such.mid
  check $command "not MIDI" "text.mid: not a Standard MIDI File" $out text.mid
  check $command "unknown plug-in" "No Such Filter: no such plug-in; found: " $out good.mid -f "No Such Filter"
  check $command "output folder missing" "no-such-folder/$out: cannot write: No such file or directory" \
    no-such-folder/$out good.mid
done
check render "no SoundFont" "no-such.sf2: cannot read: No such file or directory" new.wav good.mid \
  --soundfont no-such.sf2
check render "not a SoundFont" "text.mid: not a SoundFont" new.wav good.mid --soundfont text.mid
check render "too long" "long.mid lasts 7 hours, more than a WAV file can hold" new.wav long.mid
check render "rate too low" "--rate: \"8000\": give a whole number from 22050 to 96000" new.wav good.mid \
  --rate 8000
check render "gain too high" "--gain: \"100\": give a gain in dB from -60 to 60" new.wav good.mid --gain 100
check render "gain not a number" "--gain: \"loud\" is not a number" new.wav good.mid --gain loud
check roll "bars the wrong way round" "--to: the last bar comes before the first" new.png good.mid \
  --from 3 --to 2

[ $failures -eq 0 ]
