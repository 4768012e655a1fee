#!/usr/bin/env bash
# The run command: builds the program, installs the service definition and a
# new server identity into ./state the first time (an existing install is
# kept), and runs the quorum server in console mode at the info level on
# UDP port 4557 until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh native dorvane dvreg
export DORVANE_STATE_DIR=${DORVANE_STATE_DIR:-$PWD/state}
program=build/native/bin/dorvane
if ! build/native/bin/dvreg query 'HKLM\SYSTEM\CurrentControlSet\Services\Dorvane\Parameters' /v QSServerID \
    >/dev/null 2>&1; then
    "$program" -install 4557
fi
exec "$program" -debug_info
