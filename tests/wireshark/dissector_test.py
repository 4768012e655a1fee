#!/usr/bin/env python3
"""Decodes a capture of every Dorvane packet type with the Wireshark dissector
(tools/wireshark/dorvane.lua) through tshark and compares the decoded fields
with what the capture was built from. Exits 77 (skipped) when tshark is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import capture  # noqa: E402

SKIPPED = 77
DISSECTOR = Path(__file__).resolve().parents[2] / "tools" / "wireshark" / "dorvane.lua"


def decode(tshark, frames, fields, folder):
    pcap = folder / "capture.pcap"
    capture.write_pcap(pcap, frames)
    command = [tshark, "-n", "-2", "-X", f"lua_script:{DISSECTOR}",
               "-d", f"udp.port=={capture.OTHER_PORT},dorvane", "-r", str(pcap),
               "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|",
               "-E", "quote=n"]
    for field in fields:
        command += ["-e", field]
    # A private configuration folder keeps the user's preferences out of the result.
    environment = dict(os.environ, WIRESHARK_CONFIG_DIR=str(folder))
    return subprocess.run(command, capture_output=True, text=True, env=environment, timeout=120)


def main():
    tshark = shutil.which("tshark")
    if tshark is None:
        print("SKIPPED: tshark is not available (scripts/deps.sh installs Debian's tshark where it can)")
        return SKIPPED

    fields = sorted({name for *_, expected in capture.FRAMES for name in expected}
                    | {"_ws.col.Info", "_ws.expert.message"})
    with tempfile.TemporaryDirectory() as folder:
        result = decode(tshark, None, fields, Path(folder))
        if result.returncode != 0:
            print(f"tshark failed ({result.returncode}):\n{result.stderr}")
            print("If it names the dorvane fields as invalid, the Lua dissector did not load "
                  "(Lua missing from this tshark, or disabled for this user in init.lua).")
            return 1
        # Cut datagrams must each come out marked malformed, never as a script error.
        cut = decode(tshark, capture.prefixes(),
                     ["dorvane.short", "dorvane.length.mismatch", "_ws.expert.message"], Path(folder))

    failures = [f"tshark: {line}" for run in (result, cut)
                for line in run.stderr.splitlines() if "lua" in line.lower()]
    if len(cut.stdout.splitlines()) != len(capture.prefixes()):
        failures.append(f"{len(cut.stdout.splitlines())} cut datagrams decoded, "
                        f"{len(capture.prefixes())} written (tshark {cut.returncode})")
    for number, line in enumerate(cut.stdout.splitlines(), start=1):
        if "Lua Error" in line or "1" not in line.split("\t")[:2]:
            failures.append(f"cut datagram {number}: {line!r}")

    rows = [line.split("\t") for line in result.stdout.splitlines()]
    if len(rows) != len(capture.FRAMES):
        failures.append(f"{len(rows)} frames decoded, {len(capture.FRAMES)} written")
    checked = 0
    for number, (row, (*_, expected)) in enumerate(zip(rows, capture.FRAMES), start=1):
        decoded = dict(zip(fields, row))
        if "Lua Error" in decoded["_ws.expert.message"]:
            failures.append(f"frame {number}: {decoded['_ws.expert.message']}")
        for field, value in expected.items():
            checked += 1
            if decoded[field] != value:
                failures.append(f"frame {number} {field}: expected {value!r}, decoded {decoded[field]!r}")

    for failure in failures:
        print(failure)
    if failures:
        return 1
    print(f"{len(rows)} frames, {checked} fields decoded as expected; "
          f"{len(cut.stdout.splitlines())} cut datagrams marked malformed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
