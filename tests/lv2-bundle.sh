#!/bin/bash
# lv2-bundle.sh MODE ARGS...: the LV2 bundle as LV2 hosts see it.
#
#   tool UXHOST PLUGIN NOT_A_FILTER EXPECT_FAILURE
#       `uxhost lv2-bundle` on PLUGIN gives a bundle that lilv lists under the
#       add-on's name, holding the plug-in file unchanged; bad input is refused with
#       one line and exit code 2, leaving nothing behind and replacing nothing.
#   turtle BUNDLE
#       sord_validate finds no error in the bundle's Turtle against the LV2 vocabulary.
#   installed BUILD_DIR
#       `cmake --install` to a scratch prefix gives a bundle that lilv lists and
#       describes, and whose libraries find each other only through $ORIGIN.
#   live BUILD_DIR UXHOST
#       The installed Dissolve plug-in plays in jalv on a private JACK server with
#       the dummy backend: jack_midiseq plays it a note and jack_midi_dump reads the
#       echoes, which must be the notes `uxhost apply` makes of the same note.
#
# A tool the environment lacks skips the test (exit 77); under CI=true, where every
# tool is installed, it fails it.
set -u
mode=$1
shift

fail() {
  echo "FAIL: $*"
  exit 1
}

need() {
  local missing=()
  for tool in "$@"; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] && return
  [ "${CI:-}" = true ] && fail "missing ${missing[*]} (scripts/setup.sh installs them)"
  echo "SKIP: missing ${missing[*]} (scripts/setup.sh installs them)"
  exit 77
}

work=$(mktemp -d)
pids=()
# Ends every process started here, the last started first: the JACK clients
# before their server. jalv ends at the end of its input, the others at SIGINT,
# which the JACK tools take as "close the client and leave". Each runs under
# `timeout --foreground -k`, which kills it if the signal does not end it, and
# reaps it, so that no dead server is left that looks alive.
cleanup() {
  exec 3>&-
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do
    kill -INT "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The URIs lilv lists with LV2_PATH set to $1, one a line, sorted.
listed() {
  LV2_PATH=$1 lv2ls 2>/dev/null | sort
}

install_prefix() {
  cmake --install "$1" --prefix "$work/prefix" >/dev/null || fail "cmake --install failed"
  bundle=$work/prefix/lib/lv2/ux-filters.lv2
  [ -f "$bundle/manifest.ttl" ] || fail "no bundle installed in $bundle"
}

case $mode in
tool)
  uxhost=$1 plugin=$2 notafilter=$3 expect=$4
  need lv2ls lv2info
  lv2=$work/lv2  # not there yet: the command makes it
  "$uxhost" lv2-bundle "$plugin" -o "$lv2/early.lv2" >"$work/said" || fail "lv2-bundle failed"
  [ "$(cat "$work/said")" = "$(printf 'urn:ux-filter-kit:EarlyEcho\tEarly Echo')" ] \
    || fail "lv2-bundle said: $(cat "$work/said")"
  [ "$(listed "$lv2")" = "urn:ux-filter-kit:EarlyEcho" ] || fail "lv2ls lists: $(listed "$lv2")"
  LV2_PATH=$lv2 lv2info urn:ux-filter-kit:EarlyEcho 2>/dev/null | grep -q "Name: *Early Echo$" \
    || fail "lv2info does not show the add-on's name"
  cmp -s "$plugin" "$lv2/early.lv2/add-ons/EarlyEcho.so" || fail "the bundled plug-in differs from its file"
  # A plug-in that gives no URI prefix takes --uri-prefix's, and the adapter answers to it.
  "$uxhost" lv2-bundle "$plugin" --uri-prefix http://example.org/ux/ -o "$work/own/own.lv2" >"$work/said" \
    || fail "lv2-bundle --uri-prefix failed"
  [ "$(listed "$work/own")" = "http://example.org/ux/EarlyEcho" ] || fail "lv2ls lists: $(listed "$work/own")"
  # A plain host cannot load an adapter built with a sanitizer (UX_SANITIZED).
  if command -v lv2bench >/dev/null && [ -z "${UX_SANITIZED:-}" ]; then
    LV2_PATH=$work/own lv2bench http://example.org/ux/EarlyEcho >/dev/null 2>&1 \
      || fail "the adapter does not answer to the URI of --uri-prefix"
  fi

  # Bad input: one row a case, "text on standard error|arguments" (tab-free).
  mkdir "$lv2/mine.lv2" "$work/other"
  echo keep >"$lv2/mine.lv2/notes.txt"
  cp "$plugin" "$work/Early Echo.so"
  cp "$plugin" "$work/other/EarlyEcho.so"
  while IFS='|' read -r text args; do
    eval "set -- $args"
    "$expect" 2 "$text" "$uxhost" lv2-bundle "$@" || fail "lv2-bundle $args"
  done <<EOF
NotAFilter.so: not a filter plug-in|"$notafilter" -o "$lv2/bad.lv2"
Early Echo.so: cannot name an LV2 plug-in after this file|"$work/Early Echo.so" -o "$lv2/bad.lv2"
EarlyEcho.so: a bundle holds one plug-in of each file name|"$plugin" "$work/other/EarlyEcho.so" -o "$lv2/bad.lv2"
mine.lv2: exists and is not a bundle made by uxhost lv2-bundle|"$plugin" -o "$lv2/mine.lv2"
bad: an LV2 bundle folder's name ends in .lv2|"$plugin" -o "$lv2/bad"
EOF
  [ "$(ls -A "$lv2")" = "$(printf 'early.lv2\nmine.lv2')" ] || fail "left in the folder: $(ls -A "$lv2")"
  [ "$(cat "$lv2/mine.lv2/notes.txt")" = keep ] || fail "a folder not made by lv2-bundle was changed"

  # A bundle made here is made again whole.
  touch "$lv2/early.lv2/stale"
  "$uxhost" lv2-bundle "$plugin" -o "$lv2/early.lv2/" >/dev/null || fail "remaking the bundle failed"
  [ ! -e "$lv2/early.lv2/stale" ] || fail "remaking kept a file of the old bundle"
  [ "$(ls -A "$lv2")" = "$(printf 'early.lv2\nmine.lv2')" ] || fail "left after remaking: $(ls -A "$lv2")"
  ;;

turtle)
  bundle=$1
  need sord_validate dpkg
  # The LV2 vocabulary: every Turtle file of the package that installs it.
  vocabulary=$(dpkg -L lv2-dev | grep '\.ttl$')
  [ -n "$vocabulary" ] || fail "no LV2 vocabulary installed (package lv2-dev)"
  sord_validate -l $vocabulary "$bundle"/*.ttl >"$work/report" 2>&1
  status=$?
  grep -q "Found 0 errors" "$work/report" && [ $status -eq 0 ] || { cat "$work/report"; fail "sord_validate"; }
  ;;

installed)
  build=$1
  need lv2ls lv2info readelf
  install_prefix "$build"
  expected=$(printf 'urn:ux-filter-kit:%s\n' BetaFade Dissolve FractalDrift)
  [ "$(listed "$work/prefix/lib/lv2")" = "$expected" ] || fail "lv2ls lists: $(listed "$work/prefix/lib/lv2")"
  LV2_PATH=$work/prefix/lib/lv2 lv2info urn:ux-filter-kit:Dissolve >"$work/info" 2>/dev/null
  for line in "Name: *Dissolve$" "Author: *The Ux filter kit authors$" "Symbol: *in$" "Symbol: *out$"; do
    grep -q "$line" "$work/info" || { cat "$work/info"; fail "lv2info lacks $line"; }
  done
  # The installed uxhost makes bundles from the installed adapter and libraries.
  "$work/prefix/bin/uxhost" lv2-bundle "$bundle/add-ons/Dissolve.so" -o "$work/own/dissolve.lv2" >/dev/null \
    && cmp -s "$bundle/ux-lv2.so" "$work/own/dissolve.lv2/ux-lv2.so" \
    && [ "$(ls "$bundle/lib")" = "$(ls "$work/own/dissolve.lv2/lib")" ] \
    || fail "the installed uxhost did not make a bundle from the installed adapter and libraries"
  for plugin in "$build"/add-ons/*.so; do
    cmp -s "$plugin" "$bundle/add-ons/$(basename "$plugin")" || fail "$(basename "$plugin") differs from the built file"
  done
  # Relocatable: every library search path in the bundle starts at the file's own folder.
  for file in "$bundle"/*.so "$bundle"/add-ons/*.so "$bundle"/lib/*; do
    readelf -d "$file" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p' \
      | awk -F: '{ for (i = 1; i <= NF; ++i) if ($i !~ /^\$ORIGIN/) outside = 1 } END { exit !outside }' \
      && fail "$file searches outside the bundle: $(readelf -d "$file" | grep PATH)"
  done
  ;;

live)
  build=$1 uxhost=$2
  need jackd jalv jack_midiseq jack_midi_dump jack_connect jack_lsp jack_wait midicsv timeout cksum
  install_prefix "$build"
  export LV2_PATH=$work/prefix/lib/lv2
  # A server of its own, named after the build: a server that died without leaving
  # the shared list of servers leaves a name the next run takes over.
  JACK_DEFAULT_SERVER=ux-lv2-test-$(cd "$build" && pwd | cksum | cut -d' ' -f1)
  export JACK_DEFAULT_SERVER JACK_NO_AUDIO_RESERVATION=1
  period=1024 loop=48000 length=4800 pitch=60

  # What the host makes of the note the sequencer plays, a tick for a frame:
  # "start pitch velocity length" a note.
  printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\15\0\220\74\100\245\100\200\74\100\0\377\57\0' >"$work/note.mid"
  "$uxhost" apply -f Dissolve "$work/note.mid" -o "$work/chain.mid" || fail "uxhost apply failed"
  midicsv "$work/chain.mid" | awk -F', *' '
    $3 == "Note_on_c" && $6 > 0 { on[$5] = $2; velocity[$5] = $6 }
    $3 == "Note_off_c" || ($3 == "Note_on_c" && $6 == 0) { print on[$5], $5, velocity[$5], $2 - on[$5] }
  ' | sort -n >"$work/expected"
  [ "$(wc -l <"$work/expected")" -gt 1 ] || fail "uxhost apply made no chain"

  # The server ignores SIGPIPE, so that a client gone before its notice does not
  # end it; 64 ports at most keep its shared memory under 40 MB, within a
  # container's /dev/shm.
  (trap '' PIPE && exec timeout --foreground -k 5 60 jackd -n "$JACK_DEFAULT_SERVER" -r -p 64 \
    -d dummy -r 48000 -p $period) \
    >"$work/jackd.log" 2>&1 &
  pids+=($!)
  timeout 10 jack_wait -w -t 10 >"$work/wait.log" 2>&1 || { cat "$work/jackd.log"; fail "the JACK server did not start"; }

  # jalv's console reads commands from standard input and ends at its end: a fifo
  # held open keeps it running until the test ends.
  mkfifo "$work/jalv.in"
  timeout --foreground -k 5 50 jalv -x -n ux-filter urn:ux-filter-kit:Dissolve <"$work/jalv.in" >"$work/jalv.log" 2>&1 &
  pids+=($!)
  exec 3>"$work/jalv.in"
  timeout --foreground -k 5 50 jack_midi_dump -a dump >"$work/dump.txt" 2>"$work/dump.log" &
  pids+=($!)
  # One note a second: the note at the start of each loop, `length` frames long.
  timeout --foreground -k 5 50 jack_midiseq seq $loop 0 $pitch $length >"$work/seq.log" 2>&1 &
  pids+=($!)
  for ((try = 0; try < 100; ++try)); do
    ports=$(jack_lsp 2>/dev/null)
    grep -qx "ux-filter:in" <<<"$ports" && grep -qx "dump:input" <<<"$ports" && grep -qx "seq:out" <<<"$ports" && break
    sleep 0.1
  done
  jack_connect ux-filter:out dump:input && jack_connect seq:out ux-filter:in \
    || { cat "$work/jalv.log"; fail "cannot connect the ports (found: $ports)"; }

  # The notes that came out, grouped by the played note that heads each chain;
  # every group that holds as many notes as the host's chain must be that chain,
  # offsets and lengths within one period (a cycle the monitor missed shifts its
  # count by one). Events of a missed cycle are lost, so a group may be short; two
  # must be whole. Exit code 0: they are; 1: a chain is wrong; 2: not yet.
  check_echoes() {
    awk -v period=$period -v pitch=$pitch -v expected="$work/expected" '
      BEGIN {
        while ((getline line < expected) > 0) {
          split(line, f, " "); n++; eStart[n] = f[1]; ePitch[n] = f[2]; eVelocity[n] = f[3]; eLength[n] = f[4]
        }
      }
      function abs(x) { return x < 0 ? -x : x }
      function hex(text,   i, value) {
        for (i = 1; i <= length(text); ++i) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
        return value
      }
      function check(   i) {
        if (count != n) return
        for (i = 1; i <= n; ++i)
          if (gPitch[i] != ePitch[i] || gVelocity[i] != eVelocity[i] ||
              abs(gStart[i] - gStart[1] - eStart[i]) > period || abs(gLength[i] - eLength[i]) > period) {
            printf "chain at frame %d, note %d: start +%d pitch %d velocity %d length %d; expected start +%d pitch %d velocity %d length %d\n",
              gStart[1], i, gStart[i] - gStart[1], gPitch[i], gVelocity[i], gLength[i], eStart[i], ePitch[i], eVelocity[i], eLength[i]
            exit 1
          }
        whole++
      }
      {
        sub(/:$/, "", $1); frame = $1 + 0; status = hex($2); key = hex($3); value = hex($4)
        if (status == 144 && value > 0) { start[key] = frame; velocity[key] = value; next }
        if ((status == 128 || status == 144) && (key in start)) {
          if (key == pitch && velocity[key] == eVelocity[1]) { check(); count = 0 }
          if (count > 0 || key == pitch) {
            ++count; gStart[count] = start[key]; gPitch[count] = key; gVelocity[count] = velocity[key]; gLength[count] = frame - start[key]
          }
          delete start[key]
        }
      }
      END {
        check()
        if (whole < 2) exit 2
        printf "%d whole chains of %d notes arrived as the host makes them\n", whole, n
      }' "$work/dump.txt"
  }
  for ((waited = 0; waited < 40; ++waited)); do
    sleep 0.5
    check_echoes >"$work/verdict"
    verdict=$?
    [ $verdict -ne 2 ] && break
  done
  if [ $verdict -ne 0 ]; then
    [ $verdict -eq 2 ] && echo "two whole chains did not arrive in 20 s"
    cat "$work/verdict"
    for log in expected dump.txt jalv.log jackd.log dump.log; do
      echo "--- $log"
      tail -n 40 "$work/$log"
    done
    fail "the echoes"
  fi
  cat "$work/verdict"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
exit 0
