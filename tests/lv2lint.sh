#!/bin/bash
# lv2lint.sh TOOLS_DIR BUNDLE WORK_DIR: builds lv2lint from its source in TOOLS_DIR
# (lv2lint-0.17-src.tar.gz) into WORK_DIR, once, and checks every plug-in of the
# LV2 bundle BUNDLE with it: no FAIL, and no WARN but the two that stay because
# the kit names no author e-mail or homepage (foaf:mbox, foaf:homepage).
# Skipped (exit 77) when TOOLS_DIR holds no lv2lint source.
set -u
tools=$1 bundle=$2 work=$3
source=$tools/lv2lint-0.17-src.tar.gz
allowed_warnings='foaf:mbox not found|foaf:homepage not found'

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -f "$source" ] || { echo "SKIP: no lv2lint source in $tools (lv2lint-0.17-src.tar.gz)"; exit 77; }
for tool in meson ninja pkg-config; do
  command -v "$tool" >/dev/null || fail "missing $tool (scripts/setup.sh installs it)"
done

lint=$work/build/lv2lint.bin
if [ ! -x "$lint" ] || [ "$source" -nt "$lint" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  tar -xzf "$source" -C "$work" || fail "cannot unpack $source"
  { meson setup "$work/build" "$work/lv2lint" -Delf-tests=enabled -Donline-tests=disabled -Dx11-tests=disabled \
      && ninja -C "$work/build"; } >"$work/build.log" 2>&1 \
    || { tail -n 30 "$work/build.log"; fail "lv2lint does not build"; }
fi

uris=$(sed -n 's/^<\(urn:ux-filter-kit:[^>]*\)>$/\1/p' "$bundle/manifest.ttl")
[ -n "$uris" ] || fail "no plug-ins in $bundle/manifest.ttl"
failed=
for uri in $uris; do
  # lv2lint's wrapper preloads its library, which watches what run() calls.
  LV2_PATH=/usr/lib/lv2 LD_PRELOAD=$work/build/lv2lint.so "$lint" -S all -I "$bundle/" "$uri" >"$work/report" 2>&1
  status=$?
  [ $status -lt 128 ] && grep -qx "<$uri>" "$work/report" || { cat "$work/report"; fail "lv2lint did not check $uri"; }
  # Each finding is a line "[LEVEL]  check" followed by a line of what was found.
  findings=$(awk '/^ *\[(WARN|FAIL)\]/ { level = $1; check = $0; getline; sub(/^ */, ""); print level " " $0 }' \
    "$work/report")
  unexpected=$(grep -vE "^\[WARN\] ($allowed_warnings)$" <<<"$findings" | grep -v '^$')
  if [ -n "$unexpected" ]; then
    echo "$uri:"
    echo "$unexpected"
    failed=yes
  fi
  echo "$uri: $(grep -c '\[NOTE\]' "$work/report") notes, warnings: $(grep -c '^\[WARN\]' <<<"$findings")"
done
[ -z "$failed" ] || fail "lv2lint finds faults in the bundle"
