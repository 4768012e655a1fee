#!/usr/bin/env bash
# The run command: builds the program and runs the quorum server in console mode.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh native
if [ ! -x build/native/bin/dorvane ]; then
    echo "The dorvane program is not built yet: the server's entry point has not landed."
    exit 0
fi
export DORVANE_STATE_DIR=${DORVANE_STATE_DIR:-$PWD/state}
exec build/native/bin/dorvane -debug_info
