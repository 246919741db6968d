"""Opening a compacted collection: format 3 (blocks read in place) against format 2.

    python3 bench/open_bench.py --n 1000000 --source synthetic [--runs 3] [--cpu 0,1] [--churn-gib 6]
    python3 bench/open_bench.py --n 117000 --source clustered

The same collection is stored twice: bench.kvl as snapshots are written now
(format 3, whose node blocks a plain file maps in place) and format2.kvl
(format 2, whose node columns are copied into fresh memory). Each run opens
one of them in a fresh child process (a persistent handle on a directory that
holds only that file, pinned with taskset) and reports the open's wall and
CPU seconds, the resident bytes after it, and the queries/s of single-thread
vector searches (k 10) on the opened collection, three passes over the
queries: the first also faults in the pages it touches first, the best of
the later two is the steady rate (mapped blocks use the file's small pages
where copied ones get huge pages).

Before each open, --churn-gib allocates, touches and frees that much memory
and waits 8 s. On a virtual machine that hands freed memory back to its host,
memory a process touches for the first time is faulted in by the host as well
(about 1.6 s per million documents' worth on this one): the churn makes every
open meet such memory, as a process starting after others ended does.

Sources: "synthetic" is snapshot_bench --synthetic's random graph (no build,
so a million documents take a minute; its queries are random vectors);
"clustered" builds memory_bench.py's clustered set (2 threads) and queries
held-out points of it. Needs build/release/bench/snapshot_bench
(cmake --build build/release --target snapshot_bench) and karvalith.
Writes bench/results/open.json.
"""
import argparse
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SNAPSHOT_BENCH = HERE.parent / "build" / "release" / "bench" / "snapshot_bench"
FORMATS = {"format 3 (in place)": "bench.kvl", "format 2 (copied)": "format2.kvl"}


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def worker(file, queries_path, dim):
    from karvalith import Karvalith
    directory = tempfile.mkdtemp(prefix="kv-open-")
    try:
        os.link(file, os.path.join(directory, "bench.kvl"))
        queries = (np.load(queries_path) if queries_path
                   else np.random.default_rng(9).standard_normal((1000, dim)).astype(np.float32))
        before = rss_bytes()
        cpu = cpu_seconds()
        start = time.perf_counter()
        db = Karvalith(directory)
        wall = time.perf_counter() - start
        used = cpu_seconds() - cpu
        resident = rss_bytes() - before
        count = db.collection_info("bench").document_count
        rows = [q.tolist() for q in queries]
        passes = []
        for _ in range(3):  # the first pass also faults in the pages it touches first
            start = time.perf_counter()
            for q in rows:
                db.search("bench", query_embedding=q, k=10)
            passes.append(len(rows) / (time.perf_counter() - start))
        db.close()
        print(json.dumps({"open_seconds": wall, "open_cpu_seconds": used, "documents": count,
                          "resident_per_doc": resident / max(count, 1), "first_qps": passes[0],
                          "qps": max(passes[1:])}))
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def churn(gib):
    if gib <= 0:
        return
    subprocess.run([sys.executable, "-c", f"import numpy as np; a = np.ones({gib} * 2**30 // 8); del a"],
                   check=True)
    time.sleep(8)


def prepare(a, directory):
    if a.source == "synthetic":
        subprocess.run([str(SNAPSHOT_BENCH), "--synthetic", str(a.n), str(a.dim), str(directory)], check=True)
        return None
    sys.path.insert(0, str(HERE))
    from memory_bench import clustered
    from karvalith import Karvalith
    data = clustered(a.n + 1000, dim=a.dim)
    base, queries = data[:a.n], data[a.n:]
    queries_path = directory / "queries.npy"
    np.save(queries_path, queries)
    build = directory / "build"
    db = Karvalith(str(build), auto_checkpoint_bytes=0, auto_checkpoint_records=0)
    db.create_collection("bench", a.dim, m=16, ef_construction=200, distance_metric="cosine",
                         store_raw_vectors=False)
    for first in range(0, a.n, 10000):
        db.batch_insert("bench", [{"text": "", "embedding": base[i]} for i in range(first, min(first + 10000, a.n))],
                        num_threads=2)
    db.compact()
    db.close()
    shutil.move(str(build / "bench.kvl"), str(directory / "bench.kvl"))
    shutil.rmtree(build)
    subprocess.run([str(SNAPSHOT_BENCH), "--resave", str(directory / "bench.kvl"), str(directory), "2"], check=True)
    return queries_path


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1000000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--source", choices=["synthetic", "clustered"], default="synthetic")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cpu", default="0,1", help="taskset CPU list of the children")
    parser.add_argument("--churn-gib", type=int, default=6)
    parser.add_argument("--worker", nargs=2, metavar=("FILE", "QUERIES"), help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.worker:
        worker(a.worker[0], a.worker[1] if a.worker[1] != "-" else None, a.dim)
        return

    info = {"cpu": platform.processor() or platform.machine(), "cores": os.cpu_count(),
            "python": platform.python_version(), "load": os.getloadavg()}
    directory = Path(tempfile.mkdtemp(prefix="kv-open-bench-"))
    results = {}
    try:
        queries_path = prepare(a, directory)
        for run in range(a.runs):
            for label, name in FORMATS.items():
                churn(a.churn_gib)
                out = subprocess.run(["taskset", "-c", a.cpu, sys.executable, __file__, "--dim", str(a.dim),
                                      "--worker", str(directory / name), str(queries_path or "-")],
                                     check=True, capture_output=True, text=True).stdout
                row = json.loads(out.strip().splitlines()[-1])
                row["load"] = os.getloadavg()
                results.setdefault(label, []).append(row)
                print(f"run {run + 1} {label}: open {row['open_seconds']:.3f} s (cpu {row['open_cpu_seconds']:.3f}), "
                      f"{row['resident_per_doc']:.0f} B/doc, {row['first_qps']:,.0f} queries/s in the first pass, "
                      f"{row['qps']:,.0f} after", flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    info["load_after"] = os.getloadavg()

    def med(label, key):
        return statistics.median(r[key] for r in results[label])

    new, old = list(FORMATS)
    print(f"\n{a.n:,} documents ({a.source}), median of {a.runs}, churn {a.churn_gib} GiB, cpus {a.cpu}")
    print("| format | open s | open s per million | CPU s | queries/s, first pass | queries/s, later |")
    print("|---|---|---|---|---|---|")
    for label in (new, old):
        print(f"| {label} | {med(label, 'open_seconds'):.3f} | {med(label, 'open_seconds') * 1e6 / a.n:.3f} | "
              f"{med(label, 'open_cpu_seconds'):.3f} | {med(label, 'first_qps'):,.0f} | {med(label, 'qps'):,.0f} |")
    print(f"open time ratio (3 / 2): {med(new, 'open_seconds') / med(old, 'open_seconds'):.2f}x, "
          f"queries/s ratio: {med(new, 'qps') / med(old, 'qps'):.2f}x")
    out = HERE / "results" / "open.json"
    existing = json.loads(out.read_text()) if out.exists() else {}
    existing[f"{a.source}_{a.n}"] = {"machine": info, "args": vars(a), "runs": results}
    out.write_text(json.dumps(existing, indent=1))


if __name__ == "__main__":
    main()
