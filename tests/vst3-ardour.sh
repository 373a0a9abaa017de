#!/bin/bash
# vst3-ardour.sh MODE BUNDLE_DIR ...: the VST3 bundles in Ardour 7, headless, with a
# private HOME and configuration, so that nothing of the user's is read or written.
#
#   scan BUNDLE_DIR
#       Ardour's own scanner lists each bundle's plug-in under its name as
#       1 MIDI in / 1 MIDI out with no audio, and writes it into its cache.
#
# Ardour trusts a cache entry only when the module is older than it by whole
# seconds: the bundles are scanned from copies dated a minute back. Skipped (77)
# when Ardour is not installed.
set -u
mode=$1 bundles=$2
ardour_lib=/usr/lib/ardour7
scanner=$ardour_lib/ardour-vst3-scanner

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -x "$scanner" ] || { echo "SKIP: Ardour 7 is not installed ($scanner)"; exit 77; }
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

case $mode in
scan)
  scan
  [ "$(ls "$XDG_CACHE_HOME"/ardour7/vst/*.v3i | wc -l)" = "$(ls -d "$bundles"/*.vst3 | wc -l)" ] \
    || fail "the cache does not hold one entry a bundle"
  echo "scan: Ardour lists every bundle as 1 MIDI in / 1 MIDI out"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
