#!/bin/sh
# Installs, builds and runs the service in the foreground (Ctrl-C stops it).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
sh tools/build.sh
echo "Vaultline: https://127.0.0.1:5426/ (trust certs/vaultline-root.pem in your browser first)"
exec "${BUILD_DIR:-build}/src/vaultlineservice"
