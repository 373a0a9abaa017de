#!/usr/bin/env bash
# Builds the fuzz targets with clang (in build-fuzz/) and runs each for a bounded
# time, FUZZ_SECONDS (60 by default), on a copy of its seed corpus in fuzz/corpus/.
# A crash, a leak, an input that takes over a second or one that needs over 256 MB
# fails the run; what was found is kept in build-fuzz/findings/<target>/.
#
# FUZZ_SECONDS=10 scripts/fuzz.sh                 # every target, 10 s each
# scripts/fuzz.sh midi_file_fuzzer                # one target
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

seconds=${FUZZ_SECONDS:-60}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(resource_container_fuzzer image_resources_fuzzer message_fuzzer
           bitmap_archive_fuzzer midi_file_fuzzer lv2_adapter_fuzzer)
fi

echo "=== build-fuzz"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DUX_BUILD_FUZZERS=ON

# The committed corpus is never written to: each run works on a scratch copy.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${targets[@]}"; do
  echo "=== $target (${seconds} s)"
  corpus=$scratch/$target
  findings=build-fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  cp -R "fuzz/corpus/$target/." "$corpus/"
  # ASan's quarantine of freed memory is kept small, so that the memory limit
  # measures what an input makes the parser take, not what ASan holds back.
  if ! ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16 \
       UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       "build-fuzz/bin/$target" -max_total_time="$seconds" -rss_limit_mb=256 -timeout=1 \
         -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$findings/" \
         "$corpus" >"$findings/log" 2>&1; then
    failed+=("$target")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|ALARM|MS:|artifact_prefix)' "$findings/log" \
      | head -n 8 || true
    echo "$target: FAILED; log and input in $findings/"
  else
    grep -E '^stat::number_of_executed_units' "$findings/log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: all ${#targets[@]} targets ran ${seconds} s clean"
