"""Pieces shared by the side-by-side benchmarks (peer_bench.py, million_bench.py):
memory readings, the one-query-per-call ef sweep, recall, QPS at a recall,
the machine description and the recall-vs-QPS plot."""

import contextlib
import gc
import io
import json
import os
import platform
import sys
import time

import numpy as np

K = 10
TARGETS = (0.95, 0.99)


# ---------------------------------------------------------------- memory


def status_bytes(field):
    """A size field of /proc/self/status (VmRSS, VmHWM, RssAnon, ...) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    gc.collect()
    return rss_bytes()


def reset_peak():
    """Resets the kernel's peak resident size (VmHWM) to the current one;
    False where /proc/self/clear_refs is not writable."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes():
    """Peak resident bytes since the last reset_peak (or since start)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# ---------------------------------------------------------------- search sweep


def latencies_summary(ns):
    us = np.asarray(ns, dtype=np.float64) / 1e3
    return float(np.percentile(us, 50)), float(np.percentile(us, 99))


def recall_at_k(found, gt):
    hit = sum(len(set(f[:K]) & set(g[:K].tolist())) for f, g in zip(found, gt))
    return hit / (K * len(gt))


def timed_pass(call, rows, results):
    """One query per call over `rows`, each result into `results`: (wall seconds, latencies in ns)."""
    clock = time.perf_counter_ns
    lat = np.empty(len(rows), dtype=np.int64)
    t0 = time.perf_counter()
    for i, q in enumerate(rows):
        a = clock()
        results[i] = call(q)
        lat[i] = clock() - a
    return time.perf_counter() - t0, lat


def single_sweep(runner, queries, gt, efs, runs):
    """One query per call: recall@10, QPS, p50, p99 per ef (fastest of `runs` passes).
    `runner` has .name, .query_fn(ef) -> call(q) and .to_indices(result)."""
    faiss_rows = runner.name.startswith("faiss")
    rows = [q.reshape(1, -1) for q in queries] if faiss_rows else list(queries)
    out = []
    for ef in efs:
        call = runner.query_fn(ef)
        for q in rows[:50]:  # warm-up, untimed
            call(q)
        results = [None] * len(rows)
        wall, lat = None, None
        for _ in range(runs):  # the fastest pass counts: other processes share the machine
            pass_wall, pass_lat = timed_pass(call, rows, results)
            if wall is None or pass_wall < wall:
                wall, lat = pass_wall, pass_lat
        recall = recall_at_k([runner.to_indices(r) for r in results], gt)
        p50, p99 = latencies_summary(lat)
        out.append({"ef": ef, "recall": recall, "qps": len(rows) / wall, "p50_us": p50, "p99_us": p99})
        print(f"    [{runner.name}] ef {ef:4d}: recall@10 {recall:.4f}  {len(rows) / wall:9,.0f} q/s  "
              f"p50 {p50:7.1f} us  p99 {p99:7.1f} us", file=sys.stderr, flush=True)
    return out


def qps_at(sweep, target):
    """QPS at a recall, linear in recall between the bracketing ef points
    (taken in ef order); the first point's QPS if it already reaches it."""
    pts = [(p["recall"], p["qps"]) for p in sorted(sweep, key=lambda p: p["ef"])]
    for i, (r, q) in enumerate(pts):
        if r >= target:
            if i == 0:
                return q
            r0, q0 = pts[i - 1]
            return q0 + (q - q0) * (target - r0) / (r - r0)
    return None


# ---------------------------------------------------------------- report


def chosen_systems(text, known):
    """The comma-separated system names of --systems; exits naming an unknown one."""
    systems = [s.strip() for s in text.split(",") if s.strip()]
    for s in systems:
        if s not in known:
            sys.exit(f"unknown system {s}; choose from {', '.join(known)}")
    return systems


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gib": round(mem / 2**30, 1),
            "python": platform.python_version(), "os": platform.platform()}


def fmt(x, pattern=",.0f"):
    return "n/a" if x is None else format(x, pattern)


def ratio(x, y):
    return "n/a" if x is None or y is None or y == 0 else f"{x / y:.2f}"


def plot_sweeps(curves, title, path):
    """curves: (label, sweep, dashed) triples; recall@10 against log QPS."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5))
    for name, sweep, dashed in curves:
        sw = sorted(sweep, key=lambda p: p["ef"])
        ax.plot([p["recall"] for p in sw], [p["qps"] for p in sw], marker="o", markersize=3,
                linestyle="--" if dashed else "-", label=name)
    for t in TARGETS:
        ax.axvline(t, color="grey", linewidth=0.6, linestyle=":")
    ax.set_yscale("log")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries/s (log)")
    ax.set_title(title, fontsize=9)
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_report(prefix, info, render, results):
    """Runs `render` (which prints Markdown) into PREFIX.md under the command line and dumps
    {info, results} to PREFIX.json; a complete run's report goes to stdout too."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        render()
    if info["complete"]:
        print(text.getvalue(), end="")
    prefix.parent.mkdir(parents=True, exist_ok=True)
    prefix.with_suffix(".md").write_text(f"Command: `{info['command']}`\n\n" + text.getvalue())
    with open(prefix.with_suffix(".json"), "w") as f:
        json.dump({"info": info, "results": results}, f, indent=1)
