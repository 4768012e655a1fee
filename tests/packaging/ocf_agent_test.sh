#!/usr/bin/env bash
# Runs ocf-tester against the Pacemaker resource agent with the real program
# on a temporary state folder, its host name "localhost", on a free loopback port.
# Usage: tests/packaging/ocf_agent_test.sh BIN_FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."

bin=$(realpath "${1:?bin folder}")
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-ocf-XXXXXX")
chmod 0755 "$work"
trap 'rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
DORVANE_STATE_DIR=$work/state COMPUTERNAME=localhost "$bin/dorvane" -install "$port" >/dev/null

ocf-tester -n dorvane-test -o state_dir="$work/state" -o hostname=localhost -o port="$port" \
    -o binary="$bin/dorvane" -o qsctl="$bin/qsctl" "$PWD/packaging/ocf/dorvane"
