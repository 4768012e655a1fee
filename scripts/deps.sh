#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 file python3
          clang-14 libclang-rt-14-dev man-db libsystemd-dev nlohmann-json3-dev
          dpkg-dev lintian resource-agents iproute2 "$@")
# Only the Wireshark dissector test needs tshark, and only the end-to-end Pacemaker scenario
# corosync and pacemaker; each is skipped where its packages cannot be installed.
optional=(tshark corosync pacemaker)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_optional=()
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

echo "Installing:" "${missing[@]}" "${missing_optional[@]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get update -qq
    apt_install "${missing[@]}"
elif ! $SUDO apt-get update -qq; then
    echo "Could not update the package lists; not installing: ${missing_optional[*]}" >&2
    exit 0
fi
[ ${#missing_optional[@]} -eq 0 ] && exit 0
# tshark asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
apt_install "${missing_optional[@]}" || echo "Could not install: ${missing_optional[*]} (their tests are skipped)" >&2
