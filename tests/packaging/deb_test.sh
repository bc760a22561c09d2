#!/bin/sh
# Builds the Debian packages from the build directory with cpack (no prior
# install), unpacks them with dpkg -x and checks contents, control fields and
# the systemd user unit.
set -eu
build=$1
src=$2
version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake") >"$tmp/cpack.log" 2>&1 \
    || { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }

svc_deb=$(ls "$tmp"/out/vaultline_*.deb 2>/dev/null || true)
skf_deb=$(ls "$tmp"/out/vaultline-softskf_*.deb 2>/dev/null || true)
[ -f "$svc_deb" ] || { ls "$tmp/out" >&2; fail "no vaultline package"; }
[ -f "$skf_deb" ] || { ls "$tmp/out" >&2; fail "no vaultline-softskf package"; }

field() { dpkg-deb -f "$1" "$2"; }
# Control fields of both packages.
for row in "$svc_deb vaultline" "$skf_deb vaultline-softskf"; do
    set -- $row
    [ "$(field "$1" Package)" = "$2" ] || fail "$1: Package is '$(field "$1" Package)'"
    [ "$(field "$1" Version)" = "$version" ] || fail "$1: Version is '$(field "$1" Version)', want $version"
    dpkg-deb -I "$1" >/dev/null || fail "$1: dpkg-deb -I failed"
done
depends=$(field "$svc_deb" Depends)
for dep in libssl3 libjsoncpp25; do
    echo "$depends" | grep -q "\b$dep\b" || fail "vaultline Depends lacks $dep: $depends"
done

svc="$tmp/svc"
skf="$tmp/skf"
dpkg -x "$svc_deb" "$svc"
dpkg -x "$skf_deb" "$skf"

# The service package.
[ -x "$svc/usr/bin/vaultlineservice" ] || fail "usr/bin/vaultlineservice missing or not executable"
unit=""
for u in "$svc/lib/systemd/user/vaultline.service" "$svc/usr/lib/systemd/user/vaultline.service"; do
    [ -f "$u" ] && unit=$u
done
[ -n "$unit" ] || fail "systemd user unit missing"
cmp -s "$svc/usr/share/vaultline/vaultline-root.pem" "$src/certs/vaultline-root.pem" \
    || fail "share/vaultline/vaultline-root.pem differs from certs/vaultline-root.pem"
[ -x "$svc/usr/share/vaultline/trust-root.sh" ] || fail "trust script missing or not executable"
[ -d "$svc/opt/vaultlineservice.kq" ] || fail "opt/vaultlineservice.kq missing"
[ "$(stat -c %a "$svc/opt/vaultlineservice.kq")" = 755 ] || fail "opt/vaultlineservice.kq is not mode 0755"
dpkg-deb -c "$svc_deb" | grep " \./opt/vaultlineservice\.kq/$" >/dev/null || fail "package does not list opt/vaultlineservice.kq/"
for f in "$svc/usr/bin/softskf" "$svc/usr/lib/vaultline/libsoftskf.so"; do
    [ ! -e "$f" ] || fail "service package carries developer file ${f#$svc}"
done
grep -qx "ExecStart=/usr/bin/vaultlineservice" "$unit" || fail "unit ExecStart is not /usr/bin/vaultlineservice"
grep -qx "WantedBy=default.target" "$unit" || fail "unit is not wanted by default.target"

# systemd-analyze checks that ExecStart exists, so verify a copy of the unit
# that starts the extracted binary instead of /usr/bin/vaultlineservice.
# A --user manager needs a runtime directory, which a CI root shell lacks.
# Any warning naming the unit (an option it ignores) fails the test too.
mkdir -p "$tmp/unit" "$tmp/runtime"
chmod 700 "$tmp/runtime"
export XDG_RUNTIME_DIR="$tmp/runtime"
sed "s|^ExecStart=/usr/bin/vaultlineservice|ExecStart=$svc/usr/bin/vaultlineservice|" "$unit" \
    >"$tmp/unit/vaultline.service"
if ! systemd-analyze verify --user "$tmp/unit/vaultline.service" >"$tmp/verify.log" 2>&1 \
    || grep -q "vaultline.service" "$tmp/verify.log"; then
    cat "$tmp/verify.log" >&2
    fail "systemd-analyze verify rejects the unit"
fi

# The developer package: library and tool, not the service.
[ -f "$skf/usr/lib/vaultline/libsoftskf.so" ] || fail "usr/lib/vaultline/libsoftskf.so missing"
[ -x "$skf/usr/bin/softskf" ] || fail "usr/bin/softskf missing or not executable"
[ ! -e "$skf/usr/bin/vaultlineservice" ] || fail "softskf package carries the service"
[ -z "$(find "$skf" -name '*.service' -o -name '*.pem')" ] || fail "softskf package carries service files"
echo "packages: ok"
