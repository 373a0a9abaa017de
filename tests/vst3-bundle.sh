#!/bin/bash
# vst3-bundle.sh MODE ...: uxhost vst3-bundle, and the VST3 bundles in Ardour 7,
# headless, with a private HOME and configuration, so that nothing of the user's is
# read or written.
#
#   tool UXHOST PLUGIN NOTAFILTER EXPECT
#       vst3-bundle writes PLUGIN's bundle with a copy of the file, refuses bad input
#       in one line (expect-failure.sh) leaving nothing behind, never replaces a
#       folder it did not make, and remakes its own whole.
#   scan BUNDLE_DIR
#       Ardour's own scanner lists each bundle's plug-in under its name as
#       1 MIDI in / 1 MIDI out with no audio, and writes it into its cache.
#   song BUNDLE_DIR UXHOST [NAME FILTER]
#       Dissolve (or the plug-in NAME, whose add-on is FILTER) plays a generated
#       song with a sustain pedal and pitch bends on a MIDI track of a session on a
#       private JACK server (dummy backend), and the track is bounced and recorded in real time on another track (vst3-song.lua):
#       every note of each is the note `uxhost apply` writes for the song, one
#       sample a tick, and the pedal and the bends come out of the plug-in too
#       (Ardour keeps only what the plug-in plays). A FILTER given is one whose
#       chain may start with its note, which live starts when the note ends: its
#       notes are compared without their starts.
#
# Ardour trusts a cache entry only when the module is older than it by whole
# seconds: the bundles are scanned from copies dated a minute back. The Ardour modes
# are skipped (77) when Ardour is not installed.
set -u
mode=$1
shift
ardour_lib=/usr/lib/ardour7
scanner=$ardour_lib/ardour-vst3-scanner

fail() {
  echo "FAIL: $*"
  exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export LD_LIBRARY_PATH=$ardour_lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
mkdir -p "$HOME/.vst3"

# Copies of the bundles in the private ~/.vst3, dated back, and scanned into the cache.
scan() {
  local bundle module
  for bundle in "$bundles"/*.vst3; do
    cp -R "$bundle" "$HOME/.vst3/" || fail "cannot copy $bundle"
  done
  find "$HOME/.vst3" -exec touch -h -d '-1 minute' {} + || fail "cannot date the copies back"
  for bundle in "$HOME"/.vst3/*.vst3; do
    timeout 60 "$scanner" -v -f "$bundle" >"$work/scan.log" 2>&1 || { cat "$work/scan.log"; fail "the scanner failed on $bundle"; }
    module=$(basename "$bundle" .vst3)
    grep -q "n_inputs=\"0\" n_outputs=\"0\" n_aux_inputs=\"0\" n_aux_outputs=\"0\" n_midi_inputs=\"1\" n_midi_outputs=\"1\"" \
      "$work/scan.log" || { cat "$work/scan.log"; fail "$module is not listed as 1 MIDI in / 1 MIDI out"; }
    echo "$module: $(grep -o 'VST3Info uid="[0-9A-F]*" name="[^"]*"' "$work/scan.log")"
  done
}

# The song, as lines "note START LENGTH KEY VELOCITY CHANNEL", "cc AT CHANNEL 64
# VALUE" and "bend AT CHANNEL VALUE": phrases on two channels, each held by the
# pedal and bent on the way, a phrase's notes ending together.
song_lines() {
  awk 'BEGIN {
    for (phrase = 0; phrase < 8; phrase++) for (channel = 0; channel < 2; channel++) {
      start = phrase * 20000 + channel * 700; end = start + 400 + (phrase * 137) % 700
      print "cc", start, channel, 64, 127
      for (i = 0; i < 3; i++) print "note", start + 10 + 50 * i, end - (start + 10 + 50 * i), 48 + 7 * phrase % 24 + 4 * i, 40 + 25 * i, channel
      print "bend", start + 100, channel, 4096 + 1000 * phrase
      print "cc", end + 150, channel, 64, 0
    }
  }'
}

# The same song as a Standard MIDI File of 1920 ticks a beat, for uxhost apply.
song_csv() {
  echo "0, 0, Header, 0, 1, 1920"
  echo "1, 0, Start_track"
  awk '
    $1 == "note" { print 1, $2, "Note_on_c", $6, $4, $5; print 2, $2 + $3, "Note_off_c", $6, $4, 64 }
    $1 == "cc" { print 0, $2, "Control_c", $3, $4, $5 }
    $1 == "bend" { print 0, $2, "Pitch_bend_c", $3, $4 }' "$1" \
    | sort -n -k2,2 -k1,1 | awk '{ printf "1, %s, %s, %s, %s", $2, $3, $4, $5; if (NF > 5) printf ", %s", $6; print "" }'
  echo "1, 200000, End_track"
  echo "0, 0, End_of_file"
}

# Notes of a Standard MIDI File as "note START LENGTH KEY VELOCITY CHANNEL" lines, sorted.
file_notes() {
  midicsv "$1" | awk -F', *' '
    $3 == "Note_on_c" && $6 > 0 { on[$4 " " $5] = $2; velocity[$4 " " $5] = $6 }
    ($3 == "Note_off_c" || ($3 == "Note_on_c" && $6 == 0)) && ($4 " " $5) in on {
      print "note", on[$4 " " $5], $2 - on[$4 " " $5], $5, velocity[$4 " " $5], $4; delete on[$4 " " $5] }' | sort
}

case $mode in
tool)
  uxhost=$1 plugin=$2 notafilter=$3 expect=$4
  out=$work/vst3  # not there yet: the command makes it
  "$uxhost" vst3-bundle "$plugin" -o "$out" >"$work/said" || fail "vst3-bundle failed"
  [ "$(cat "$work/said")" = "$(printf '%s\tEarly Echo' "$out/EarlyEcho.vst3")" ] \
    || fail "vst3-bundle said: $(cat "$work/said")"
  binaries=$out/EarlyEcho.vst3/Contents/x86_64-linux
  cmp -s "$plugin" "$binaries/add-ons/EarlyEcho.so" || fail "the bundled plug-in differs from its file"
  [ -f "$binaries/EarlyEcho.so" ] && [ -f "$binaries/lib/libUxKernel.so.1" ] || fail "the bundle lacks the adapter or the kit"

  # Bad input: one row a case, "text on standard error|arguments" (tab-free).
  mkdir -p "$work/mine/EarlyEcho.vst3" "$work/other"
  echo keep >"$work/mine/EarlyEcho.vst3/notes.txt"
  cp "$plugin" "$work/Early Echo.so"
  cp "$plugin" "$work/other/EarlyEcho.so"
  while IFS='|' read -r text args; do
    eval "set -- $args"
    "$expect" 2 "$text" "$uxhost" vst3-bundle "$@" || fail "vst3-bundle $args"
  done <<EOF
NotAFilter.so: not a filter plug-in|"$notafilter" -o "$work/bad"
Early Echo.so: cannot name a VST3 plug-in after this file|"$work/Early Echo.so" -o "$work/bad"
EarlyEcho.so: a bundle holds one plug-in of each file name|"$plugin" "$work/other/EarlyEcho.so" -o "$work/bad"
EarlyEcho.vst3: exists and is not a bundle made by uxhost vst3-bundle|"$plugin" -o "$work/mine"
EOF
  [ ! -e "$work/bad" ] || fail "left behind: $(ls -A "$work/bad")"
  [ "$(ls -A "$work/mine")" = EarlyEcho.vst3 ] && [ "$(cat "$work/mine/EarlyEcho.vst3/notes.txt")" = keep ] \
    || fail "a folder not made by vst3-bundle was changed"

  # A bundle made here is made again whole.
  touch "$out/EarlyEcho.vst3/stale"
  "$uxhost" vst3-bundle "$plugin" -o "$out/" >/dev/null || fail "remaking the bundle failed"
  [ ! -e "$out/EarlyEcho.vst3/stale" ] || fail "remaking kept a file of the old bundle"
  [ "$(ls -A "$out")" = EarlyEcho.vst3 ] || fail "left after remaking: $(ls -A "$out")"
  echo "tool: vst3-bundle writes, refuses and remakes bundles"
  ;;
scan)
  bundles=$1
  [ -x "$scanner" ] || { echo "SKIP: Ardour 7 is not installed ($scanner)"; exit 77; }
  scan
  [ "$(ls "$XDG_CACHE_HOME"/ardour7/vst/*.v3i | wc -l)" = "$(ls -d "$bundles"/*.vst3 | wc -l)" ] \
    || fail "the cache does not hold one entry a bundle"
  echo "scan: Ardour lists every bundle as 1 MIDI in / 1 MIDI out"
  ;;
song)
  bundles=$1 uxhost=$2 name=${3:-Dissolve} filter=${4:-Dissolve} loose=${4:+yes}
  [ -x "$scanner" ] || { echo "SKIP: Ardour 7 is not installed ($scanner)"; exit 77; }
  for tool in jackd jack_wait midicsv csvmidi ardour7-lua; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  scan >/dev/null
  song_lines >"$work/song.txt"
  song_csv "$work/song.txt" | csvmidi >"$work/song.mid" || fail "csvmidi failed"
  "$uxhost" apply -f "$filter" "$work/song.mid" -o "$work/applied.mid" || fail "uxhost apply failed"
  file_notes "$work/applied.mid" >"$work/expected"

  # A server of its own, named after the work folder; 128 ports for a session of two
  # tracks (64 are too few), within a container's /dev/shm.
  export JACK_DEFAULT_SERVER=ux-vst3-test-$(basename "$work") JACK_NO_AUDIO_RESERVATION=1
  (trap '' PIPE && exec timeout -k 5 200 jackd -n "$JACK_DEFAULT_SERVER" -r -p 128 -d dummy -r 48000 -p 256) \
    >"$work/jackd.log" 2>&1 &
  server=$!
  trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
  timeout 10 jack_wait -w -t 10 >/dev/null 2>&1 || { cat "$work/jackd.log"; fail "the JACK server did not start"; }
  UX_SESSION=$work/session UX_SONG=$work/song.txt UX_LENGTH=170000 UX_PLUGIN=$name \
    timeout -k 5 150 ardour7-lua "$(dirname "$0")/vst3-song.lua" >"$work/ardour.log" 2>&1 \
    || { cat "$work/ardour.log" "$work/jackd.log"; fail "Ardour did not bounce and record the song"; }
  grep '^note ' "$work/ardour.log" | sort >"$work/bounced"
  [ "$(wc -l <"$work/expected")" -gt 48 ] || fail "uxhost apply made no chains: $(cat "$work/expected")"
  sed -n 's/^recorded /note /p' "$work/ardour.log" | sort >"$work/recorded"
  diff "$work/bounced" "$work/recorded" >"$work/diff" \
    || { cat "$work/diff"; fail "the real-time recording differs from the bounce"; }
  if [ -z "$loose" ]; then
    diff "$work/expected" "$work/bounced" >"$work/diff" || { cat "$work/diff"; fail "the bounce differs from uxhost apply"; }
  else
    # Live, a filter hears a note when it ends: what it makes to start with the note
    # starts then. Each note still has its key, velocity, channel and length.
    for notes in expected bounced; do cut -d' ' -f3- "$work/$notes" | sort >"$work/$notes.loose"; done
    diff "$work/expected.loose" "$work/bounced.loose" >"$work/diff" \
      || { cat "$work/diff"; fail "the bounce holds other notes than uxhost apply writes"; }
  fi
  grep -qx 'cc [1-9][0-9]*' "$work/ardour.log" && grep -qx 'bend [1-9][0-9]*' "$work/ardour.log" \
    || { cat "$work/ardour.log"; fail "the pedal or the bends did not come out of the plug-in"; }
  echo "song: Ardour's bounce and real-time recording through $name hold the $(wc -l <"$work/expected") notes uxhost apply writes${loose:+ (starts aside)}," \
    "$(grep -x 'cc [0-9]*' "$work/ardour.log") pedal and $(grep -x 'bend [0-9]*' "$work/ardour.log") bend points"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
