#!/bin/sh
# headers-alone.sh BUILD_DIR: installs the build into a scratch prefix and compiles
# every installed header on its own, warning-free, so that each includes what it
# uses whatever an author includes before it.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
include=$work/prefix/include/UxFilterKit
count=0 failed=
for header in "$include"/*.h; do
  name=$(basename "$header")
  if ! echo "#include <$name>" | ${CXX:-c++} -std=c++17 -Wall -Wextra -Wpedantic -Werror \
       -fsyntax-only -I"$include" -x c++ - 2>"$work/log"; then
    echo "$name does not compile on its own:"
    cat "$work/log"
    failed=yes
  fi
  count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "no headers installed in $include"; exit 1; }
[ -z "$failed" ] || exit 1
echo "$count installed headers compile on their own"
