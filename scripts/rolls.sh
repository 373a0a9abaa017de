#!/usr/bin/env bash
# rolls.sh [UXHOST]: draws the README's rolls, a short phrase through each example
# filter, into docs/roll-<file name>.png.
set -euo pipefail
cd "$(dirname "$0")/.."
uxhost=$(realpath "${1:-build/bin/uxhost}")
# The add-ons built beside that uxhost, named explicitly.
export UX_ADDON_PATH=$(dirname "$uxhost")/../add-ons
docs=$PWD/docs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# One track at 480 ticks a quarter and 120 quarters a minute, on a piano: C4, E4,
# G4 and C5, each an eighth long, a quarter apart.
eighth='\201\160'
{
  printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\65'
  printf '\0\377\121\3\7\241\40\0\300\0'
  printf "\0\220\74\144${eighth}\200\74\100"
  printf "${eighth}\220\100\144${eighth}\200\100\100"
  printf "${eighth}\220\103\144${eighth}\200\103\100"
  printf "${eighth}\220\110\144${eighth}\200\110\100"
  printf '\0\377\57\0'
} >phrase.mid

for filter in Dissolve FractalDrift BetaFade; do
  "$uxhost" roll phrase.mid -f "$filter" --width 960 --height 480 -o "$docs/roll-$filter.png"
  echo "docs/roll-$filter.png"
done
