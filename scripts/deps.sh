#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail
. "$(dirname "$0")/apt.sh"

packages=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 file python3
          clang-14 libclang-rt-14-dev man-db libsqlite3-dev sqlite3 libsystemd-dev nlohmann-json3-dev
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
apt_install "${missing[@]}"
[ ${#missing_optional[@]} -eq 0 ] && exit 0
# tshark asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $apt_sudo debconf-set-selections
apt_install_optional "${missing_optional[@]}"
