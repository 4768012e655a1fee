"""How the program is run on each target: the POSIX build directly, the
Windows build under Wine. Both are driven the same way: the command line,
the console output, signals, and the UDP port on loopback."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from processes import kill_each, process_tree, processes_with_environment
from wine_prefix import WinePrefix, unix_to_windows

COMMAND_TIMEOUT = 120


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    """One running instance of the program with its console output collected."""

    def __init__(self, argv, env):
        self.argv = argv
        self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.lines = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            with self._changed:
                self.lines.append(raw.decode(errors="replace").rstrip("\r\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    @property
    def output(self):
        with self._changed:
            return "\n".join(self.lines)

    def wait_for_line(self, pattern, timeout=10):
        """The first output line matching pattern; None when it did not come in time."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines:
                    if regex.search(line):
                        return line
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not self._reader.is_alive():
                    return None
                self._changed.wait(remaining)

    def signal(self, number):
        if self.process.poll() is None:
            self.process.send_signal(number)

    def wait(self, timeout=20):
        """The exit code, or None when the program is still running after timeout."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self._reader.join(5)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.wait()


class Target:
    """What the suite needs from a target; subclasses say how to run the program."""
    name = ""
    service_without_arguments = True   # started from a console without arguments, it says so at once
    port_free_after_kill = True        # a program killed by SIGKILL leaves its port free

    def __init__(self, build_dir):
        self.build_dir = build_dir

    def argv(self, *args):
        raise NotImplementedError

    def env(self):
        raise NotImplementedError

    def available(self):
        raise NotImplementedError

    def fresh_state(self):
        """Forget every installation: each scenario starts from nothing."""

    def run(self, *args, timeout=COMMAND_TIMEOUT):
        done = subprocess.run(self.argv(*args), env=self.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return done.returncode, done.stdout.decode(errors="replace").replace("\r\n", "\n")

    def start(self, *args):
        return Program(self.argv(*args), self.env())

    def processes_of(self, program):
        """The processes that hold the program's sockets and run its code."""
        return process_tree(program.process.pid)

    # Whether the registry's flush can be held from outside (the POSIX fault switch's hold file).
    can_hold_flush = False

    def hold_flush(self, held):
        raise NotImplementedError

    def close(self):
        pass


class PosixTarget(Target):
    name = "POSIX"
    host_name = "DVE2E"

    def __init__(self, build_dir):
        super().__init__(build_dir)
        self.program = os.path.join(build_dir, "bin", "dorvane")
        self.state_dir = None
        self.fresh_state()

    def available(self):
        return os.access(self.program, os.X_OK)

    def fresh_state(self):
        if self.state_dir:
            self._end_leftovers()
            shutil.rmtree(self.state_dir, ignore_errors=True)
        self.state_dir = tempfile.mkdtemp(prefix="dorvane-e2e-")
        # The host's addresses are pinned to loopback: nothing binds elsewhere.
        self.hosts = os.path.join(self.state_dir, "hosts")
        with open(self.hosts, "w") as f:
            f.write(f"127.0.0.1 {self.host_name}\n")

    def argv(self, *args):
        return [self.program, *args]

    can_hold_flush = True

    def env(self):
        # Inert until the hold file exists.
        return dict(os.environ, DORVANE_STATE_DIR=os.path.join(self.state_dir, "state"),
                    COMPUTERNAME=self.host_name, DORVANE_HOSTS=self.hosts, DORVANE_FAULTS="reg_flush:hold")

    def hold_flush(self, held):
        hold = os.path.join(self.state_dir, "state", "hold.reg_flush")
        if held:
            open(hold, "w").close()
        elif os.path.exists(hold):
            os.remove(hold)

    def _end_leftovers(self):
        """A service a failed scenario left running is ended by its process id."""
        kill_each(processes_with_environment("DORVANE_STATE_DIR", os.path.join(self.state_dir, "state")))

    def close(self):
        self._end_leftovers()
        shutil.rmtree(self.state_dir, ignore_errors=True)


class WineTarget(Target):
    name = "Windows (Wine)"
    # From a console the service dispatcher takes about 10 s to fail under Wine.
    service_without_arguments = False
    # wineserver can keep the address of a program killed soon after it bound
    # its socket, and then refuses it to the next bind (10048).
    port_free_after_kill = False

    def __init__(self, build_dir, prefix: WinePrefix):
        super().__init__(build_dir)
        self.program = os.path.join(build_dir, "bin", "Dorvane.exe")
        self.prefix = prefix

    def available(self):
        return os.path.exists(self.program)

    def fresh_state(self):
        # One prefix serves all scenarios: each removes its service at the
        # end and uses its own port and PVM IDs.
        pass

    def argv(self, *args):
        return ["wine", unix_to_windows(self.program), *args]

    def env(self):
        return self.prefix.env

    def processes_of(self, program):
        # The prefix's wineserver holds every socket of its programs too.
        return sorted(set(process_tree(program.process.pid)) | set(self.prefix.processes()))


def interrupt(program):
    """Ctrl+C, as the console delivers it."""
    program.signal(signal.SIGINT)
