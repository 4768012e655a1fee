#!/usr/bin/env bash
# Installs Wine for running the Windows build (32-bit), when missing:
# Debian's wine and wine32 from the i386 architecture, and iproute2 so that
# the end-to-end run can bring up loopback in a namespace of its own.
set -euo pipefail
. "$(dirname "$0")/apt.sh"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
installed wine && installed wine32:i386 && installed iproute2 && exit 0

echo "Installing: wine wine32:i386 iproute2"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $apt_sudo dpkg --add-architecture i386
fi
apt_install wine wine32:i386 iproute2
