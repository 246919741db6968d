"""Collections walked on 8-, 2- and 1-bit codes (create_collection(walk_bits=...)) on real embeddings:
recall@10 and queries/s per ef, and where the bytes of a compacted, reopened collection live.

For each walk_bits value, one pinned child process builds a persistent collection of the set's
embeddings (empty texts, cosine, m 16, ef_construction 200, one thread) and compacts it; a
second, fresh child opens the directory and reports
  open s                 wall time of the open (the snapshot is mapped, not copied)
  anon B/doc             the process's private memory after the open, less before it
  walked B/doc           resident pages of the graph's blocks (what walks read) after the sweep
  re-score B/doc         resident pages of the 8-bit value rows (format 4 only; format 3 keeps
                         them inside the blocks) after the sweep
and then runs the held-out queries through batch_search (one thread, k 10) at every ef:
recall@10 against the set's exact neighbours, and queries/s (best of --runs passes).

Mapped pages are the file's cached pages: the kernel can drop the value rows under memory
pressure and read them again when a search re-scores them; the blocks are read by every walk.

    python3 bench/walk_codes_bench.py [--data bench/data/wordnet384.npz] [--bits 8,2,1]
        [--ef 10,16,24,32,48,64,96] [--runs 3] [--cpu 1]

The data file is an .npz with 'base', 'queries' and 'gt' (indices of each query's exact
neighbours, best first), as bench/make_embedding_dataset.py writes. Writes
bench/results/walk_codes_<name>.{md,json,png} (the plot needs matplotlib).
"""

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_common import status_bytes

HERE = Path(__file__).resolve().parent
RESULTS_DIR = HERE / "results"
M = 16
EF_CONSTRUCTION = 200
BATCH = 1000


def file_mappings(path_part):
    """Resident bytes of each mapping whose file name contains path_part, in address order."""
    out = []
    current = None
    with open("/proc/self/smaps") as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5 and not fields[0].endswith(":"):
                name = fields[5] if len(fields) > 5 else ""
                current = {"offset": int(fields[2], 16), "rss": 0} if path_part in name else None
                if current is not None:
                    out.append(current)
            elif current is not None and fields[0] == "Rss:":
                current["rss"] = int(fields[1]) * 1024
    return sorted(out, key=lambda m: m["offset"])


def build(a):
    from karvalith import Karvalith

    base = np.load(a.data)["base"]
    db = Karvalith(a.dir, auto_checkpoint_bytes=0, auto_checkpoint_records=0)
    db.create_collection("bench", base.shape[1], m=M, ef_construction=EF_CONSTRUCTION, distance_metric="cosine",
                         walk_bits=a.bits)
    t0 = time.perf_counter()
    ids = []
    for first in range(0, len(base), BATCH):
        ids += db.batch_insert("bench", [{"text": "", "embedding": base[i]}
                                         for i in range(first, min(first + BATCH, len(base)))], num_threads=1)
    seconds = time.perf_counter() - t0
    t0 = time.perf_counter()
    db.compact()
    compact = time.perf_counter() - t0
    db.close()
    with open(os.path.join(a.dir, "ids.json"), "w") as f:
        json.dump(ids, f)
    return {"build_seconds": seconds, "compact_seconds": compact}


def sweep(a):
    from karvalith import Karvalith

    data = np.load(a.data)
    n = len(data["base"])
    queries = np.ascontiguousarray(data["queries"], dtype=np.float32)
    gt = data["gt"][:, :10]
    with open(os.path.join(a.dir, "ids.json")) as f:
        position = {doc_id: i for i, doc_id in enumerate(json.load(f))}
    del data
    anon0 = status_bytes("RssAnon")
    t0 = time.perf_counter()
    db = Karvalith(a.dir)
    res = {"open_seconds": time.perf_counter() - t0, "n": n}
    res["anon_after_open_per_doc"] = (status_bytes("RssAnon") - anon0) / n
    rows = []
    for ef in a.ef:
        best = float("inf")
        for _ in range(a.runs):
            t0 = time.perf_counter()
            found = db.batch_search("bench", queries, k=10, ef=ef, num_threads=1)
            best = min(best, time.perf_counter() - t0)
        hits = sum(len({position[h.id] for h in hs} & set(truth)) for hs, truth in zip(found, gt.tolist()))
        rows.append({"ef": ef, "recall": hits / (10 * len(queries)), "qps": len(queries) / best})
    res["sweep"] = rows
    del found
    gc.collect()
    maps = file_mappings(os.path.basename(a.dir.rstrip("/")))
    res["mappings"] = maps
    res["walked_per_doc"] = (maps[0]["rss"] if maps else 0) / n
    res["rescore_per_doc"] = (maps[1]["rss"] if len(maps) > 1 else 0) / n
    res["anon_after_sweep_per_doc"] = (status_bytes("RssAnon") - anon0) / n
    db.close()
    return res


def run_child(a, step, bits, directory):
    cmd = ["taskset", "-c", a.cpu, sys.executable, __file__, "--step", step, "--bits", str(bits), "--dir", directory,
           "--data", a.data, "--ef", ",".join(map(str, a.ef)), "--runs", str(a.runs)]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def report(results, name, load):
    lines = [f"Collections of `{name}` walked on 8-, 2- and 1-bit codes (load {load[0]:.1f}-{load[1]:.1f}).", "",
             "| walk bits | build s | compact s | open s | anon B/doc | walked B/doc | re-score B/doc |",
             "|---|---|---|---|---|---|---|"]
    for bits, r in results.items():
        lines.append(f"| {bits} | {r['build_seconds']:.1f} | {r['compact_seconds']:.2f} | {r['open_seconds']:.3f} "
                     f"| {r['anon_after_sweep_per_doc']:.0f} | {r['walked_per_doc']:.0f} "
                     f"| {r['rescore_per_doc']:.0f} |")
    lines += ["", "| ef | " + " | ".join(f"{b}-bit recall@10 | {b}-bit q/s" for b in results) + " |",
              "|---|" + "---|---|" * len(results)]
    for i, ef in enumerate(next(iter(results.values()))["sweep"]):
        cells = []
        for r in results.values():
            row = r["sweep"][i]
            cells += [f"{row['recall']:.3f}", f"{row['qps']:,.0f}"]
        lines.append(f"| {ef['ef']} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def plot(results, name, path):
    """Recall@10 against queries/s per walk width, resident bytes in the legend."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for bits, r in results.items():
        held = r["anon_after_sweep_per_doc"] + r["walked_per_doc"]
        label = f"{bits}-bit walk: {held:.0f} B/doc resident"
        if r["rescore_per_doc"]:
            label += f" + {r['rescore_per_doc']:.0f} mapped 8-bit rows"
        ax.plot([row["recall"] for row in r["sweep"]], [row["qps"] for row in r["sweep"]], marker="o", label=label)
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries/s (one thread, batch_search)")
    ax.set_title(f"{name}: walks on 8-, 2- and 1-bit codes, re-scored on 8-bit codes")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--data", default=str(HERE / "data" / "wordnet384.npz"))
    p.add_argument("--bits", default="8,2,1")
    p.add_argument("--ef", default="10,16,24,32,48,64,96")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--cpu", default="1")
    p.add_argument("--replot", action="store_true", help="only plot the saved JSON of --data's set again")
    p.add_argument("--step", choices=["build", "sweep"], help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    a = p.parse_args()
    a.ef = [int(x) for x in a.ef.split(",")]
    if a.step:
        a.bits = int(a.bits)
        print(json.dumps(build(a) if a.step == "build" else sweep(a)))
        return
    name = Path(a.data).stem
    if a.replot:
        saved = json.loads((RESULTS_DIR / f"walk_codes_{name}.json").read_text())["results"]
        plot(saved, name, RESULTS_DIR / f"walk_codes_{name}.png")
        return
    load_start = os.getloadavg()[0]
    results = {}
    for bits in (int(x) for x in a.bits.split(",")):
        with tempfile.TemporaryDirectory(prefix="kv-walk-") as directory:
            r = run_child(a, "build", bits, directory)
            r.update(run_child(a, "sweep", bits, directory))
        results[bits] = r
        print(f"{bits} bits: {json.dumps({k: v for k, v in r.items() if k != 'mappings'})}", file=sys.stderr, flush=True)
    load = (load_start, os.getloadavg()[0])
    text = report(results, name, load)
    print(text)
    RESULTS_DIR.mkdir(exist_ok=True)
    (RESULTS_DIR / f"walk_codes_{name}.md").write_text(text)
    machine = {"cpu": platform.processor() or platform.machine(), "cores": os.cpu_count(), "load": load}
    (RESULTS_DIR / f"walk_codes_{name}.json").write_text(json.dumps({"machine": machine, "results": results},
                                                                    indent=1))
    try:
        plot(results, name, RESULTS_DIR / f"walk_codes_{name}.png")
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)


if __name__ == "__main__":
    main()
