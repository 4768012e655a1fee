"""Finding the processes a run started by what they inherited from it, so that
each can be ended by its own process id, and nothing else is touched."""
import os
import signal


def processes_with_environment(name, value):
    """Process ids of the processes whose environment holds name=value."""
    marker = f"{name}={value}".encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            continue
    return found


def kill_each(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def process_tree(pid):
    """pid and every process below it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                # The parent follows the command name, which may hold spaces.
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
    tree = [pid]
    for member in tree:
        tree.extend(child for child, parent in parents.items() if parent == member)
    return tree


def udp_ports(pids):
    """The local ports of the IPv4 UDP sockets that the processes hold."""
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith("socket:["):
                    inodes.add(target[len("socket:["):-1])
        except OSError:
            continue
    ports = set()
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[9] in inodes:
                ports.add(int(fields[1].split(":")[1], 16))
    return sorted(ports)


def cpu_seconds(pids):
    """User and system time the processes have used so far, all their threads included."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            continue
    return total / os.sysconf("SC_CLK_TCK")
