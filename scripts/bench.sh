#!/usr/bin/env bash
# Measures the filters and `uxhost apply` in a Release build and prints every figure
# against its target, all from this one run:
#   - HandleEvent on a note-on for each plug-in against the host's floor (the same
#     number of copies made, placed and appended with no arithmetic), median CPU
#     time of REPETITIONS repetitions; then both again with the events taken from an
#     event pool, as a live host takes them;
#   - Resources() after the fill and Image() for each plug-in;
#   - the LV2 adapter's run() in cycles of 64 frames at 48 kHz, empty and with 100
#     notes a second through each example filter, as a share of real time;
#   - `uxhost apply -f Dissolve` on generated songs of 100,000 and 1,000,000 notes,
#     whole process: median wall time and peak memory of RUNS runs, each run
#     followed by midicsv reading the output, and the ratio of the two medians.
# The machine may be shared: the medians keep one disturbed run from deciding.
#
# Usage: scripts/bench.sh [REPETITIONS [RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-9}
runs=${2:-5}
scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DUX_BUILD_BENCHMARKS=ON
bin=build-release/bin
export UX_ADDON_PATH=$PWD/build-release/add-ons
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() {  # the median of the numbers on standard input
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "== HandleEvent on a note-on, against the host's floor ($repetitions repetitions, median CPU time)"
"$bin/filter_bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true --benchmark_color=false 2>/dev/null \
  | grep '_median ' >"$work/filters.txt"
# name  real-time ns  cpu-time ns  iterations  counters...
awk '
  $5 != "ns" { print "unexpected time unit: " $0; exit 1 }
  { split($1, part, "[/_]") }
  $1 ~ /^HostFloor\// { floor[part[2]] = $4 }
  $1 ~ /^PooledFloor\// { pooledFloor[part[2]] = $4 }
  $1 ~ /^HandleNoteOn\// {
    call[part[2]] = $4
    for (i = 6; i <= NF; ++i) if ($i ~ /^notes_per_call=/) { sub(/^notes_per_call=/, "", $i); notes[part[2]] = $i }
  }
  $1 ~ /^PooledNoteOn\// { pooledCall[part[2]] = $4 }
  END {
    target["Dissolve"] = 1.25; target["BetaFade"] = 1.25; target["FractalDrift"] = 2
    for (name in call) {
      n = int(notes[name] + 0.5); ratio = call[name] / floor[n]
      limit = (name in target) ? target[name] : 0
      printf "%-13s %7.1f ns a call, %5.1f ns a note (%d notes); floor %7.1f ns; ratio %.2f, target <= %s: %s\n",
        name, call[name], call[name] / n, n, floor[n], ratio, limit ? limit : "none",
        !limit ? "-" : (ratio <= limit ? "met" : "MISSED")
    }
    for (name in pooledCall) {
      n = int(notes[name] + 0.5)
      printf "%-13s in a pool: %7.1f ns a call (%.2f of the heap call); floor %7.1f ns (%.2f of the heap floor); ratio %.2f\n",
        name, pooledCall[name], pooledCall[name] / call[name], pooledFloor[n], pooledFloor[n] / floor[n],
        pooledCall[name] / pooledFloor[n]
    }
  }' "$work/filters.txt" | sort

echo "== Resources() after the fill and Image() ($repetitions repetitions, median CPU time)"
"$bin/resources_bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_color=false 2>/dev/null | grep '_median ' \
  | awk '{ split($1, part, "[/_]")
           if (part[1] == "Resources")
             printf "Resources() %-13s %6.1f ns, target <= 10 ns: %s\n", part[2], $4, $4 <= 10 ? "met" : "MISSED"
           else
             printf "Image()     %-13s %6.1f ns\n", part[2], $4 }' | sort

echo "== LV2 adapter run(), 64 frames at 48 kHz ($repetitions repetitions, median CPU time)"
"$bin/lv2_bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true --benchmark_color=false 2>/dev/null | grep '_median ' \
  | awk '{ split($1, part, "[/_]"); share = $4 / (64 / 48000 * 1e9) * 100
           if (part[1] == "EmptyCycle")
             printf "empty cycle               %7.1f ns, %.4f%% of a core, target < 100 ns: %s\n", $4, share,
               $4 < 100 ? "met" : "MISSED"
           else
             printf "100 notes/s %-13s %7.1f ns a cycle, %.4f%% of a core, target < 0.1%%: %s\n", part[2], $4,
               share, share < 0.1 ? "met" : "MISSED" }' | sort

echo "== uxhost apply -f Dissolve, whole process ($runs runs, medians)"
declare -A seconds kilobytes midicsv
for notes in 100000 1000000; do
  "$bin/make_song" "$notes" "$work/song-$notes.mid"
  for ((run = 0; run < runs; ++run)); do
    /usr/bin/time -f "%e %M" -o "$work/time" "$bin/uxhost" -q apply -f Dissolve \
      "$work/song-$notes.mid" -o "$work/out-$notes.mid"
    cat "$work/time" >>"$work/times-$notes"
    /usr/bin/time -f "%e" -o "$work/time" sh -c 'midicsv "$1" >/dev/null' sh "$work/out-$notes.mid"
    cat "$work/time" >>"$work/midicsv-$notes"
  done
  seconds[$notes]=$(cut -d' ' -f1 "$work/times-$notes" | median)
  kilobytes[$notes]=$(cut -d' ' -f2 "$work/times-$notes" | median)
  midicsv[$notes]=$(median <"$work/midicsv-$notes")
  printf "%8d notes in, %9d bytes out: %5.2f s, %6.1f MB peak\n" "$notes" \
    "$(stat -c %s "$work/out-$notes.mid")" "${seconds[$notes]}" "$(echo "${kilobytes[$notes]}" | awk '{ print $1 / 1024 }')"
done
awk -v small="${seconds[100000]}" -v big="${seconds[1000000]}" -v kb="${kilobytes[1000000]}" \
  -v reader="${midicsv[1000000]}" 'BEGIN {
  growth = big / small; mb = kb / 1024; ratio = big / reader
  printf "ratio to midicsv reading the output, 1,000,000 notes: %.2f (%.2f s against %.2f s), target <= 0.2: %s\n",
    ratio, big, reader, ratio <= 0.2 ? "met" : "MISSED"
  printf "growth, 1,000,000 against 100,000 notes: %.1f times, target <= 11: %s\n", growth, growth <= 11 ? "met" : "MISSED"
  printf "time, 1,000,000 notes: %.2f s, target < 0.8 s: %s\n", big, big < 0.8 ? "met" : "MISSED"
  printf "peak memory, 1,000,000 notes: %.1f MB, target <= 21 MB: %s\n", mb, mb <= 21 ? "met" : "MISSED"
}'
