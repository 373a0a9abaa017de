#!/usr/bin/env bash
# Sets up, builds, and runs the command-line host's demo: a phrase through every filter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
mkdir -p build/demo
cd build/demo
UX_ADDON_PATH=$PWD/../add-ons ../bin/uxhost demo
