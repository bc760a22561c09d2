#!/bin/sh
# Installs, builds and runs the service in the foreground (Ctrl-C stops it).
# Makes the demo SKF token first when there is none, so a new user can sign.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
sh tools/install-deps.sh
sh tools/build.sh
softskf="$BUILD_DIR/softskf/softskf"
store=$("$softskf" where)
if ! "$softskf" list >/dev/null 2>&1 || [ -z "$(ls -A "$store" 2>/dev/null)" ]; then
    "$softskf" demo
fi
echo "Demo SKF token: $store (see: $softskf list)"
echo "SKF library to open: $(cd "$BUILD_DIR/softskf" && pwd)/libsoftskf.so"
echo "Vaultline: https://127.0.0.1:5426/ (trust certs/vaultline-root.pem in your browser first)"
exec "$BUILD_DIR/src/vaultlineservice"
