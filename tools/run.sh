#!/bin/sh
# Installs, builds and runs the service in the foreground (Ctrl-C stops it).
# Makes the demo SKF token first when there is none, so a new user can sign.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
sh tools/install-deps.sh
sh tools/build.sh
sh softskf/tool/demo-token.sh "$BUILD_DIR/softskf"
echo "Vaultline: https://127.0.0.1:5426/ (trust certs/vaultline-root.pem in your browser first)"
exec "$BUILD_DIR/src/vaultlineservice"
