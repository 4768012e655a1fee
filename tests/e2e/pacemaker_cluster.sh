#!/usr/bin/env bash
# A one-node Pacemaker cluster on loopback runs the server through the
# resource agent: a peer is granted a quorum, the server is killed with
# SIGKILL, Pacemaker's monitor notices and starts it again, and the grant is
# back (the peer's partner is refused). Prints the time from the kill to the
# first answer of the new server.
#
# Runs in mount, network and process namespaces of its own, so the cluster's
# files, its loopback and every process it starts go when it ends. Exits 77
# when corosync and pacemaker are not installed or cannot run here.
# Usage: tests/e2e/pacemaker_cluster.sh BIN_FOLDER
set -euo pipefail

skip() {
    echo "skipped: $*"
    exit 77
}

if [ "${1:-}" != --inside ]; then
    bin=$(realpath "${1:?bin folder}")
    command -v corosync >/dev/null && command -v pacemakerd >/dev/null || skip "corosync and pacemaker are not installed"
    [ "$(id -u)" = 0 ] || skip "needs root"
    unshare -m -n -p -f --mount-proc true 2>/dev/null || skip "no namespaces here"
    agent=$(realpath "$(dirname "$0")/../../packaging/ocf/dorvane")
    exec unshare -m -n -p -f --mount-proc --propagation private "$0" --inside "$bin" "$agent"
fi

bin=$2
agent=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-cluster-XXXXXX")
trap 'rm -rf "$work"' EXIT
# What the cluster and the server said, when a check fails.
report() {
    crm_mon -1 || true
    grep -h -i "dorvane" /var/log/pacemaker/pacemaker.log 2>/dev/null | tail -n 30 || true
    echo "$*"
    exit 1
}
ip link set lo up
node=$(uname -n)

# The cluster's own folders, over the machine's, in this namespace only.
for folder in /run /dev/shm /var/lib/pacemaker /var/lib/corosync /var/log/pacemaker /usr/lib/ocf/resource.d/dorvane; do
    mkdir -p "$folder" 2>/dev/null || true
    mount -t tmpfs tmpfs "$folder"
done
mkdir -p /var/lib/pacemaker/cib /var/lib/pacemaker/pengine /var/lib/pacemaker/blackbox /var/lib/pacemaker/cores
chown -R hacluster:haclient /var/lib/pacemaker /var/log/pacemaker
install -m 0755 "$agent" /usr/lib/ocf/resource.d/dorvane/dorvane
cat >"$work/corosync.conf" <<EOF
totem {
    version: 2
    cluster_name: dorvane-test
    crypto_cipher: none
    crypto_hash: none
}
logging {
    to_stderr: yes
    to_logfile: no
    to_syslog: no
}
quorum {
    provider: corosync_votequorum
}
nodelist {
    node {
        name: $node
        nodeid: 1
        ring0_addr: 127.0.0.1
    }
}
EOF
mount --bind "$work/corosync.conf" /etc/corosync/corosync.conf

corosync -f >"$work/corosync.log" 2>&1 &
pacemakerd >"$work/pacemaker.log" 2>&1 &

# Polls a command every 0.1 s for up to $1 seconds.
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}
dc_elected() { crm_mon -1 2>/dev/null | grep -q "Current DC: $node"; }
wait_for 60 dc_elected || { cat "$work/corosync.log" "$work/pacemaker.log"; skip "the cluster did not form"; }

port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
state=$work/state
DORVANE_STATE_DIR=$state COMPUTERNAME=localhost "$bin/dorvane" -install "$port" >/dev/null
# One node and no fencing device: only in this test. A pair needs fencing.
crm_attribute -t crm_config -n stonith-enabled -v false
cibadmin -C -o resources -X "
<primitive id=\"dorvane\" class=\"ocf\" provider=\"dorvane\" type=\"dorvane\">
  <instance_attributes id=\"dorvane-params\">
    <nvpair id=\"dorvane-state_dir\" name=\"state_dir\" value=\"$state\"/>
    <nvpair id=\"dorvane-hostname\" name=\"hostname\" value=\"localhost\"/>
    <nvpair id=\"dorvane-port\" name=\"port\" value=\"$port\"/>
    <nvpair id=\"dorvane-binary\" name=\"binary\" value=\"$bin/dorvane\"/>
    <nvpair id=\"dorvane-qsctl\" name=\"qsctl\" value=\"$bin/qsctl\"/>
  </instance_attributes>
  <operations>
    <op id=\"dorvane-monitor\" name=\"monitor\" interval=\"1s\" timeout=\"10s\"/>
  </operations>
</primitive>"

qsctl() { "$bin/qsctl" "$@" --port "$port"; }
pvm=00010203-0405-0607-0809-0a0b0c0d0e0f
answers() { qsctl query-service localhost --timeout 100 --retries 0; }
started() { crm_mon -1 | grep -q "dorvane.*Started [^(]*$"; }
wait_for 60 started || report "Pacemaker did not start the server"
qsctl attach localhost $pvm 1 >/dev/null
qsctl acquire localhost $pvm 1 --window 0 >/dev/null

pidfile=$(ls /run/resource-agents/dorvane-*.pid)
first=$(cat "$pidfile")
kill -KILL "$first"
killed=$(date +%s.%N)
restarted() { [ "$(cat "$pidfile" 2>/dev/null)" != "$first" ] && answers; }
wait_for 60 restarted || report "Pacemaker did not restart the killed server"
back=$(date +%s.%N)

failures=0
qsctl attach localhost $pvm 1 >/dev/null
qsctl --json query-instance localhost $pvm | grep -q '"am1":{[^}]*"hold":true' || { echo "the grant was not restored"; failures=1; }
qsctl attach localhost $pvm 2 >/dev/null
set +e
qsctl acquire localhost $pvm 2 --window 0 >/dev/null
[ $? = 4 ] || { echo "the partner was not refused"; failures=1; }
set -e
wait_for 30 started || { crm_mon -1; echo "the resource is not started"; failures=1; }
python3 -c "import sys; print(f'recovery after SIGKILL: {float(sys.argv[2]) - float(sys.argv[1]):.2f} s (monitor every 1 s)')" "$killed" "$back"
exit $failures
