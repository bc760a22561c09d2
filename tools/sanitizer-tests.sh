#!/bin/sh
# Builds everything with AddressSanitizer + UBSan into build-asan/
# (SAN_BUILD_DIR overrides) and runs the unit and wire tests there.
#
# Every instrumented process, the service and its IPv6 child included, writes
# its sanitizer reports into $SAN_BUILD_DIR/sanitizer-logs/ instead of stderr,
# so a report from a process a test merely starts (and whose stderr nobody
# reads) still fails the run: any file there at the end is a failure.
#
# Left out: debian_packages (it packs and unpacks this tree's files; the
# instrumented programs would only test packaging, which the plain build does)
# and any browser* test (it checks a page in Chromium, not this code).
#
# SAN_JOBS sets how many jobs the build and ctest run at once (default: all cores).
# VAULTLINE_PORT_LOCK names a lock file to hold while the tests run, for
# machines where other runs use the service's ports 5426-5430 at the same time.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${SAN_BUILD_DIR:-build-asan}
JOBS=${SAN_JOBS:-$(nproc)}

start=$(date +%s)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVAULTLINE_SANITIZE=ON -DVAULTLINE_TESTS=ON -DVAULTLINE_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS"
built=$(date +%s)

LOG_DIR=$(cd "$BUILD_DIR" && pwd)/sanitizer-logs
rm -rf "$LOG_DIR"
mkdir -p "$LOG_DIR"

# abort_on_error: a report ends the process at once, whoever started it.
# handle_abort: any other abort (a failed library assertion, the build has
# _GLIBCXX_ASSERTIONS) also leaves a report with its stack in the log.
# detect_stack_use_after_return and check_initialization_order catch what the
# defaults leave out. Leaks are checked wherever a process exits normally, and
# by the service itself when it is stopped with SIGTERM (src/main.cpp).
ASAN_OPTIONS="log_path=$LOG_DIR/asan:detect_leaks=1:abort_on_error=1:strict_string_checks=1"
ASAN_OPTIONS="$ASAN_OPTIONS:detect_stack_use_after_return=1:check_initialization_order=1"
ASAN_OPTIONS="$ASAN_OPTIONS:disable_coredump=1:handle_abort=1"
UBSAN_OPTIONS="log_path=$LOG_DIR/ubsan:print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS UBSAN_OPTIONS

set -- ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 900 -j"$JOBS" \
    -E '^(debian_packages|browser.*)$'
if [ -n "${VAULTLINE_PORT_LOCK:-}" ]; then
    set -- flock "$VAULTLINE_PORT_LOCK" "$@"
fi
status=0
"$@" || status=$?
tested=$(date +%s)

reports=$(find "$LOG_DIR" -type f | sort)
if [ -n "$reports" ]; then
    for f in $reports; do
        echo "==== sanitizer report $f"
        cat "$f"
    done
    echo "sanitizer-tests: $(echo "$reports" | wc -l) sanitizer report(s) in $LOG_DIR" >&2
    [ "$status" -ne 0 ] || status=1
fi
echo "sanitizer-tests: build $((built - start)) s, tests $((tested - built)) s, status $status"
exit "$status"
