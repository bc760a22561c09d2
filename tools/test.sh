#!/bin/sh
# Installs, builds and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
sh tools/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --timeout 900
