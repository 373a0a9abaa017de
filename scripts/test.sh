#!/usr/bin/env bash
# Builds and runs the whole test suite: plainly, then the package tests (the Debian
# packages built, checked and, under CI=true, installed; lv2lint on the bundle),
# then under valgrind's memcheck (no error, no leak), then under AddressSanitizer
# with UndefinedBehaviorSanitizer, then the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run() {
  local dir=$1
  shift
  echo "=== $dir"
  scripts/build.sh "$dir" "$@"
}

# The kit alone, as an author without the tools' libraries builds it: none of them
# may even be looked for.
run build-kit -DUX_BUILD_TOOLS=OFF -DUX_WARNINGS_AS_ERRORS=ON
if grep -E '^(CLI11_DIR|PNG_LIBRARY|CAIRO_FOUND|FLUIDSYNTH_FOUND|LILV_FOUND|LV2_FOUND|GTest_DIR|benchmark_DIR)' \
    build-kit/CMakeCache.txt; then
  echo "the kit's own build looked for a library only the tools need" >&2
  exit 1
fi

run build -DUX_WARNINGS_AS_ERRORS=ON -DUX_BUILD_BENCHMARKS=ON
ctest --test-dir build --output-on-failure -j2 -LE package
UX_PACKAGE_TESTS=1 ctest --test-dir build --output-on-failure -L package

echo "=== build (valgrind)"
ctest --test-dir build --output-on-failure -j2 -LE "stress|rtsan|package" -T memcheck --overwrite \
  "MemoryCheckCommandOptions=--error-exitcode=1 --leak-check=full \
--errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible \
--trace-children=yes --trace-children-skip=/bin/*,/usr/bin/* --suppressions=$PWD/tests/valgrind.supp"

run build-asan -DUX_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 -LE 'stress|package'

run build-tsan -DUX_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -L concurrency --no-tests=error
