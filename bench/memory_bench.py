#!/usr/bin/env python3
"""Memory and open time of Karvalith against FAISS HNSW-SQ8 and hnswlib.

Every system indexes the same synthetic clustered 384-d set (unit length,
fixed seed) with m 16 and ef_construction 200, single thread, in its own
child process pinned with taskset. Per system it reports:
  resident B/doc   RSS after the build minus RSS before it (vectors loaded)
  peak B/doc       the process's high-water mark during the build (reset
                   through /proc/self/clear_refs after loading the vectors)
                   minus RSS before it
  peak/resident
For Karvalith the documents carry an empty text and no metadata (FAISS and
hnswlib hold only vectors); it builds in a persistent handle (the log is
written but not resident), then compact() is timed, and a second child
opens the directory and reports the open time (wall and CPU: on a loaded
machine the wall time mostly measures the wait for a core) and the resident
bytes after opening.

    python3 bench/memory_bench.py --n 38600,117000 [--cpu 1] [--systems karvalith,faiss-sq8,hnswlib]

Set-up: pip install -r bench/requirements.txt, plus karvalith (pip install .).
Prints a Markdown table with the ratios of Karvalith to FAISS HNSW-SQ8 and
writes bench/results/memory.json.
"""

import argparse
import gc
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_common import status_bytes

HERE = Path(__file__).resolve().parent
DATA_DIR = HERE / "data"
RESULTS_DIR = HERE / "results"
DIM = 384
M = 16
EF_CONSTRUCTION = 200
BATCH = 1000
SYSTEMS = ("karvalith", "faiss-sq8", "hnswlib")


def clustered(n, dim=DIM, clusters=100, noise=0.35, seed=42):
    """Mixture of Gaussians, unit length, drawn in chunks from a fixed seed."""
    centres = np.random.default_rng(seed).standard_normal((clusters, dim), dtype=np.float32)
    out = np.empty((n, dim), dtype=np.float32)
    rng = np.random.default_rng([seed, 1])
    for first in range(0, n, 65536):
        count = min(65536, n - first)
        picks = rng.integers(0, clusters, size=count)
        x = centres[picks] + rng.normal(0.0, noise, size=(count, dim)).astype(np.float32)
        out[first:first + count] = x / np.linalg.norm(x, axis=1, keepdims=True)
    return out


def data_path(n):
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    path = DATA_DIR / f"clustered{DIM}_{n}.npy"
    if not path.exists():
        np.save(path, clustered(n))
    return path


# ---------------------------------------------------------------- worker side


def settle():
    gc.collect()
    return status_bytes("VmRSS")


def reset_peak():
    # Writing 5 resets VmHWM to the current RSS (Linux >= 4.0).
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def build_karvalith(base, data_dir):
    from karvalith import Karvalith

    db = Karvalith(data_dir, auto_checkpoint_bytes=0, auto_checkpoint_records=0)
    db.create_collection("bench", base.shape[1], m=M, ef_construction=EF_CONSTRUCTION,
                         distance_metric="cosine", store_raw_vectors=False)
    for first in range(0, len(base), BATCH):
        db.batch_insert("bench", [{"text": "", "embedding": base[i]}
                                  for i in range(first, min(first + BATCH, len(base)))])
    return db


def build_faiss(base):
    import faiss

    faiss.omp_set_num_threads(1)
    index = faiss.IndexHNSWSQ(base.shape[1], faiss.ScalarQuantizer.QT_8bit, M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.train(base)
    for first in range(0, len(base), BATCH):
        index.add(base[first:first + BATCH])
    return index


def build_hnswlib(base):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION)
    for first in range(0, len(base), BATCH):
        index.add_items(base[first:first + BATCH], num_threads=1)
    return index


def worker(a):
    base = np.load(a.data)
    n = len(base)
    res = {"system": a.worker, "n": n, "load_before": os.getloadavg()}
    if a.worker == "karvalith-open":
        rss0 = settle()
        from karvalith import Karvalith

        t0 = time.perf_counter()
        c0 = time.process_time()
        db = Karvalith(a.dir)
        res["open_seconds"] = time.perf_counter() - t0
        res["open_cpu_seconds"] = time.process_time() - c0
        assert db.count("bench") == n
        res["open_resident_per_doc"] = (settle() - rss0) / n
        db.close()
        print(json.dumps(res))
        return
    if a.worker == "karvalith":
        import karvalith  # noqa: F401  (the module's own pages go into the baseline)
    elif a.worker == "faiss-sq8":
        import faiss  # noqa: F401
    else:
        import hnswlib  # noqa: F401
    rss0 = settle()
    reset_peak()
    t0 = time.perf_counter()
    if a.worker == "karvalith":
        index = build_karvalith(base, a.dir)
    elif a.worker == "faiss-sq8":
        index = build_faiss(base)
    else:
        index = build_hnswlib(base)
    res["build_seconds"] = time.perf_counter() - t0
    peak = status_bytes("VmHWM")
    rss1 = settle()
    res["resident_per_doc"] = (rss1 - rss0) / n
    res["peak_per_doc"] = (peak - rss0) / n
    if a.worker == "karvalith":
        res["estimated_per_doc"] = index.collection_info("bench").estimated_memory_bytes / n
        t0 = time.perf_counter()
        index.compact()
        res["compact_seconds"] = time.perf_counter() - t0
        index.close()
    res["load_after"] = os.getloadavg()
    print(json.dumps(res))


# ---------------------------------------------------------------- parent side


def run_worker(a, system, path, data_dir):
    cmd = ["taskset", "-c", a.cpu, sys.executable, __file__, "--worker", system, "--data", str(path),
           "--dir", data_dir]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    print(f"  {system}: {json.dumps(result)}", file=sys.stderr, flush=True)
    return result


def machine():
    return {"cpu": platform.processor() or platform.machine(), "cores": os.cpu_count(),
            "python": platform.python_version(), "load": os.getloadavg()}


def report(rows):
    lines = ["| n | system | resident B/doc | peak B/doc | peak/resident | vs FAISS SQ8 (resident) "
             "| build s | compact s | open s |",
             "|---|---|---|---|---|---|---|---|---|"]
    for n, results in rows:
        faiss_res = next((r["resident_per_doc"] for r in results if r["system"] == "faiss-sq8"), None)
        for r in results:
            if r["system"] == "karvalith-open":
                continue
            ratio = f"{r['resident_per_doc'] / faiss_res:.2f}x" if faiss_res else "-"
            opened = next((o for o in results if o["system"] == "karvalith-open"), None)
            compact = f"{r['compact_seconds']:.2f}" if "compact_seconds" in r else "-"
            open_s = (f"{opened['open_seconds']:.3f} ({opened['open_cpu_seconds']:.3f} CPU)"
                      if opened and r["system"] == "karvalith" else "-")
            lines.append(f"| {n:,} | {r['system']} | {r['resident_per_doc']:.0f} | {r['peak_per_doc']:.0f} | "
                         f"{r['peak_per_doc'] / r['resident_per_doc']:.2f} | {ratio} | "
                         f"{r['build_seconds']:.1f} | {compact} | {open_s} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", default="38600,117000", help="comma-separated collection sizes")
    parser.add_argument("--systems", default=",".join(SYSTEMS))
    parser.add_argument("--cpu", default="1", help="taskset CPU list of the workers")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    parser.add_argument("--dir", help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.worker:
        worker(a)
        return
    info = machine()
    rows = []
    for n in [int(x) for x in a.n.split(",")]:
        path = data_path(n)
        results = []
        for system in a.systems.split(","):
            root = tempfile.mkdtemp(prefix="kv-memory-bench-")
            try:
                results.append(run_worker(a, system, path, os.path.join(root, "db")))
                if system == "karvalith":
                    results.append(run_worker(a, "karvalith-open", path, os.path.join(root, "db")))
            finally:
                shutil.rmtree(root, ignore_errors=True)
        rows.append((n, results))
    info["load_after"] = os.getloadavg()
    table = report(rows)
    print(f"machine: {info}\n")
    print(table)
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    (RESULTS_DIR / "memory.json").write_text(json.dumps({"machine": info, "runs": rows}, indent=1))


if __name__ == "__main__":
    main()
