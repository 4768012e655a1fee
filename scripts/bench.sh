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
#        BENCH_SCENARIOS="failover mixed" scripts/bench.sh   (a subset of keepalive, failover, mixed)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh python3-matplotlib
scripts/build.sh release qsload dvreg echo_baseline dorvane
bin=build/release/bin
out=build/bench
mkdir -p "$out"
pvm_counts=${BENCH_PVMS:-4000 100000}
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-3}
scenarios=" ${BENCH_SCENARIOS:-keepalive failover mixed} "
# Long enough that no peer of the largest failover times out while it waits for its turn.
failover_instance_timeout=600000
max_instances=200000
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-bench-XXXXXX")
source scripts/local_server.sh

cleanup() {
    stop_started
    rm -rf "$work"
}
trap cleanup EXIT

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
    if [[ $scenarios == *" keepalive "* ]]; then
        start_server
        run keepalive --server "127.0.0.1:$server_port" --baseline "127.0.0.1:$baseline_port" --pvms "$n" \
            --seconds "$seconds" --rounds "$rounds" --limit 600
        stop_server
    fi
    # Every grant is made durable before it is answered.
    if [[ $scenarios == *" failover "* ]]; then
        start_server
        run failover --server "127.0.0.1:$server_port" --pvms "$n" --instance-timeout "$failover_instance_timeout" \
            --limit 900 || true
        stop_server
    fi
    # Keepalives at their interval during a failover: 4,000 PVMs is the site size it is judged at.
    if [[ $scenarios == *" mixed "* && $n -le 4000 ]]; then
        start_server
        run mixed --server "127.0.0.1:$server_port" --pvms "$n" --limit 900 || true
        stop_server
    fi
done

# The plot needs the Debian python, which has python3-matplotlib, whatever python3 comes first.
/usr/bin/python3 scripts/bench_report.py "$log" "$out/results.csv" "$out/performance.png"
