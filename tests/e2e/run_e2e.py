#!/usr/bin/env python3
"""Runs the end-to-end scenarios against the built program on each target
given, and the Kelbrook probe on Windows, and prints per target what passed.

Usage: run_e2e.py [--posix BUILD_DIR] [--wine BUILD_DIR] [--only TEXT]

The Windows build runs under Wine in a throw-away prefix. When Wine would see
a host name that resolves to anything but loopback, and whenever it can, the
whole run moves into its own UTS and network namespace, named localhost, with
only the loopback interface up: no datagram leaves the host.
"""
import argparse
import ipaddress
import os
import shutil
import socket
import subprocess
import sys
import time
import traceback

# The suite's modules are imported from the source tree, which stays clean.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scenarios import SCENARIOS, Session  # noqa: E402
from targets import PosixTarget, WineTarget  # noqa: E402
from wine_prefix import WinePrefix, unix_to_windows  # noqa: E402

ISOLATED = "DORVANE_E2E_ISOLATED"


def host_name_is_loopback_only():
    try:
        found = socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET)
    except socket.gaierror:
        return False
    return all(ipaddress.ip_address(entry[4][0]).is_loopback for entry in found)


def isolate_or_exit():
    """Re-runs this program in its own namespace when possible; otherwise
    insists that the host name is loopback only."""
    if os.environ.get(ISOLATED):
        return
    if shutil.which("unshare") and shutil.which("ip"):
        # As root the namespaces need no more; otherwise a user namespace maps us to root in them.
        for unshare in (["unshare", "-un"], ["unshare", "-run"]):
            if subprocess.run([*unshare, "true"], stderr=subprocess.DEVNULL).returncode == 0:
                wrapper = 'hostname localhost && ip link set lo up && exec "$@"'
                argv = [*unshare, "sh", "-c", wrapper, "sh", sys.executable, *sys.argv]
                os.execvpe("unshare", argv, dict(os.environ, **{ISOLATED: "1"}))
    if not host_name_is_loopback_only():
        sys.exit(f"{socket.gethostname()} resolves to a non-loopback address and no namespace can be made: "
                 "the Windows build is not run")


def run_scenarios(target, only):
    """Runs every scenario meant for the target; returns (passed names, failed names)."""
    passed, failed = [], []
    for name, function, on_wine in SCENARIOS:
        if only and only not in name:
            continue
        if isinstance(target, WineTarget) and not on_wine:
            continue
        session = Session(target)
        started = time.monotonic()
        try:
            function(session)
            passed.append(name)
            print(f"  ok    {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception as error:  # every failure is reported, then the next scenario runs
            failed.append(name)
            print(f"  FAIL  {name} ({time.monotonic() - started:.1f} s): {error}", flush=True)
            if not isinstance(error, AssertionError):
                traceback.print_exc()
            for program in session.programs:
                print(f"    --- output of {' '.join(program.argv[-2:])}:")
                print("\n".join("    " + line for line in program.lines[-40:]))
        finally:
            session.close()
    return passed, failed


def run_kelbrook_probe(build_dir, prefix):
    probe = os.path.join(build_dir, "tests", "e2e", "kelbrook_probe.exe")
    library = os.path.join(build_dir, "bin", "Kelbrook.dll")
    if not (os.path.exists(probe) and os.path.exists(library)):
        return None
    done = subprocess.run(["wine", unix_to_windows(probe), unix_to_windows(library)], env=prefix.env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    output = done.stdout.decode(errors="replace").strip()
    print(f"  {'ok  ' if done.returncode == 0 else 'FAIL'}  Kelbrook.dll through LoadLibraryA and "
          f"GetProcAddress: {output}", flush=True)
    return done.returncode == 0


def report(summaries):
    print("\nEnd-to-end results:")
    for target_name, passed, failed, not_run in summaries:
        line = f"  {target_name}: {len(passed)} of {len(passed) + len(failed)} passed"
        if not_run:
            line += f"; {not_run}"
        print(line)
        for name in failed:
            print(f"    failed: {name}")
    return all(not failed for _, _, failed, _ in summaries)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--posix", metavar="BUILD_DIR")
    parser.add_argument("--wine", metavar="BUILD_DIR")
    parser.add_argument("--only", metavar="TEXT", help="run only the scenarios whose name contains TEXT")
    args = parser.parse_args()
    if args.wine:
        isolate_or_exit()

    summaries = []
    if args.posix:
        target = PosixTarget(args.posix)
        print(f"== POSIX: {target.program}", flush=True)
        if target.available():
            passed, failed = run_scenarios(target, args.only)
            summaries.append(("POSIX", passed, failed, ""))
        else:
            summaries.append(("POSIX", [], [], "the program is not built yet"))
        target.close()

    if args.wine:
        print(f"== Windows under Wine: {args.wine}", flush=True)
        started = time.monotonic()
        prefix = WinePrefix()
        try:
            prefix.boot()
            print(f"  Wine prefix {prefix.path} ready in {time.monotonic() - started:.1f} s "
                  f"(host name {socket.gethostname()})", flush=True)
            passed, failed, not_run = [], [], ""
            probe = run_kelbrook_probe(args.wine, prefix) if not args.only else None
            if probe is not None:
                (passed if probe else failed).append("Kelbrook.dll exports under Wine")
            target = WineTarget(args.wine, prefix)
            if target.available():
                more_passed, more_failed = run_scenarios(target, args.only)
                passed += more_passed
                failed += more_failed
            else:
                not_run = "Dorvane.exe is not built yet"
            summaries.append(("Windows (Wine)", passed, failed, not_run))
        finally:
            killed = prefix.close()
            print(f"  Wine stopped: {killed} process(es) had to be killed by id after wineserver -k; "
                  f"{time.monotonic() - started:.1f} s in all", flush=True)

    sys.exit(0 if report(summaries) else 1)


if __name__ == "__main__":
    main()
