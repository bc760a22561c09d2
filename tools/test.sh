#!/bin/sh
# Installs, builds and runs every test: the unit, wire, load, packaging and
# browser tests; the same unit and wire suites again under ASan and UBSan; and
# every fuzz target for a bounded time (FUZZ_SECONDS, default 60 each).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
sh tools/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --timeout 900
sh tools/sanitizer-tests.sh
sh tools/fuzz.sh
