#!/bin/sh
# install-keeps-icons.sh BUILD_DIR EXPECT_FAILURE: installs the build into a
# scratch prefix and has the installed host write every installed plug-in's icon;
# a stripped copy of a plug-in has lost its resources, and the host says so.
set -eu
build=$1 expect=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
found=
for plugin in $(find "$prefix" -path '*/ux-add-ons/*.so'); do
  found=$plugin
  "$prefix/bin/uxhost" icon "$plugin" -o "$prefix/icon.png"
  [ -s "$prefix/icon.png" ] || { echo "$plugin: no icon written"; exit 1; }
  rm "$prefix/icon.png"
done
[ -n "$found" ] || { echo "no plug-ins installed"; exit 1; }
stripped=$(dirname "$found")/Stripped.so
strip -o "$stripped" "$found"
"$expect" 2 "Stripped.so: the plug-in has no icon" "$prefix/bin/uxhost" icon "$stripped" -o "$prefix/icon.png"
[ ! -e "$prefix/icon.png" ] || { echo "an icon file was written for a plug-in without one"; exit 1; }
