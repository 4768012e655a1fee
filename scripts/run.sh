#!/usr/bin/env bash
# The run command: builds the program, installs the service definition and a
# new server identity into ./state the first time (an existing install is
# kept), and runs the quorum server in console mode at the info level on
# UDP port 4557 until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh native dorvane
export DORVANE_STATE_DIR=${DORVANE_STATE_DIR:-$PWD/state}
program=build/native/bin/dorvane
# A state folder of the earlier folder store is imported by the first command.
if [ ! -e "$DORVANE_STATE_DIR/registry.db" ] && [ ! -d "$DORVANE_STATE_DIR/registry" ]; then
    "$program" -install 4557
fi
exec "$program" -debug_info
