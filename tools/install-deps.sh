#!/bin/sh
# Installs what building, running and testing the service needs (Debian 12).
set -eu
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
PKGS="build-essential cmake pkg-config libssl-dev openssl libjsoncpp-dev \
libgtest-dev libbenchmark-dev libbotan-2-dev softhsm2 opensc libp11-kit-dev lsb-release ca-certificates \
libnss3-tools dpkg-dev systemd clang chromium fonts-wqy-zenhei"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# Node may come from another repository that bundles npm; only add Debian's when absent.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
    as_root apt-get update -qq
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi

# The browser test's driver (playwright-core, pinned in its package-lock.json).
# It uses Debian's Chromium; no browser is downloaded.
browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
want=$(sed -n 's/.*"playwright-core": *"\([^"]*\)".*/\1/p' "$browser_tests/package.json")
have=$(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$browser_tests/node_modules/playwright-core/package.json" 2>/dev/null || true)
if [ "$have" != "$want" ]; then
    (cd "$browser_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --no-update-notifier --loglevel=error)
fi
