#!/bin/sh
# tools/trust-root.sh against a scratch HOME: a Chromium database it must
# create, one Firefox profile with an NSS database and one without.
set -eu
script=$1
pem=$2
NICK="Vaultline Local Root"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME="$tmp/home"
ff="$HOME/.mozilla/firefox/abcd1234.default-release"
bare="$HOME/.mozilla/firefox/empty.profile"
mkdir -p "$ff" "$bare"
certutil -d "sql:$ff" -N --empty-password

fail() { echo "FAIL: $*" >&2; exit 1; }
# Number of certificates named $NICK in database $1.
count() { certutil -d "sql:$1" -L 2>/dev/null | grep -c "^$NICK " || true; }
fingerprint() { openssl x509 -noout -fingerprint -sha256 "$@"; }
want=$(fingerprint -in "$pem")

check_present() { # DB
    [ "$(count "$1")" = 1 ] || fail "expected one root in $1, found $(count "$1")"
    got=$(certutil -d "sql:$1" -L -n "$NICK" -a | fingerprint)
    [ "$got" = "$want" ] || fail "$1 holds another certificate: $got"
    certutil -d "sql:$1" -L | grep "^$NICK " | grep -q "C,," || fail "$1: trust flags are not C,,"
}
check_absent() { # DB
    [ "$(count "$1")" = 0 ] || fail "root still in $1"
}

chromium="$HOME/.pki/nssdb"
# install twice: the second run must leave one copy, not fail or duplicate.
for run in 1 2; do
    sh "$script" install >/dev/null || fail "install run $run failed"
    check_present "$chromium"
    check_present "$ff"
done
[ ! -e "$bare/cert9.db" ] || fail "a profile without a database got one"

sh "$script" remove >/dev/null || fail "remove failed"
check_absent "$chromium"
check_absent "$ff"
sh "$script" remove >/dev/null || fail "second remove failed"

# --nssdb replaces the Chromium location; the default one is left alone.
other="$tmp/other-db"
sh "$script" install --nssdb "$other" >/dev/null || fail "install --nssdb failed"
check_present "$other"
check_present "$ff"
check_absent "$chromium"
sh "$script" remove --nssdb "$other" >/dev/null || fail "remove --nssdb failed"
check_absent "$other"
check_absent "$ff"

# Bad usage is refused without touching anything.
for args in "" "trust" "install --nssdb" "install --bogus"; do
    # shellcheck disable=SC2086
    if sh "$script" $args >/dev/null 2>&1; then fail "accepted: '$args'"; fi
done
check_absent "$ff"
echo "trust-root: ok"
