#!/usr/bin/env python3
"""The soak command's report: memory and descriptors of the server over the run
(first, last, max, growth after the warm-up), what the load generator counted,
and a verdict. Exit status 0 when flat and the load ran clean, 1 otherwise.

Usage: soak_report.py samples.csv qsload.log qsload-exit-status
"""
import csv
import re
import sys

# Growth after the warm-up that still counts as flat: allocator slack, not a leak.
RSS_SLACK_KIB = 2048
RSS_SLACK_FRACTION = 0.05


def main():
    samples_path, log_path, load_status = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(samples_path) as f:
        rows = [(int(r["seconds"]), int(r["rss_kib"]), int(r["fds"])) for r in csv.DictReader(f)]
    if len(rows) < 3:
        print("soak: too few samples for a verdict")
        return 1
    # The first fifth of the run fills the tables: the warm-up. What follows is
    # judged by comparing the fifth right after it with the last fifth. The
    # server opens registry files for a moment at each grant, so descriptors
    # are judged by their floor, memory by its peak.
    fifth = max(1, len(rows) // 5)
    early = rows[fifth:2 * fifth]
    late = rows[-fifth:]
    rss = [r[1] for r in rows]
    fds = [r[2] for r in rows]
    rss_growth = max(r[1] for r in late) - max(r[1] for r in early)
    fd_growth = min(r[2] for r in late) - min(r[2] for r in early)
    print(f"samples: {len(rows)} over {rows[-1][0]} s; warm-up ends at {early[0][0]} s")
    print(f"RSS KiB: first {rss[0]}, after warm-up {early[0][1]}, last {rss[-1]}, max {max(rss)}; "
          f"growth after warm-up {rss_growth} KiB")
    print(f"open descriptors: first {fds[0]}, after warm-up {early[0][2]}, last {fds[-1]}, max {max(fds)}; "
          f"growth after warm-up {fd_growth}")

    with open(log_path) as f:
        log = f.read()
    keepalive = re.findall(r"^RESULT scenario=mixed-keepalive (.*)$", log, re.M)
    fields = dict(kv.split("=", 1) for kv in keepalive[-1].split()) if keepalive else {}
    decisions = re.findall(r"^RESULT scenario=mixed (.*)$", log, re.M)
    judged = dict(kv.split("=", 1) for kv in decisions[-1].split()) if decisions else {}
    print(f"load: cycles {fields.get('cycles', '?')}, grants {fields.get('grants', '?')}, "
          f"releases refused {fields.get('release_failures', '?')}, keepalives {fields.get('sent', '?')} "
          f"(lost {fields.get('lost', '?')}), peers timed out {fields.get('timed_out_peers', '?')}, "
          f"unanswered acquires {judged.get('unanswered', '?')}, not one winner {judged.get('not_one_winner', '?')}; "
          f"qsload exit status {load_status}")

    flat = rss_growth <= max(RSS_SLACK_KIB, RSS_SLACK_FRACTION * max(r[1] for r in early)) and fd_growth <= 0
    clean = load_status == 0 and bool(fields)
    print("verdict: " + ("flat" if flat else "NOT flat") + (", load clean" if clean else ", load NOT clean"))
    return 0 if flat and clean else 1


if __name__ == "__main__":
    sys.exit(main())
