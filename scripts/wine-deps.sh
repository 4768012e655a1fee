#!/usr/bin/env bash
# Installs Wine for running the Windows build (32-bit), when missing:
# Debian's wine and wine32 from the i386 architecture, and iproute2 so that
# the end-to-end run can bring up loopback in a namespace of its own.
set -euo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
installed wine && installed wine32:i386 && installed iproute2 && exit 0

echo "Installing: wine wine32:i386 iproute2"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine wine32:i386 iproute2 >/dev/null
