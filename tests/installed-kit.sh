#!/bin/sh
# installed-kit.sh BUILD_DIR EXAMPLE_DIR: installs the kit into a scratch prefix and
# checks what a plug-in author finds there. Every installed plug-in exports its
# entry point and nothing else; the host libraries carry their major version; the
# example project, copied out of the source tree, builds against the prefix alone,
# with CMake and by hand with pkg-config; and the installed host runs it: its
# values, its chain, its roll, its icon and its own CLAP file.
set -eu
build=$1 example=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
uxhost=$prefix/bin/uxhost

fail() {
  echo "installed kit: $*" >&2
  exit 1
}

exports_only_entry_point() {  # exports_only_entry_point FILE [ENTRY]: a plug-in's by default
  exports=$(nm -D --defined-only "$1" | awk '{ print $3 }')
  [ "$exports" = "${2:-make_nth_filter}" ] || fail "$1 exports: $(echo $exports)"
}

dynamic_entry() {  # dynamic_entry FILE TAG: the value of one tag of the dynamic section
  readelf -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p"
}

cmake --install "$build" --prefix "$prefix" >/dev/null
found=
for plugin in "$prefix"/lib/ux-add-ons/*.so; do
  exports_only_entry_point "$plugin"
  found=$plugin
done
[ -n "$found" ] || fail "no plug-ins installed"
for library in UxKernel Platform; do
  soname=$(dynamic_entry "$prefix/lib/lib$library.so" SONAME)
  [ "$soname" = "lib$library.so.1" ] && [ -f "$prefix/lib/$soname" ] \
    || fail "lib$library.so: SONAME '$soname'"
done

# The example with CMake, installed into the kit's add-ons folder.
cp -R "$example" "$work/src"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/log" 2>&1 \
  && cmake --build "$work/build" >>"$work/log" 2>&1 \
  && ctest --test-dir "$work/build" --output-on-failure >>"$work/log" 2>&1 \
  && cmake --install "$work/build" >>"$work/log" 2>&1 \
  || { cat "$work/log" >&2; fail "the example does not build against the prefix, or fails uxhost check"; }
grep -q "check-FifthFade .*Passed" "$work/log" || fail "ctest of the example ran no uxhost check"
plugin=$prefix/lib/ux-add-ons/FifthFade.so
exports_only_entry_point "$plugin"
runpath=$(dynamic_entry "$plugin" RUNPATH)
[ "$runpath" = "\$ORIGIN/..:\$ORIGIN/../lib:$prefix/lib" ] || fail "FifthFade.so: RUNPATH '$runpath'"

# The installed uxhost checks the kit's filters, the real-time checks included.
"$uxhost" check Dissolve "Fractal Drift" "Beta Fade" >"$work/check" || { cat "$work/check" >&2; fail "uxhost check fails a filter of the kit"; }
if [ -x "$prefix/lib/ux-filter-kit/uxhost-rtcheck" ]; then  # not in sanitizer builds
  [ "$(grep -c '^PASS heap' "$work/check")" = 3 ] || { cat "$work/check" >&2; fail "the installed uxhost check does not run the real-time checks"; }
fi

"$uxhost" info "Fifth Fade" >"$work/info"
cat >"$work/expected" <<END
Name:        Fifth Fade
Description: Doubles every note a fifth and an octave above, each voice softer than the one below
Author:      Your Name
Version:     1.0 (20260301)
File:        $plugin
END
diff "$work/expected" "$work/info" || fail "uxhost info gives other values"

# The chain: a note with both voices, one whose octave lies above the highest key,
# and one whose octave would be silent.
cat >"$work/in.csv" <<END
0, 0, Header, 0, 1, 480
1, 0, Start_track
1, 0, Note_on_c, 0, 60, 90
1, 480, Note_off_c, 0, 60, 0
1, 960, Note_on_c, 0, 118, 90
1, 1440, Note_off_c, 0, 118, 0
1, 1920, Note_on_c, 0, 40, 2
1, 2400, Note_off_c, 0, 40, 0
1, 2400, End_track
0, 0, End_of_file
END
csvmidi "$work/in.csv" "$work/in.mid"
"$uxhost" apply -f "Fifth Fade" "$work/in.mid" -o "$work/out.mid"
midicsv "$work/out.mid" | awk -F', ' '$3 == "Note_on_c" && $6 != 0 { print $2, $5, $6 }' | sort -n -k1 -k2 >"$work/notes"
printf '%s\n' "0 60 90" "0 67 60" "0 72 40" "960 118 90" "960 125 60" "1920 40 2" "1920 47 1" >"$work/expected"
diff "$work/expected" "$work/notes" || fail "the chains of Fifth Fade differ (start, pitch, velocity)"
# Drawn by the module in the kit's folder, which finds the add-ons where uxhost does.
exports_only_entry_point "$prefix/lib/ux-filter-kit/uxhost-media.so" uxhost_media_run_v2
exports_only_entry_point "$prefix/lib/ux-filter-kit/uxhost-live.so" uxhost_live_run_v1
"$uxhost" roll -q -f "Fifth Fade" "$work/in.mid" -o "$work/roll.png" || fail "the installed uxhost does not draw"

# The example as a CLAP file of its own, listed by a real host's scanner; not in
# sanitizer builds (no uxhost-rtcheck there), whose adapter a plain host cannot load.
if [ -x "$prefix/lib/ux-filter-kit/uxhost-rtcheck" ]; then
  "$uxhost" clap-bundle "Fifth Fade" -o "$work/clap" >/dev/null || fail "uxhost clap-bundle fails on the example"
  status=0
  "$(dirname "$0")/clap-file.sh" scan "$work/clap/FifthFade.clap" "Fifth Fade" || status=$?
  [ $status -eq 0 ] || [ $status -eq 77 ] || fail "the example's CLAP file is not listed as it should be"
fi

# The icon, against its source attached to another plug-in by the installed uxres
# (in a folder beside the add-ons, so that it finds the kernel).
"$uxhost" icon "$plugin" -o "$work/icon.png"
reference=$prefix/lib/reference/Reference.so
mkdir "$(dirname "$reference")"
strip -o "$reference" "$found"
"$prefix/bin/uxres" attach "$reference" --icon "$work/src/FifthFade.icon"
"$uxhost" icon "$reference" -o "$work/reference.png"
cmp -s "$work/icon.png" "$work/reference.png" || fail "FifthFade.so does not show the icon of FifthFade.icon"

# The example by hand, with the flags of the pkg-config file.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
mkdir "$work/by-hand"
# shellcheck disable=SC2046 # the flags are meant to split into words
${CXX:-c++} $(pkg-config --cflags uxfilterkit) "$work/src/FifthFade.cpp" -o "$work/by-hand/FifthFade.so" \
  $(pkg-config --libs uxfilterkit) || fail "the example does not build with the pkg-config flags"
"$(pkg-config --variable=uxres uxfilterkit)" attach "$work/by-hand/FifthFade.so" --icon "$work/src/FifthFade.icon"
exports_only_entry_point "$work/by-hand/FifthFade.so"
"$uxhost" info "$work/by-hand/FifthFade.so" | grep -qx "Name: *Fifth Fade" || fail "the pkg-config build does not load"
