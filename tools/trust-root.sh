#!/bin/sh
# Makes the browsers of the current user trust (install) or stop trusting
# (remove) the service's local root certificate:
#   - Chromium / Chrome: the NSS database $HOME/.pki/nssdb (created if missing)
#   - Firefox: every profile under $HOME/.mozilla/firefox/ that has a cert9.db
# Usage: trust-root.sh install|remove [--nssdb DIR]
#   --nssdb DIR  use DIR instead of $HOME/.pki/nssdb for Chromium.
# VAULTLINE_ROOT_PEM names another certificate file to install.
# Needs certutil (Debian package libnss3-tools).
set -eu

NICK="Vaultline Local Root"
usage() {
    echo "usage: $0 install|remove [--nssdb DIR]" >&2
    exit 2
}

[ $# -ge 1 ] || usage
action=$1
shift
case "$action" in install|remove) ;; *) usage ;; esac
nssdb="${HOME:?HOME is not set}/.pki/nssdb"
while [ $# -gt 0 ]; do
    case "$1" in
        --nssdb) [ $# -ge 2 ] || usage; nssdb=$2; shift 2 ;;
        *) usage ;;
    esac
done

command -v certutil >/dev/null 2>&1 || {
    echo "$0: certutil not found; install the package libnss3-tools" >&2
    exit 1
}

# The certificate beside this script (installed copy), else the source tree's.
here=$(cd "$(dirname "$0")" && pwd)
cert=""
for c in "${VAULTLINE_ROOT_PEM:-}" "$here/vaultline-root.pem" "$here/../certs/vaultline-root.pem" \
         /usr/share/vaultline/vaultline-root.pem; do
    if [ -n "$c" ] && [ -f "$c" ]; then cert=$c; break; fi
done
if [ "$action" = install ] && [ -z "$cert" ]; then
    echo "$0: vaultline-root.pem not found" >&2
    exit 1
fi

has_root() { certutil -d "sql:$1" -L -n "$NICK" >/dev/null 2>&1; }

apply() { # apply DB
    db=$1
    if [ "$action" = install ]; then
        # Replace any older copy so that repeated installs leave exactly one.
        while has_root "$db"; do certutil -d "sql:$db" -D -n "$NICK"; done
        certutil -d "sql:$db" -A -t "C,," -n "$NICK" -i "$cert"
        echo "trusted in $db"
    else
        removed=no
        while has_root "$db"; do certutil -d "sql:$db" -D -n "$NICK"; removed=yes; done
        [ "$removed" = yes ] && echo "removed from $db"
    fi
    return 0
}

if [ "$action" = install ] && [ ! -f "$nssdb/cert9.db" ]; then
    mkdir -p "$nssdb"
    chmod 700 "$nssdb"
    certutil -d "sql:$nssdb" -N --empty-password
fi
[ -f "$nssdb/cert9.db" ] && apply "$nssdb"

for profile in "$HOME"/.mozilla/firefox/*/; do
    [ -f "${profile}cert9.db" ] || continue
    apply "${profile%/}"
done
