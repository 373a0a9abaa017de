#!/bin/bash
# uxhost-cli.sh UXHOST SONG: uxhost as a command line used from a shell. Each row
# runs one command and checks its exit code, its standard error (one line holding
# a text, or nothing) and the files left in the output folder out/ afterwards:
# signals that remove the temporary file, the progress line on a terminal and
# never on a pipe, --quiet, inputs that are pipes, files that are empty or hold
# more tracks than they declare, the option parser's errors in uxhost's words, and
# the drawing and sound libraries loaded only by the commands that need them.
uxhost=$(realpath "$1")
song=$(realpath "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

: >empty.mid
printf 'MThd\0\0\0\6\0\1\0\1\1\340' >extra.mid
for _ in 1 2 3; do printf 'MTrk\0\0\0\4\0\377\57\0' >>extra.mid; done
# Cut short inside its second track, the note-off's velocity cut off; format 2.
printf 'MThd\0\0\0\6\0\1\0\2\1\340MTrk\0\0\0\4\0\377\57\0MTrk\0\0\1\0\0\220\74\144\203\140\200\74' >cut.mid
printf 'MThd\0\0\0\6\0\2\0\2\1\340' >format2.mid
for pitch in '\74' '\100'; do printf "MTrk\0\0\0\15\0\220$pitch\144\203\140\200$pitch\100\0\377\57\0" >>format2.mid; done
# A pipe that never ends: a command reading it waits, its output half written.
mkfifo endless.mid
exec 3<>endless.mid

# killed SIGNAL ARGS...: runs uxhost ARGS, sends SIGNAL once its output has begun
# to appear in out/, and returns uxhost's exit status as the shell sees it. Job
# control keeps SIGINT from being ignored, as it is for a plain background job.
killed() {
  local signal=$1 pid
  shift
  set -m
  "$uxhost" "$@" &
  pid=$!
  for _ in $(seq 200); do [ -n "$(ls out)" ] && break; sleep 0.05; done
  exec 2>/dev/null  # the shell's own word on the job
  kill -"$signal" $pid
  wait $pid
}

# The song, on standard output more than a second after the output has begun.
cat >late-song.sh <<END
for _ in \$(seq 200); do [ -n "\$(ls out)" ] && break; sleep 0.05; done
sleep 1.2
cat '$song'
END

# progress WHERE ARGS...: runs uxhost ARGS with its input arriving late and its
# standard error on a terminal (WHERE=tty) or a pipe (WHERE=pipe); says in one
# line whether a progress line was shown, and whether its shares only rose.
progress() {
  local where=$1 status
  shift
  if [ "$where" = tty ]; then
    script -qec "bash late-song.sh | '$uxhost' $*" /dev/null >seen.txt
  else
    bash late-song.sh | "$uxhost" "$@" 2>seen.txt
  fi
  status=$?
  tr '\r' '\n' <seen.txt | grep -o '[0-9]*%' | tr -d % >shares.txt
  if [ ! -s shares.txt ]; then
    echo "progress: none" >&2
  elif sort -c -u -n shares.txt 2>/dev/null && grep -q $'\r\033\[K' seen.txt; then
    echo "progress: rising, then wiped" >&2
  else
    echo "progress: repeated or not wiped: $(tr '\n' ' ' <shares.txt)" >&2
  fi
  return $status
}

# loads ARGS...: runs uxhost ARGS under the dynamic loader's eye and says on
# standard error each drawing or sound library it opened (cairo, FluidSynth), or
# that the loader named no library at all.
loads() {
  LD_DEBUG=files "$uxhost" "$@" 2>&1 >/dev/null | grep -o 'file=[^ ]*' >opened.txt
  local status=${PIPESTATUS[0]}
  grep -q 'file=libUxKernel' opened.txt || echo "the loader named no library" >&2
  grep -E 'lib(cairo|fluidsynth|jack)' opened.txt | sort -u | tr '\n' ' ' | grep . >&2
  return "$status"
}

# A copy of uxhost beside a module that is no library.
mkdir bin
cp "$uxhost" bin/
: >bin/uxhost-media.so

failures=0
# row NAME CODE TEXT FILES COMMAND: runs the shell COMMAND in a fresh out/. TEXT
# empty means nothing on standard error; FILES is what out/ then holds.
row() {
  local name=$1 code=$2 text=$3 files=$4 command=$5 ok=1
  rm -rf out && mkdir out
  (eval "$command") >stdout.txt 2>stderr.txt
  local status=$?
  local left
  left=$(ls out | tr '\n' ' ')
  [ "$status" -eq "$code" ] || { echo "$name: exit code $status, expected $code"; ok=0; }
  if [ -z "$text" ]; then
    [ ! -s stderr.txt ] || { echo "$name: standard error is not empty"; ok=0; }
  else
    grep -qF -- "$text" stderr.txt || { echo "$name: standard error lacks: $text"; ok=0; }
    [ "$(wc -l <stderr.txt)" -eq 1 ] || { echo "$name: standard error is not one line"; ok=0; }
  fi
  [ "$left" = "$files" ] || { echo "$name: out/ holds '$left', expected '$files'"; ok=0; }
  [ $ok -eq 1 ] || { echo "--- stderr:"; cat stderr.txt; failures=$((failures + 1)); }
}

u='"$uxhost"'
a="$u apply -f Dissolve"
row "apply, SIGTERM" 143 "" "" "killed TERM apply -f Dissolve endless.mid -o out/a.mid"
row "roll, SIGHUP" 129 "" "" "killed HUP roll endless.mid -o out/a.png"
row "render, SIGINT" 130 "" "" "killed INT render endless.mid -o out/a.wav"
row "roll, SIGPIPE" 141 "" "" "killed PIPE roll endless.mid -o out/a.png"
row "apply, progress on a terminal" 0 "progress: rising, then wiped" "a.mid " \
  "progress tty apply -f Dissolve - -o out/a.mid"
row "roll, progress on a terminal" 0 "progress: rising, then wiped" "a.png " \
  "progress tty roll -f Dissolve - -o out/a.png"
row "apply, no progress on a pipe" 0 "progress: none" "a.mid " \
  "progress pipe apply -q -f Dissolve - -o out/a.mid"
row "reports the counts" 0 "notes gave way to others on their keys (--verbose says which)" "a.mid " \
  "$a '$song' -o out/a.mid"
row "-v says how" 0 "notes gave way to others on their keys and channels: " "a.mid " "$a -v '$song' -o out/a.mid"
row "-q after the command" 0 "" "a.mid " "$a -q '$song' -o out/a.mid"
row "--quiet before it" 0 "" "a.png " "$u --quiet roll -f Dissolve '$song' -o out/a.png"
row "-q keeps errors" 2 "empty.mid: is empty" "" "$a -q empty.mid -o out/a.mid"
row "process substitution" 0 "" "a.mid " "$a -q <(cat '$song') -o out/a.mid"
row "/dev/stdin" 0 "" "a.mid " "$a -q /dev/stdin -o out/a.mid <'$song'"
row "undeclared tracks" 0 "extra.mid: the header declares 1 track; 2 more track chunks in the file were not read" \
  "a.mid " "$a extra.mid -o out/a.mid"
row "cut short: read to the cut, written whole" 0 \
  "cut.mid: cut short at byte 42, inside the track chunk at byte 26 that claims 256 bytes; read 1 event before" \
  "a.mid " "$a cut.mid -o out/a.mid && midicsv out/a.mid | grep -q '2, 480, Note_off_c, 0, 60'"
row "format 2 stays format 2, each track filtered" 0 "" "a.mid " \
  "$a -q format2.mid -o out/a.mid && midicsv out/a.mid | grep -c 'Note_on_c' | grep -qx 22 \
   && midicsv out/a.mid | grep -q '^0, 0, Header, 2, 2, 480'"
row "output twice" 2 "uxhost apply: --output: given 2 times" "" "$a '$song' -o out/a.mid -o out/b.mid"
row "width not a number" 2 'uxhost roll: --width: "abc": give a whole number from 200 to 10000' "" \
  "$u roll '$song' --width abc -o out/a.png"
row "empty output name" 2 "uxhost apply: --output: an empty name" "" "$a '$song' -o ''"
row "no such option" 2 "uxhost apply: --bogus: no such option" "" "$a '$song' -o out/a.mid --bogus"
row "argument not expected" 2 'uxhost apply: "more.mid": not expected; the command takes no more arguments' "" \
  "$a '$song' more.mid -o out/a.mid"
row "option without its value" 2 "uxhost apply: --output: no value given" "" "$a '$song' -o"
row "seed not a whole number" 2 'uxhost check: --seed: "1.5" is not a whole number' "" "$u check --seed 1.5 Dissolve"
row "spaced channel list" 2 'uxhost apply: --channels: "1 2": a list is one word' "" \
  "$a --channels 1 2 '$song' -o out/a.mid"
row "apply loads no drawing or sound library" 0 "" "a.mid " "loads apply -q -f Dissolve '$song' -o out/a.mid"
row "module that does not load" 1 "bin/uxhost-media.so: cannot load the module that draws and plays: file too short" \
  "" "bin/uxhost render -q '$song' -o out/a.wav"
row "usage names uxhost" 0 "" "" "$u apply --help | grep -q '^Usage: uxhost apply '"

[ $failures -eq 0 ]
