#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, if any is missing.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libcli11-dev
  midicsv valgrind time libclang-rt-14-dev libclang-rt-19-dev
  libcairo2-dev fonts-dejavu-core libfluidsynth-dev timgm6mb-soundfont
  lv2-dev liblilv-dev lilv-utils sordi jalv jackd2 libjack-jackd2-dev dpf-source qtractor ardour
  debhelper dpkg-dev fakeroot lintian meson libelf-dev binutils
  x42-plugins
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
