# Shell functions of the benchmark and soak commands (sourced, not run): the
# dorvane program installed with its port into a temporary state folder, its
# host name pinned to 127.0.0.1, MaxInstanceNum raised, and run in console mode
# at the errors level on a free loopback port.
#
# The caller sets bin (the build's bin folder), out (where the logs go), work
# (a temporary folder it removes) and max_instances, may set
# server_extra_values (more lines of the Parameters value file), and calls
# stop_started when it ends, normally or not.

started=()

# Stops every process started through these functions or added to "started":
# Ctrl+C first, as an operator stops console mode, then SIGKILL for whatever
# is still running ten seconds later.
stop_started() {
    local pid
    for pid in "${started[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for _ in $(seq 100); do
        local running=0
        for pid in "${started[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
        [ "$running" = 0 ] && break
        sleep 0.1
    done
    for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
    started=()
}

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

# Installs and starts a fresh server in a state folder of its own; sets
# server_pid and server_port.
start_server() {
    server_port=$(free_port)
    local state="$work/state-$server_port"
    mkdir -p "$state"
    echo "127.0.0.1 DVBENCH" >"$state/hosts"
    export DORVANE_STATE_DIR="$state" DORVANE_HOSTS="$state/hosts" COMPUTERNAME=DVBENCH
    "$bin/dorvane" -install "$server_port" >"$out/install.log" 2>&1
    "$bin/dvreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\Dorvane\Parameters' /v MaxInstanceNum \
        /t REG_DWORD /d "$max_instances" /f >>"$out/install.log"
    # A further value of the Parameters key: the AllowedPeers list, its entries separated by \0.
    if [ -n "${server_allowed_peers:-}" ]; then
        "$bin/dvreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\Dorvane\Parameters' /v AllowedPeers \
            /t REG_MULTI_SZ /d "$server_allowed_peers" /f >>"$out/install.log"
    fi
    "$bin/dorvane" -debug_errors >"$out/server-$server_port.log" 2>&1 &
    server_pid=$!
    started+=("$server_pid")
    wait_bound "$server_port"
}

# Starts the server again in the state folder and on the port of the last
# start_server, with whatever holders it persisted; prints one RESULT line with
# the time from its start until it answers QUERY_SERVICE and its CPU by then.
restart_server() {
    local holders=$1 begin end ticks
    begin=$(date +%s%N)
    "$bin/dorvane" -debug_errors >>"$out/server-$server_port.log" 2>&1 &
    server_pid=$!
    started+=("$server_pid")
    # Exit 1 is no answer yet; anything else is an error of its own.
    local asked=1
    while [ "$asked" = 1 ]; do
        kill -0 "$server_pid" 2>/dev/null || { echo "the server ended during its start" >&2; return 1; }
        asked=0
        "$bin/qsctl" query-service 127.0.0.1 --port "$server_port" --timeout 50 --retries 0 >/dev/null 2>&1 || asked=$?
    done
    [ "$asked" = 0 ] || { echo "qsctl query-service failed with $asked" >&2; return 1; }
    end=$(date +%s%N)
    ticks=$(awk '{print $14 + $15}' "/proc/$server_pid/stat")
    python3 -c 'import sys; wall, ticks, hz, n = map(float, sys.argv[1:4] + sys.argv[4:5]); print(f"RESULT load={sys.argv[5]} scenario=restart pvms={int(n)} holders={int(n)} start_seconds={wall:.3f} server_cpu_seconds={ticks / hz:.3f}")' \
        "$(( (end - begin) / 1000000 ))e-3" "$ticks" "$(getconf CLK_TCK)" "$holders" "$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' ,)"
}

# Ctrl+C, as an operator stops console mode.
stop_server() {
    kill -INT "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    local kept=()
    local pid
    for pid in "${started[@]}"; do [ "$pid" = "$server_pid" ] || kept+=("$pid"); done
    started=("${kept[@]}")
}
