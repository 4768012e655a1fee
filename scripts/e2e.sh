#!/usr/bin/env bash
# The end-to-end step of the test command: the built program driven from its
# command line and its UDP port, on POSIX and (the Windows build) under Wine,
# with the Kelbrook probe on Windows. Expects both builds to be done.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/wine-deps.sh
exec python3 tests/e2e/run_e2e.py --posix build/native --wine build/win32 "$@"
