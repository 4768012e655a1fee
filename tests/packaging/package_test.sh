#!/usr/bin/env bash
# Installs the Debian package into a throw-away copy of this machine (an
# overlay over / in mount and network namespaces of its own, where systemd does
# not run) and checks what its maintainer scripts leave: a first installation,
# an upgrade, a removal, a reinstallation and a purge. The server is run from
# the installed files on the namespace's own loopback to read its identity and
# a quorum holder back.
# Usage: tests/packaging/package_test.sh build/package/dorvane_<version>_<arch>.deb
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    deb=$(realpath "${1:?package}")
    if [ "$(id -u)" != 0 ] || ! unshare -m -n true 2>/dev/null; then
        echo "package installation check skipped: needs root and namespaces"
        exit 0
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-package-XXXXXX")
    trap 'rm -rf "$work"' EXIT
    unshare -m -n --propagation private "$0" --inside "$deb" "$work"
    exit $?
fi

deb=$2
work=$3
root=$work/root
mkdir -p "$work/upper" "$work/overlay-work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
mount --bind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
ip link set lo up
cp "$deb" "$root/tmp/dorvane.deb"

cat >"$root/tmp/checks.sh" <<'EOF'
set -eu
state=/var/lib/dorvane
pvm=00010203-0405-0607-0809-0a0b0c0d0e0f
failures=0
check() {
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
install_package() { dpkg -i /tmp/dorvane.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }; }

# The installed server in console mode on loopback for the length of a command.
echo "127.0.0.1 DVPACKAGE" >/tmp/hosts
export COMPUTERNAME=DVPACKAGE DORVANE_HOSTS=/tmp/hosts
with_server() {
    DORVANE_STATE_DIR=$state /usr/lib/dorvane/dorvane -debug_errors >/tmp/server.log 2>&1 &
    server=$!
    tries=0
    until qsctl query-service 127.0.0.1 --timeout 100 >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || { cat /tmp/server.log; kill $server; return 1; }
    done
    "$@"
    result=$?
    kill -INT $server
    wait $server || true
    return $result
}
identity() { qsctl --json query-service 127.0.0.1 | sed -n 's/.*"serverId":"\([^"]*\)".*/\1/p'; }
grant() { qsctl attach 127.0.0.1 $pvm 1 >/dev/null && qsctl acquire 127.0.0.1 $pvm 1 --window 0 >/dev/null; }
# AM1 attached again finds its grant, and its partner is refused (QUORUM_DENIED, exit code 4).
holds() {
    qsctl attach 127.0.0.1 $pvm 1 >/dev/null && qsctl attach 127.0.0.1 $pvm 2 >/dev/null &&
        qsctl --json query-instance 127.0.0.1 $pvm | grep -q '"am1":{[^}]*"hold":true' &&
        { qsctl acquire 127.0.0.1 $pvm 2 --window 0 >/dev/null; [ $? = 4 ]; }
}
mode() { stat -c %a "$1"; }
enabled() { [ -L /etc/systemd/system/multi-user.target.wants/dorvane.service ]; }
masked() { [ "$(readlink /etc/systemd/system/dorvane.service)" = /dev/null ]; }
fresh() { [ -n "$1" ] && [ "$1" != "$2" ]; }

install_package
check "the state folder is private" [ "$(mode $state)" = 700 ]
check "the unit is enabled" enabled
first=$(with_server identity)
check "the first installation made an identity" [ -n "$first" ]
check "a peer is granted the quorum" with_server grant

install_package
check "an upgrade keeps the identity" [ "$(with_server identity)" = "$first" ]
check "an upgrade keeps the holder, and its partner is refused" with_server holds

dpkg -r dorvane >/tmp/dpkg.log 2>&1
check "a removal takes the program" [ ! -e /usr/lib/dorvane/dorvane ]
check "a removal keeps the state folder" [ -d $state ]
check "a removal leaves the unit enabled for a reinstallation" enabled

install_package
check "a reinstallation leaves the unit unmasked" eval '! masked'
check "a reinstallation keeps the identity" [ "$(with_server identity)" = "$first" ]
check "a reinstallation keeps the holder" with_server holds

dpkg -P dorvane >/tmp/dpkg.log 2>&1
check "a purge deletes the state folder" [ ! -e $state ]
check "a purge leaves no unit links" eval '! enabled && ! masked'

install_package
check "an installation after a purge makes a new identity" fresh "$(with_server identity)" "$first"
dpkg -P dorvane >/tmp/dpkg.log 2>&1
exit $failures
EOF
chroot "$root" /bin/sh /tmp/checks.sh
