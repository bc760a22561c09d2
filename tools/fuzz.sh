#!/bin/sh
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded
# time on a scratch copy of its seed corpus. Fails when a target does not
# build, or crashes, leaks, times out or runs out of memory.
#
#   FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   FUZZ_SECONDS    seconds per target (default 60)
#   FUZZ_TARGETS    targets to run (default: all of them)
#   FUZZ_JOBS       build parallelism (default: nproc, at most 2)
#
# The committed seeds in fuzz/corpus/ are never written; what a run adds stays
# in $FUZZ_BUILD_DIR/fuzz-run/<target>/corpus, and a failing input is saved as
# $FUZZ_BUILD_DIR/fuzz-run/<target>/crash-*, leak-*, timeout-* or oom-*.
# Reproduce one with: $FUZZ_BUILD_DIR/fuzz/<target> <file>
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
ALL="fuzz_http_request fuzz_envelope fuzz_envelope_softskf fuzz_codecs fuzz_cert_info fuzz_signed_data fuzz_skf_blob"
TARGETS=${FUZZ_TARGETS:-$ALL}
jobs=${FUZZ_JOBS:-$(nproc)}
[ "$jobs" -gt 2 ] && jobs=2

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DVAULTLINE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p "$BUILD_DIR/fuzz-run"
# shellcheck disable=SC2086
if ! cmake --build "$BUILD_DIR" -j"$jobs" --target $TARGETS >"$BUILD_DIR/fuzz-run/build.log" 2>&1; then
    tail -n 40 "$BUILD_DIR/fuzz-run/build.log"
    echo "fuzz: the targets did not build (log: $BUILD_DIR/fuzz-run/build.log)"
    exit 1
fi

dict_for() {
    case "$1" in
        fuzz_http_request) echo "$root/fuzz/http.dict" ;;
        fuzz_envelope|fuzz_envelope_softskf) echo "$root/fuzz/envelope.dict" ;;
        *) echo "" ;;
    esac
}

failed=""
for t in $TARGETS; do
    run="$BUILD_DIR/fuzz-run/$t"
    rm -rf "$run"
    mkdir -p "$run/corpus"
    cp "fuzz/corpus/$t/"* "$run/corpus/"
    dict=$(dict_for "$t")
    set -- -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$run/" -print_final_stats=1 -close_fd_mask=1
    [ -n "$dict" ] && set -- "$@" -dict="$dict"
    echo "== $t (${SECONDS_EACH}s)"
    status=0
    "$BUILD_DIR/fuzz/$t" "$@" "$run/corpus" >"$run/log" 2>&1 || status=$?
    # The last status line: executions, coverage, corpus and exec/s.
    grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$run/log" | tail -n 1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$run/log" || true
    if [ "$status" -ne 0 ]; then
        echo "!! $t failed (exit $status); log: $run/log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|fuzz_[a-z_]+: )' "$run/log" | head -n 5 || true
        ls "$run" | grep -E '^(crash|leak|timeout|oom|slow-unit)-' | sed "s|^|   $run/|" || true
        failed="$failed $t"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz: failed:$failed"
    exit 1
fi
echo "fuzz: all targets ran ${SECONDS_EACH}s without a finding"
