#!/bin/sh
# Installs, builds and runs the service in the foreground, with the demo page
# served on loopback beside it (Ctrl-C stops both).
# Makes the demo SKF token first when there is none, so a new user can sign.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
sh tools/install-deps.sh
sh tools/build.sh
sh softskf/tool/demo-token.sh "$BUILD_DIR/softskf"

# The demo page's server prints its address on stdout once it listens; keep
# that line to show it before the service's own lines.
tmp=$(mktemp -d)
: >"$tmp/web.out"
web_pid=""
stop_web() {
    if [ -n "$web_pid" ]; then kill "$web_pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap stop_web EXIT
# A Ctrl-C reaches the service too; exit once it has ended, which runs stop_web.
trap 'exit 130' INT
trap 'exit 143' TERM

node clients/web/serve.mjs --library "$(cd "$BUILD_DIR/softskf" && pwd)/libsoftskf.so" >"$tmp/web.out" &
web_pid=$!
tries=0
until grep -q '^Demo page: ' "$tmp/web.out"; do
    if ! kill -0 "$web_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
        echo "the demo page server did not start" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
done
cat "$tmp/web.out"
echo "Vaultline: https://127.0.0.1:5426/ (or the next free port up to 5430; trust certs/vaultline-root.pem in your browser first: sh tools/trust-root.sh install)"
"$BUILD_DIR/src/vaultlineservice"
