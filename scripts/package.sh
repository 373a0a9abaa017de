#!/usr/bin/env bash
# package.sh [OUT_DIR]: builds the Debian packages of the kit from a clean copy of
# the source (the files git knows of, or every file but build folders outside a
# git checkout), with dpkg-buildpackage and the debian/ folder, into OUT_DIR
# (build/package by default). The copy lies in OUT_DIR/source, the same path every
# time, so that a compiler cache recognises the files of an earlier run.
# Prints the .deb files made.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-build/package}" && cd "${1:-build/package}" && pwd)
source=$out/source

rm -rf "$source" "$out"/*.deb "$out"/*.ddeb "$out"/*.buildinfo "$out"/*.changes
mkdir -p "$source"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done \
    | tar --null -T - -cf - | tar -xf - -C "$source"
else
  tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$source"
fi

flags=
command -v ccache >/dev/null && flags=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
(cd "$source" && UX_CMAKE_FLAGS=$flags dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$out/build.log" 2>&1 \
  || { tail -n 12 "$out/build.log" | cut -c 1-300; echo "package.sh: the package build failed; see $out/build.log" >&2; exit 1; }
ls "$out"/*.deb
