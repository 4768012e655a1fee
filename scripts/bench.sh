#!/usr/bin/env bash
# The benchmark command (not part of the test command): builds the release
# flavour, starts the echo baseline and the quorum server (the dorvane program
# installed with its port into a temporary state folder, MaxInstanceNum raised,
# run in console mode at the errors level) on free loopback ports, runs the load
# generator's scenarios at each number of PVMs, prints one table, and writes
# build/bench/results.csv and build/bench/performance.png.
#
# Usage: scripts/bench.sh            (4,000 and 100,000 PVMs)
#        BENCH_PVMS="4000 20000 100000" BENCH_SECONDS=5 BENCH_ROUNDS=3 scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh python3-matplotlib
scripts/build.sh release qsload echo_baseline dorvane
bin=build/release/bin
out=build/bench
mkdir -p "$out"
pvm_counts=${BENCH_PVMS:-4000 100000}
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-3}
max_instances=200000
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-bench-XXXXXX")
started=()

cleanup() {
    for pid in "${started[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something answers on the UDP port (the server's first scan binds it).
wait_bound() {
    for _ in $(seq 100); do
        grep -qi ":$(printf '%04X' "$1") " /proc/net/udp && return 0
        sleep 0.1
    done
    echo "nothing bound to port $1" >&2
    return 1
}

# Installs and starts a fresh server in a state folder of its own, its host
# name pinned to 127.0.0.1; sets server_pid and server_port.
start_server() {
    server_port=$(free_port)
    local state="$work/state-$server_port"
    mkdir -p "$state"
    echo "127.0.0.1 DVBENCH" >"$state/hosts"
    export DORVANE_STATE_DIR="$state" DORVANE_HOSTS="$state/hosts" COMPUTERNAME=DVBENCH
    "$bin/dorvane" -install "$server_port" >"$out/install.log" 2>&1
    local parameters
    parameters=$(find "$state/registry" -ipath '*/services/dorvane/parameters/.values.reg')
    sed -i "s/^\"MaxInstanceNum\"=dword:.*/\"MaxInstanceNum\"=dword:$(printf '%08x' "$max_instances")/" "$parameters"
    "$bin/dorvane" -debug_errors >"$out/server-$server_port.log" 2>&1 &
    server_pid=$!
    started+=("$server_pid")
    wait_bound "$server_port"
}

# Ctrl+C, as an operator stops console mode.
stop_server() {
    kill -INT "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
}

baseline_port=$(free_port)
"$bin/echo_baseline" "$baseline_port" 3600 >"$out/baseline.log" 2>&1 &
started+=("$!")
wait_bound "$baseline_port"

log="$out/qsload.log"
: >"$log"
run() {
    local load
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    echo "== $* (load average $load)" | tee -a "$log"
    "$bin/qsload" "$@" --pid "$server_pid" | sed "s/^RESULT /RESULT load=${load// /,} /" | tee -a "$log" | grep -v '^RESULT'
}

for n in $pvm_counts; do
    start_server
    run keepalive --server "127.0.0.1:$server_port" --baseline "127.0.0.1:$baseline_port" --pvms "$n" \
        --seconds "$seconds" --rounds "$rounds" --limit 600
    stop_server
    # A failover makes every grant durable before answering it: 4,000 PVMs is the site size it is judged at.
    if [ "$n" -le 4000 ]; then
        start_server
        run failover --server "127.0.0.1:$server_port" --pvms "$n" --limit 900 || true
        stop_server
        start_server
        run mixed --server "127.0.0.1:$server_port" --pvms "$n" --limit 900 || true
        stop_server
    fi
done

# The plot needs the Debian python, which has python3-matplotlib, whatever python3 comes first.
/usr/bin/python3 scripts/bench_report.py "$log" "$out/results.csv" "$out/performance.png"
