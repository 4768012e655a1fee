#!/usr/bin/env bash
# The soak command (not part of the test command): builds the release flavour,
# starts the quorum server as the benchmark command does, and runs the load
# generator's mixed scenario in repeated failover cycles (every PVM contests,
# the winners release, they contest again, while every peer keeps sending
# keepalives at its interval) for SOAK_SECONDS. Meanwhile it samples the
# server's resident memory and open descriptors into build/soak/samples.csv and
# at the end prints whether they stayed flat after the warm-up.
#
# Usage: scripts/soak.sh                                   (one hour, 1,000 PVMs)
#        SOAK_SECONDS=300 SOAK_PVMS=2000 SOAK_SAMPLE_SECONDS=5 scripts/soak.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${SOAK_SECONDS:-3600}
pvms=${SOAK_PVMS:-1000}
sample_seconds=${SOAK_SAMPLE_SECONDS:-10}
scripts/build.sh release qsload dvreg dorvane
bin=build/release/bin
out=build/soak
mkdir -p "$out"
max_instances=$((2 * pvms + 1000))
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-soak-XXXXXX")
source scripts/local_server.sh

load_pid=
cleanup() {
    [ -n "$load_pid" ] && kill -TERM "$load_pid" 2>/dev/null || true
    [ -n "$load_pid" ] && { wait "$load_pid" 2>/dev/null || true; }
    stop_started
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_server
samples="$out/samples.csv"
log="$out/qsload.log"
echo "seconds,rss_kib,fds" >"$samples"
sample() {
    local rss fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status" 2>/dev/null) || return 0
    fds=$(ls "/proc/$server_pid/fd" 2>/dev/null | wc -l)
    echo "$(($(date +%s) - began)),$rss,$fds" >>"$samples"
}

echo "soak: $pvms PVMs for $seconds s against pid $server_pid on 127.0.0.1:$server_port; samples every" \
    "$sample_seconds s in $samples"
began=$(date +%s)
sample
"$bin/qsload" mixed --server "127.0.0.1:$server_port" --pid "$server_pid" --pvms "$pvms" \
    --duration "$seconds" --limit 900 >"$log" 2>&1 &
load_pid=$!
while kill -0 "$load_pid" 2>/dev/null; do
    sleep "$sample_seconds"
    sample
    kill -0 "$server_pid" 2>/dev/null || { echo "soak: the server ended during the run" >&2; break; }
done
load_status=0
wait "$load_pid" || load_status=$?
load_pid=
sample
kill -0 "$server_pid" 2>/dev/null || { echo "soak: the server is not running" >&2; exit 1; }

python3 scripts/soak_report.py "$samples" "$log" "$load_status"
