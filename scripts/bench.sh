#!/usr/bin/env bash
# The benchmark command (not part of the test command): builds the release
# flavour, starts the echo baseline and the quorum server (the dorvane program
# installed with its port into a temporary state folder, MaxInstanceNum raised,
# run in console mode at the errors level) on free loopback ports, runs the load
# generator's scenarios at each number of PVMs, prints one table, and writes
# build/bench/results.csv and build/bench/performance.png.
#
# At 4,000 PVMs and fewer the keepalive scenario runs a second time with an
# AllowedPeers list of BENCH_ALLOWED_PEERS entries (default 4,096; 0 skips it).
#
# Usage: scripts/bench.sh            (4,000 and 100,000 PVMs)
#        BENCH_PVMS="4000 20000 100000" BENCH_SECONDS=5 BENCH_ROUNDS=3 scripts/bench.sh
#        BENCH_SCENARIOS="failover mixed" scripts/bench.sh   (a subset of keepalive, failover, mixed)
#
# After each failover the server is started again on its state folder, which
# then holds a grant for every PVM: the time until it answers QUERY_SERVICE is
# that of a start that restores as many holders.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh python3-matplotlib
scripts/build.sh release qsload qsctl dvreg echo_baseline dorvane
bin=build/release/bin
out=build/bench
mkdir -p "$out"
pvm_counts=${BENCH_PVMS:-4000 100000}
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-3}
scenarios=" ${BENCH_SCENARIOS:-keepalive failover mixed} "
# Long enough that no peer of the largest failover times out while it waits for its turn.
failover_instance_timeout=600000
allowed_peers=${BENCH_ALLOWED_PEERS:-4096}
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
# Every RESULT line gets the load average and, with a list, allowed_peers=<entries>.
run() {
    local load tag=""
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    if [ -n "${server_allowed_peers:-}" ]; then tag="allowed_peers=$allowed_peers "; fi
    echo "== $* (load average $load${tag:+, $tag})" | tee -a "$log"
    "$bin/qsload" "$@" --pid "$server_pid" | sed "s/^RESULT /RESULT load=${load// /,} $tag/" | tee -a "$log" |
        grep -v '^RESULT'
}

# The AllowedPeers list as dvreg's REG_MULTI_SZ data: 127.0.0.1, where the load
# comes from, among single addresses and /31 blocks of which no two merge.
# A list that does not parse fails the server's start, and with it the run.
allowed_peers_list() {
    python3 -c '
import sys
n = int(sys.argv[1])
half = n // 2
entries = ["127.0.0.1"]
entries += [f"10.{i // 256}.{i % 256}.{2 * (i % 100)}" for i in range(half)]
entries += [f"192.168.{i // 64}.{4 * (i % 64)}/31" for i in range(n - 1 - half)]
print("\\0".join(entries))
' "$1"
}

for n in $pvm_counts; do
    if [[ $scenarios == *" keepalive "* ]]; then
        start_server
        run keepalive --server "127.0.0.1:$server_port" --baseline "127.0.0.1:$baseline_port" --pvms "$n" \
            --seconds "$seconds" --rounds "$rounds" --limit 600
        stop_server
        if [ "$n" -le 4000 ] && [ "$allowed_peers" -gt 0 ]; then
            server_allowed_peers=$(allowed_peers_list "$allowed_peers")
            start_server
            run keepalive --server "127.0.0.1:$server_port" --baseline "127.0.0.1:$baseline_port" --pvms "$n" \
                --seconds "$seconds" --rounds "$rounds" --limit 600
            stop_server
            server_allowed_peers=
        fi
    fi
    # Every grant is made durable before it is answered.
    if [[ $scenarios == *" failover "* ]]; then
        start_server
        run failover --server "127.0.0.1:$server_port" --pvms "$n" --instance-timeout "$failover_instance_timeout" \
            --limit 900 || true
        stop_server
        # The same state folder, now with a holder for every PVM, started again.
        restart_server "$n" >"$out/restart.log"
        tee -a "$log" <"$out/restart.log"
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
