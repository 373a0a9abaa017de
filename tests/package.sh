#!/bin/bash
# package.sh MODE PACKAGE_DIR [SOURCE_DIR]: the Debian packages as a distribution
# and a user get them.
#
#   build PACKAGE_DIR SOURCE_DIR
#       scripts/package.sh makes the packages from a clean copy of SOURCE_DIR.
#   contents PACKAGE_DIR
#       lintian finds no error in them (its other findings are listed); unpacked
#       together into a scratch root they hold the expected files, every library
#       search path of every ELF file stays inside the root and finds the kit's
#       libraries there, no file names the folder the packages were built in, the
#       unpacked host lists only the unpacked plug-ins and plays the demo through
#       its module, and each plug-in still carries its icon after the package
#       build stripped it.
#   install PACKAGE_DIR SOURCE_DIR
#       apt-get installs the packages for real and removes them again at the end,
#       whatever happens. From a scratch folder, with LV2_PATH, UX_ADDON_PATH and
#       PKG_CONFIG_PATH unset: uxhost lists the three filters, lv2ls their URIs,
#       a CLAP host's scanner the installed CLAP file's three note effects, and
#       the example plug-in builds with find_package(UxFilterKit) and with
#       pkg-config alone, loads, and plays from an LV2 bundle and a CLAP file of
#       its own, and from a VST3 bundle of its own in Ardour.
#
# The packages take minutes to build: every mode is skipped (exit 77) unless
# UX_PACKAGE_TESTS=1 or CI=true. `install` changes the machine: it runs only as
# root with CI=true or UX_PACKAGE_INSTALL=1, and never over an installed kit.
set -u
mode=$1 packages=$2 source=${3:-}
main_packages=(libuxkernel1 libuxplatform1 ux-filter-kit ux-filter-kit-dev)
filters=(BetaFade Dissolve FractalDrift)

fail() {
  echo "FAIL: $*"
  exit 1
}

skip() {
  echo "SKIP: $*"
  exit 77
}

[ "${UX_PACKAGE_TESTS:-}" = 1 ] || [ "${CI:-}" = true ] \
  || skip "the package tests run with UX_PACKAGE_TESTS=1 (scripts/test.sh sets it) or CI=true"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH) || fail "dpkg-architecture failed"
libdir=usr/lib/$multiarch
bundle=usr/lib/lv2/ux-filters.lv2
clap=usr/lib/clap/ux-filters.clap
clap_addons=usr/lib/clap/ux-filters-add-ons

work=$(mktemp -d)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

find_debs() {  # the main packages' files, into `files`
  files=()
  local package file
  for package in "${main_packages[@]}"; do
    file=$(ls "$packages/${package}"_*.deb 2>/dev/null | head -n 1)
    [ -n "$file" ] || fail "no package $package in $packages"
    files+=("$file")
  done
}

is_elf() {
  [ "$(head -c 4 "$1" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ]
}

# dynamic FILE TAG: the values of one tag of the dynamic section, one a line.
dynamic() {
  readelf -d "$1" 2>/dev/null | sed -n "s/.*($2).*\[\(.*\)\]/\1/p" | tr ':' '\n'
}

# Every RUNPATH or RPATH entry of ELF file $2 (as reached through path $2, which
# gives $ORIGIN) resolves inside root $1, and the kit's libraries it needs are
# found there, through those entries or in the system's library folder.
check_search_path() {
  local root=$1 file=$2 origin dirs=() entry resolved needed found
  origin=$(dirname "$file")
  while IFS= read -r entry; do
    [ -n "$entry" ] || continue
    entry=${entry//\$\{ORIGIN\}/$origin}
    entry=${entry//\$ORIGIN/$origin}
    case $entry in
    "$root"/*) ;;
    /*) entry=$root$entry ;;
    *) fail "${file#"$root"}: relative search path $entry" ;;
    esac
    resolved=$(realpath -m "$entry")
    case $resolved/ in
    "$root"/*) dirs+=("$resolved") ;;
    *) fail "${file#"$root"}: search path $entry leaves the package" ;;
    esac
  done < <(dynamic "$file" RUNPATH; dynamic "$file" RPATH)
  for needed in $(dynamic "$file" NEEDED | grep -E '^lib(UxKernel|Platform)\.so'); do
    found=
    for entry in "${dirs[@]}" "$root/$libdir"; do
      [ -e "$entry/$needed" ] && found=yes
    done
    [ -n "$found" ] || fail "${file#"$root"}: $needed is not found in the package"
  done
}

case $mode in
build)
  for tool in dpkg-buildpackage dh fakeroot; do
    command -v "$tool" >/dev/null || fail "missing $tool (scripts/setup.sh installs it)"
  done
  "$source/scripts/package.sh" "$packages" || fail "scripts/package.sh failed"
  find_debs
  ;;

contents)
  command -v lintian >/dev/null || fail "missing lintian (scripts/setup.sh installs it)"
  find_debs
  # lintian's findings, every one shown; an error fails the test.
  lintian --fail-on error --display-info "${files[@]}" >"$work/lintian" 2>&1
  status=$?
  sed 's/^/lintian: /' "$work/lintian"
  [ $status -eq 0 ] || fail "lintian reports errors"

  root=$work/root
  for file in "${files[@]}"; do
    dpkg-deb -x "$file" "$root" || fail "dpkg-deb -x $file"
  done
  root=$(realpath "$root")
  expected=(usr/bin/uxhost usr/bin/uxres
    "$libdir/libUxKernel.so.1" "$libdir/libPlatform.so.1" "$libdir/libUxKernel.so" "$libdir/libPlatform.so"
    "$libdir/libUxAddOnKit.a" "$libdir/cmake/UxFilterKit/UxFilterKitConfig.cmake"
    "$libdir/pkgconfig/uxfilterkit.pc" usr/include/UxFilterKit/UxFilterI.h
    "$libdir/ux-filter-kit/uxhost-media.so" "$libdir/ux-filter-kit/uxhost-live.so" "$libdir/ux-filter-kit/ux-vst3.so"
    "$bundle/manifest.ttl" "$bundle/ux-filters.ttl" "$bundle/ux-lv2.so"
    "$bundle/lib/libUxKernel.so.1" "$bundle/lib/libPlatform.so.1"
    "$clap" "$clap_addons/lib/ux-clap.so" "$clap_addons/lib/libUxKernel.so.1" "$clap_addons/lib/libPlatform.so.1")
  for filter in "${filters[@]}"; do
    expected+=("$libdir/ux-add-ons/$filter.so" "$bundle/add-ons/$filter.so" "$clap_addons/$filter.so")
    vst3=usr/lib/vst3/$filter.vst3/Contents/x86_64-linux
    expected+=("$vst3/$filter.so" "$vst3/add-ons/$filter.so" "$vst3/lib/libUxKernel.so.1" "$vst3/lib/libPlatform.so.1")
  done
  for package in "${main_packages[@]}"; do
    expected+=("usr/share/doc/$package/copyright")
  done
  for path in "${expected[@]}"; do
    [ -e "$root/$path" ] || fail "the packages lack /$path"
  done
  outside=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr; find usr -mindepth 1 -maxdepth 1 \
    ! -name bin ! -name lib ! -name include ! -name share)
  [ -z "$outside" ] || fail "the packages install outside /usr/{bin,lib,include,share}: $outside"

  # An installed program never reaches into the folder it was built in.
  built_in=$(grep -rlF "$packages/source" "$root" | sed "s|^$root||")
  [ -z "$built_in" ] || fail "files name the folder the package was built in: $built_in"

  count=0
  while IFS= read -r -d '' file; do
    is_elf "$file" || continue
    check_search_path "$root" "$file"
    count=$((count + 1))
  done < <(find "$root" \( -type f -o -type l \) -print0)
  echo "$count ELF files find their libraries inside the package"

  # The unpacked host runs on the unpacked libraries and finds only the plug-ins
  # beside it; each still shows its icon.
  (cd "$work" && env -u UX_ADDON_PATH "$root/usr/bin/uxhost" list) >"$work/list" 2>&1 || fail "uxhost list: $(cat "$work/list")"
  files_listed=$(awk -F'\t' 'NF == 3 { print $3 }' "$work/list")
  expected_files=$(printf "$root/$libdir/ux-add-ons/%s.so\n" "${filters[@]}")
  [ "$files_listed" = "$expected_files" ] || fail "the unpacked uxhost lists: $(cat "$work/list")"
  (cd "$work" && env -u UX_ADDON_PATH "$root/usr/bin/uxhost" -q demo Dissolve >/dev/null 2>"$work/demo") \
    || fail "the unpacked uxhost demo: $(cat "$work/demo")"
  for filter in "${filters[@]}"; do
    "$root/usr/bin/uxhost" icon "$root/$libdir/ux-add-ons/$filter.so" -o "$work/$filter.png" \
      || fail "$filter.so lost its icon in the package"
  done
  ;;

install)
  [ "${CI:-}" = true ] || [ "${UX_PACKAGE_INSTALL:-}" = 1 ] \
    || skip "installing the packages for real runs with CI=true or UX_PACKAGE_INSTALL=1"
  [ "$(id -u)" -eq 0 ] || skip "installing the packages needs root"
  for package in "${main_packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
      fail "$package is installed already; this test installs and removes the kit only on a machine without it"
    fi
  done
  find_debs
  remove() {
    DEBIAN_FRONTEND=noninteractive apt-get purge -y "${main_packages[@]}" >"$work/purge.log" 2>&1 \
      || { cat "$work/purge.log"; echo "FAIL: could not remove the packages"; }
    cleanup
  }
  trap remove EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${files[@]}" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log"; fail "apt-get install failed"; }

  # Nothing of the build tree, the source or the caller's settings is in reach.
  cd "$work" || fail "cannot enter $work"
  unset LV2_PATH UX_ADDON_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
  export HOME=$work/home
  mkdir -p "$HOME"

  uxhost list >list 2>&1 || fail "uxhost list: $(cat list)"
  [ "$(awk -F'\t' 'NF == 3 { print $3 }' list)" = "$(printf "/$libdir/ux-add-ons/%s.so\n" "${filters[@]}")" ] \
    || fail "uxhost list shows: $(cat list)"
  [ "$(lv2ls 2>/dev/null | grep '^urn:ux-filter-kit:' | sort)" = "$(printf 'urn:ux-filter-kit:%s\n' "${filters[@]}")" ] \
    || fail "lv2ls lists: $(lv2ls 2>&1)"
  "$source/tests/clap-file.sh" scan "/$clap" "Beta Fade" "Dissolve" "Fractal Drift" \
    || fail "the installed CLAP file is not listed as it should be"

  # An author's plug-in with CMake and no prefix given; copied into a bundle of its
  # own, it finds the kit's libraries there.
  cp -R "$source/examples/FifthFade" src
  { cmake -S src -B build -G Ninja -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF && cmake --build build; } >cmake.log 2>&1 \
    || { cat cmake.log; fail "the example does not build with find_package(UxFilterKit)"; }
  uxhost info build/add-ons/FifthFade.so | grep -qx "Name: *Fifth Fade" || fail "the example does not load"
  uxhost lv2-bundle build/add-ons/FifthFade.so -o "$work/lv2/fifth.lv2" >/dev/null || fail "uxhost lv2-bundle failed"
  dynamic "$work/lv2/fifth.lv2/add-ons/FifthFade.so" RUNPATH | grep -qx '$ORIGIN/../lib' \
    || fail "the example's plug-in does not search \$ORIGIN/../lib"
  check_search_path "" "$work/lv2/fifth.lv2/add-ons/FifthFade.so"
  [ "$(LV2_PATH=$work/lv2 lv2ls 2>/dev/null)" = urn:example:FifthFade ] || fail "lv2ls does not list the example's bundle"
  uxhost clap-bundle build/add-ons/FifthFade.so -o "$HOME/.clap" >/dev/null || fail "uxhost clap-bundle failed"
  "$source/tests/clap-file.sh" scan "$HOME/.clap/FifthFade.clap" "Fifth Fade" \
    || fail "the example's CLAP file is not listed as it should be"
  uxhost vst3-bundle build/add-ons/FifthFade.so -o "$work/vst3" >/dev/null || fail "uxhost vst3-bundle failed"
  check_search_path "" "$work/vst3/FifthFade.vst3/Contents/x86_64-linux/FifthFade.so"
  check_search_path "" "$work/vst3/FifthFade.vst3/Contents/x86_64-linux/add-ons/FifthFade.so"
  "$source/tests/vst3-bundle.sh" song "$work/vst3" "$(command -v uxhost)" "Fifth Fade" build/add-ons/FifthFade.so
  case $? in
  0 | 77) ;;
  *) fail "Ardour does not play the example's VST3 bundle as uxhost apply does" ;;
  esac

  # The same with pkg-config alone.
  pkg-config --cflags --libs uxfilterkit >/dev/null || fail "pkg-config does not find uxfilterkit"
  # shellcheck disable=SC2046 # the flags are meant to split into words
  ${CXX:-c++} $(pkg-config --cflags uxfilterkit) src/FifthFade.cpp -o FifthFade.so $(pkg-config --libs uxfilterkit) \
    || fail "the example does not build with pkg-config"
  uxres attach FifthFade.so --icon src/FifthFade.icon || fail "uxres attach failed"
  uxhost info "$work/FifthFade.so" | grep -qx "Name: *Fifth Fade" || fail "the pkg-config build does not load"
  echo "installed: uxhost, lv2ls, the CLAP scanner, find_package and pkg-config find the kit"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
exit 0
