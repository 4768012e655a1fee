#!/usr/bin/env python3
"""Turns the RESULT lines of a benchmark run (scripts/bench.sh) into one table,
a CSV file and a plot of throughput and p99 latency against the number of PVMs.

Usage: scripts/bench_report.py QSLOAD_LOG RESULTS_CSV PLOT_PNG
"""
import csv
import sys


def results(path):
    for line in open(path):
        if line.startswith("RESULT "):
            yield dict(field.split("=", 1) for field in line.split()[1:])


def table(rows):
    """One line per measurement, in the order they were taken."""
    lines = ["| PVMs | measurement | baseline | server | server/baseline | load average |",
             "|---:|---|---:|---:|---:|---|"]

    def add(r, what, base, server, ratio=""):
        if "allowed_peers" in r:
            what += f", AllowedPeers of {int(r['allowed_peers']):,} entries"
        lines.append(f"| {r['pvms']} | {what} | {base} | {server} | {ratio} | {r['load'].replace(',', ' ')} |")

    by_key = {}
    for r in rows:
        by_key[(r["pvms"], r["scenario"], r.get("mode"), r.get("target"), r.get("allowed_peers"))] = r
    for r in rows:
        n, s, mode = r["pvms"], r["scenario"], r.get("mode")
        if s == "attach" and (n, "attach") not in by_key:
            by_key[(n, "attach")] = r
            add(r, f"attach {int(r['peers']):,} peers: time to last ACK", "",
                f"{float(r['seconds']):.2f} s")
            add(r, "server memory per PVM record (RSS growth / PVMs)", "", f"{r['bytes_per_pvm']} B")
            add(r, "server RSS before / after attach", "", f"{r['rss_before_kib']} / {r['rss_after_kib']} KiB")
        elif s == "keepalive" and mode in ("closed", "open") and r["target"] == "server":
            base = by_key.get((n, s, mode, "baseline", r.get("allowed_peers")))
            label = "closed loop" if mode == "closed" else f"offered {float(r['rate']):,.0f} req/s"
            b_rps = f"{float(base['rps']):,.0f}" if base else ""
            ratio = f"{float(r['rps']) / float(base['rps']):.0%}" if base and float(base["rps"]) else ""
            add(r, f"keepalive req/s, {label}", b_rps, f"{float(r['rps']):,.0f}", ratio if mode == "closed" else "")
            for q in ("p50", "p99", "p999", "max"):
                b = base[f"{q}_us"] if base else ""
                ratio = f"{int(r[f'{q}_us']) / int(b):.2f}x" if b and int(b) else ""
                add(r, f"keepalive {q.replace('p999', 'p99.9')} latency (us), {label}", b, r[f"{q}_us"], ratio)
            add(r, f"keepalive lost replies, {label}", base["lost"] if base else "", r["lost"])
            cpu = lambda row: f"{float(row['cpu']):.0%}" if row and float(row["cpu"]) >= 0 else ""
            add(r, f"CPU of one core, {label}", cpu(base), cpu(r))
        elif s == "failover":
            ok = r["unanswered"] == "0" and r["not_one_winner"] == "0"
            add(r, "failover: last grant answered after", "", f"{float(r['seconds']):.2f} s")
            add(r, "failover: server CPU", "", f"{float(r['cpu_s']):.2f} s")
            add(r, "failover: every PVM answered, exactly one winner", "", "yes" if ok else "NO")
            add(r, "failover: PVMs decided by the quorum timeout (partner's request late)", "", r["timeout_decided"])
        elif s == "mixed-keepalive":
            add(r, "mixed: peers timed out while sending keepalives", "", r["timed_out_peers"])
            add(r, "mixed: keepalive p99 / max latency (us) during the failover", "",
                f"{r['p99_us']} / {r['max_us']}")
        elif s == "restart":
            add(r, f"start with {r['holders']} persisted holders: QUERY_SERVICE answered after (server CPU)", "",
                f"{float(r['start_seconds']):.2f} s ({float(r['server_cpu_seconds']):.2f} s)")
        elif s == "mixed":
            add(r, "mixed: last grant answered after", "", f"{float(r['seconds']):.2f} s")
            add(r, "mixed: server CPU over the whole run", "", f"{float(r['cpu_s']):.2f} s")
    return "\n".join(lines)


def curves(rows):
    """Closed-loop throughput and open-loop p99 per target and number of PVMs."""
    points = {}
    for r in rows:
        if r["scenario"] != "keepalive" or r.get("mode") not in ("closed", "open") or "allowed_peers" in r:
            continue
        p = points.setdefault((int(r["pvms"]), r["target"]), {})
        if r["mode"] == "closed":
            p["rps"] = float(r["rps"])
        else:
            p["p99_us"] = int(r["p99_us"])
            p["rate"] = float(r["rate"])
    return points


def main():
    log, csv_path, png_path = sys.argv[1:4]
    rows = list(results(log))
    print(table(rows))
    points = curves(rows)
    with open(csv_path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["pvms", "target", "closed_loop_rps", "open_loop_rate", "open_loop_p99_us"])
        for (n, target), p in sorted(points.items()):
            w.writerow([n, target, p.get("rps", ""), p.get("rate", ""), p.get("p99_us", "")])
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no plot", file=sys.stderr)
        return
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 7), sharex=True)
    for target, style in (("baseline", "o--"), ("server", "s-")):
        xs = sorted(n for (n, t) in points if t == target)
        top.plot(xs, [points[(n, target)].get("rps", 0) for n in xs], style, label=target)
        bottom.plot(xs, [points[(n, target)].get("p99_us", 0) / 1000 for n in xs], style, label=target)
    top.set_ylabel("keepalive requests/s (closed loop)")
    bottom.set_ylabel("p99 latency, ms (same offered load)")
    bottom.set_xlabel("PVMs (two AMs each)")
    bottom.set_xscale("log")
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        ax.legend()
        ax.set_ylim(bottom=0)
    fig.suptitle("Quorum server against the echo baseline of its loop")
    fig.tight_layout()
    fig.savefig(png_path, dpi=100)
    print(f"plot: {png_path}")


if __name__ == "__main__":
    main()
