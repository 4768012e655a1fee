"""A throw-away Wine prefix in a temporary folder: headless, quiet, and taken
down at the end together with every Wine process that ran in it, each ended by
its own process id."""
import os
import shutil
import subprocess
import tempfile
import time

from processes import kill_each, processes_with_environment


def unix_to_windows(path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WinePrefix:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="dorvane-wine-")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update(
            WINEPREFIX=self.path,
            WINEDEBUG="-all",
            # No Mono or Gecko installers, no desktop menu entries, no window.
            WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
            DISPLAY="",
        )

    def boot(self):
        # A persistent wineserver keeps services running between the
        # program's own commands (install, start, stop, remove).
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # The first program run in a new prefix initialises it (wineboot) and
        # waits for that. An explicit "wineboot -i" on top would boot a second
        # time and leave two service managers answering on the same pipe.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, check=True, timeout=180,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def processes(self):
        """Process ids of every process that runs in this prefix."""
        return processes_with_environment("WINEPREFIX", self.path)

    def close(self):
        """Ends the prefix's wineserver and every process it ran; returns how
        many had to be killed one by one after the server's own shutdown."""
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        deadline = time.monotonic() + 10
        while self.processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        leftovers = self.processes()
        kill_each(leftovers)
        shutil.rmtree(self.path, ignore_errors=True)
        return len(leftovers)
