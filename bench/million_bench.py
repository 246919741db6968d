#!/usr/bin/env python3
"""Karvalith against hnswlib and FAISS HNSW-SQ8 at one million 384-d documents.

Data (made once from a fixed seed, cached under bench/data/clustered384_<n>/):
  N x 384 drawn from 100 Gaussian centres (noise sigma 0.35), unit length, and
  1000 queries from the same mixture (a separate stream); exact top-10 by
  float32 BLAS in blocks, re-ranked in float64 on a 100-long short list, with
  a check that the short list provably holds the float64 top 10.

Systems (cosine / inner product on unit vectors; m 16, ef_construction 200):
  karvalith   persistent handle in a temp directory, batch_insert of numpy rows
              (10,000 per call, empty text, no metadata), automatic checkpoints
              off so that the build time holds inserts and their log records
              and compact is timed on its own
  hnswlib     float32 Index("cosine"), add_items in blocks of 10,000
  faiss-sq8   IndexHNSWSQ QT_8bit, inner product, train + add in blocks

Each system runs in three child processes, pinned with taskset:
  build1  one thread on --cpu: builds the first --prefix documents (the 1-thread
          build rate; a full 1M one-thread build per system would take too long
          on this machine)
  full    two threads on --thread-cpus: builds all N (the 2-thread rate, resident
          bytes per document after the build, peak bytes per document during it,
          from VmHWM reset after the data is loaded); then re-pins itself to
          --cpu and sweeps ef one query per call (recall@10, QPS: fastest of
          --runs passes); then compacts (Karvalith) or saves its index file
  open    one thread on --cpu: opens the compacted directory or loads the index
          file (time, resident and peak bytes per document) and checks recall
          at one ef against the built index's

Writes bench/results/million_clustered384.{md,json,png} (with _quick or _<n>
for other sizes).

Set-up:  pip install -r bench/requirements.txt  (plus karvalith: pip install .)
Run:     python3 bench/million_bench.py                # 1M, tens of minutes
         python3 bench/million_bench.py --quick        # 50k, a few minutes
Options: --n N  --systems karvalith,faiss-sq8,hnswlib  --efs 10,16,...  --runs 2
         --prefix 200000 (0: the 1-thread build on all N)  --cpu 1  --thread-cpus 0-1
         --karvalith-python PATH (interpreter for the Karvalith children)
         --ef-construction 200
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from importlib.metadata import version
from pathlib import Path

import numpy as np

from bench_common import (K, TARGETS, chosen_systems, fmt, machine, peak_rss_bytes, plot_sweeps, qps_at, ratio, recall_at_k,
                          reset_peak, settle, single_sweep, write_report)

HERE = Path(__file__).resolve().parent
DATA_DIR = HERE / "data"
RESULTS_DIR = HERE / "results"
SYSTEMS = ("karvalith", "faiss-sq8", "hnswlib")  # FAISS SQ8 first: the nearest peer, kept if a run is cut short
LABELS = {"karvalith": "Karvalith (8-bit)", "hnswlib": "hnswlib (float32)", "faiss-sq8": "FAISS HNSWSQ 8-bit"}
DIM = 384
QUERIES = 1000
M = 16
BLOCK = 10_000
FULL_EFS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384)
QUICK_EFS = (10, 16, 32, 64, 128, 256)
CHECK_EF = 64
SHORT_LIST = 100


# ---------------------------------------------------------------- data


def clustered(n, queries, dim=DIM, clusters=100, noise=0.35, seed=42, chunk=100_000):
    """Mixture of Gaussians, unit length; base and queries from separate streams,
    drawn in chunks so that no float64 copy of the whole set is made."""
    centres = np.random.default_rng(seed).standard_normal((clusters, dim), dtype=np.float32)

    def sample(count, stream):
        rng = np.random.default_rng([seed, stream])
        out = np.empty((count, dim), dtype=np.float32)
        for at in range(0, count, chunk):
            c = min(chunk, count - at)
            x = centres[rng.integers(0, clusters, size=c)]
            x += rng.standard_normal((c, dim), dtype=np.float32) * np.float32(noise)
            x /= np.linalg.norm(x, axis=1, keepdims=True)
            out[at:at + c] = x
        return out

    return sample(n, 1), sample(queries, 2)


def exact_top(base, queries, top=K, short=SHORT_LIST, block=100):
    """Exact inner-product top `top` of unit vectors: a float32 short list of
    `short` per query, re-ranked in float64. A float32 dot of unit vectors is
    within 1e-5 of the exact one, so the short list holds the exact top `top`
    when its float64 `top`-th score beats its float32 last score by more than
    twice that; queries where it does not are counted and returned, with the
    smallest float64 gap between the `top`-th and next score (zero would make
    recall depend on the order of equal scores)."""
    out = np.empty((len(queries), top), dtype=np.int32)
    unsure, gap = 0, np.inf
    for start in range(0, len(queries), block):
        q = queries[start:start + block]
        s = q @ base.T
        part = np.argpartition(-s, short - 1, axis=1)[:, :short]
        last = np.take_along_axis(s, part, axis=1).min(axis=1)
        del s
        q64 = q.astype(np.float64)
        for r in range(len(q)):
            cand = part[r]
            exact = base[cand].astype(np.float64) @ q64[r]
            order = np.argsort(-exact, kind="stable")
            out[start + r] = cand[order[:top]]
            if exact[order[top - 1]] <= last[r] + 2e-5:
                unsure += 1
            gap = min(gap, exact[order[top - 1]] - exact[order[top]])
    return out, unsure, float(gap)


def check_ground_truth(base, queries, gt, count=3):
    """Brute force in float64 for a few queries: the cached ground truth
    (and the short-list argument above) must agree with it exactly, up to ties."""
    b = base.astype(np.float64)
    for i in range(count):
        s = b @ queries[i].astype(np.float64)
        want = np.argsort(-s, kind="stable")[:K]
        if not np.allclose(np.sort(s[want]), np.sort(s[gt[i]]), rtol=0, atol=1e-12):
            raise SystemExit(f"ground truth wrong for query {i}: {gt[i]} vs {want}")
    del b


def prepare(n):
    """Writes (once) base.npy, queries.npy, gt.npy under bench/data/clustered384_<n>/."""
    path = DATA_DIR / f"clustered384_{n}"
    if (path / "gt.npy").exists():
        return path
    path.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    base, queries = clustered(n, QUERIES)
    print(f"# made {n:,} x {DIM} in {time.perf_counter() - t0:.0f} s", file=sys.stderr, flush=True)
    t0 = time.perf_counter()
    gt, unsure, gap = exact_top(base, queries)
    if unsure:
        raise SystemExit(f"{unsure} queries whose float32 short list may miss an exact neighbour")
    check_ground_truth(base, queries, gt)
    meta = {"seconds": time.perf_counter() - t0, "min_gap_10th_11th": gap}
    print(f"# ground truth in {meta['seconds']:.0f} s; smallest gap between a 10th and 11th score "
          f"{gap:.2e}", file=sys.stderr, flush=True)
    (path / "meta.json").write_text(json.dumps(meta))
    np.save(path / "base.npy", base)
    np.save(path / "queries.npy", queries)
    np.save(path / "gt.npy", gt)  # last: its presence marks a complete set
    return path


# ---------------------------------------------------------------- systems (worker side)


class KarvalithSystem:
    name = "karvalith"

    def __init__(self, directory, ef_construction, n, create):
        import karvalith

        self.Karvalith = karvalith.Karvalith
        self.directory = directory
        if create:
            self.db = self.Karvalith(directory, auto_checkpoint_bytes=0, auto_checkpoint_records=0)
            self.db.create_collection("bench", DIM, m=M, ef_construction=ef_construction,
                                      distance_metric="cosine", store_raw_vectors=False)

        self.notes = [f"karvalith {karvalith.__version__} ({Path(karvalith.__file__).parent})"]

    def build(self, base, threads):
        # Caller-given ids i+1 as UUIDs: hits map back to rows without an id table.
        for first in range(0, len(base), BLOCK):
            docs = [{"text": "", "embedding": base[i], "id": str(uuid.UUID(int=i + 1))}
                    for i in range(first, min(first + BLOCK, len(base)))]
            self.db.batch_insert("bench", docs, num_threads=threads)

    def set_threads(self, threads):
        pass

    def query_fn(self, ef):
        s = self.db.search
        return lambda q: s("bench", query_embedding=q, k=K, ef=ef)

    def to_indices(self, result):
        return [uuid.UUID(h.id).int - 1 for h in result]

    def persist(self):
        """Compact (snapshot, then the log is emptied) and close."""
        self.db.compact()
        self.db.close()

    def open(self):
        self.db = self.Karvalith(self.directory)
        self.db.collection_info("bench")


class HnswlibSystem:
    name = "hnswlib"

    def __init__(self, directory, ef_construction, n, create):
        import hnswlib

        self.hnswlib = hnswlib
        self.file = os.path.join(directory, "index.bin")
        self.n = n
        if create:
            self.index = hnswlib.Index(space="cosine", dim=DIM)
            self.index.init_index(max_elements=n, ef_construction=ef_construction, M=M, random_seed=100)
        self.notes = [f"hnswlib {version('hnswlib')}"]

    def build(self, base, threads):
        for first in range(0, len(base), BLOCK):
            rows = base[first:first + BLOCK]
            self.index.add_items(rows, np.arange(first, first + len(rows)), num_threads=threads)

    def set_threads(self, threads):
        self.index.set_num_threads(threads)

    def query_fn(self, ef):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return lambda q: knn(q, k=K, num_threads=1)[0][0]

    def to_indices(self, result):
        return result.tolist()

    def persist(self):
        self.index.save_index(self.file)

    def open(self):
        self.index = self.hnswlib.Index(space="cosine", dim=DIM)
        self.index.load_index(self.file, max_elements=self.n)
        self.index.set_num_threads(1)


class FaissSq8System:
    name = "faiss-sq8"

    def __init__(self, directory, ef_construction, n, create):
        import faiss

        self.faiss = faiss
        self.file = os.path.join(directory, "index.faiss")
        if create:
            self.index = faiss.IndexHNSWSQ(DIM, faiss.ScalarQuantizer.QT_8bit, M, faiss.METRIC_INNER_PRODUCT)
            self.index.hnsw.efConstruction = ef_construction
        self.notes = [f"faiss {faiss.__version__}"]

    def build(self, base, threads):
        self.faiss.omp_set_num_threads(threads)
        self.index.train(base)  # per-dimension min/max; counted in the build time
        for first in range(0, len(base), BLOCK):
            self.index.add(base[first:first + BLOCK])

    def set_threads(self, threads):
        self.faiss.omp_set_num_threads(threads)

    def query_fn(self, ef):
        self.index.hnsw.efSearch = ef
        search = self.index.search
        return lambda q: search(q, K)[1][0]

    def to_indices(self, result):
        return result.tolist()

    def persist(self):
        self.faiss.write_index(self.index, self.file)

    def open(self):
        self.index = self.faiss.read_index(self.file)
        self.faiss.omp_set_num_threads(1)


def make_system(name, directory, ef_construction, n, create=True):
    """A new empty index (create) or a handle whose open() reads the saved one."""
    kind = {"karvalith": KarvalithSystem, "hnswlib": HnswlibSystem, "faiss-sq8": FaissSq8System}[name]
    return kind(directory, ef_construction, n, create)


def dir_bytes(directory):
    return sum(p.stat().st_size for p in Path(directory).rglob("*") if p.is_file())


def load_data(prepared, n=None):
    base = np.load(prepared / "base.npy")
    if n is not None and n < len(base):
        base = np.ascontiguousarray(base[:n])
    queries = np.load(prepared / "queries.npy")
    gt = np.load(prepared / "gt.npy")
    return base, queries, gt


def measured_build(system, base, threads):
    """Build timings and memory: resident after, peak during (both less the
    resident size before, which holds the loaded data)."""
    rss0 = settle()
    exact_peak = reset_peak()
    t0 = time.perf_counter()
    c0 = time.process_time()
    system.build(base, threads)
    wall = time.perf_counter() - t0
    cpu = time.process_time() - c0
    peak = peak_rss_bytes()
    rss1 = settle()
    n = len(base)
    return {"n": n, "threads": threads, "build_seconds": wall, "build_cpu_seconds": cpu,
            "inserts_per_s": n / wall, "rss_before": rss0, "rss_after": rss1, "peak": peak,
            "bytes_per_doc": (rss1 - rss0) / n, "peak_bytes_per_doc": (peak - rss0) / n,
            "peak_reset": exact_peak}


def worker(a):
    prepared = Path(a.prepared)
    directory = a.dir
    os.makedirs(directory, exist_ok=True)
    res = {"system": a.worker, "phase": a.phase, "load_before": os.getloadavg(), "cpus": sorted(os.sched_getaffinity(0))}
    if a.phase == "build1":
        base, _, _ = load_data(prepared, a.n)
        system = make_system(a.worker, directory, a.ef_construction, len(base))
        res.update(measured_build(system, base, 1))
    elif a.phase == "full":
        base, queries, gt = load_data(prepared)
        system = make_system(a.worker, directory, a.ef_construction, len(base))
        res.update(measured_build(system, base, a.threads))
        print(f"    [{a.worker} full] build {res['build_seconds']:.0f} s, {res['inserts_per_s']:,.0f}/s, "
              f"{res['bytes_per_doc']:.0f} resident B/doc, peak {res['peak_bytes_per_doc']:.0f}",
              file=sys.stderr, flush=True)
        if hasattr(system, "db"):
            info = system.db.collection_info("bench")
            res["estimated_bytes_per_doc"] = info.estimated_memory_bytes / len(base)
        # The sweep runs on one core, one thread, one query per call.
        os.sched_setaffinity(0, {int(a.cpu)})
        system.set_threads(1)
        del base
        res["load_sweep"] = os.getloadavg()
        res["sweep"] = single_sweep(system, queries, gt[:, :K], a.efs, a.runs)
        t0 = time.perf_counter()
        system.persist()
        res["persist_seconds"] = time.perf_counter() - t0
        res["file_bytes_per_doc"] = dir_bytes(directory) / res["n"]
    elif a.phase == "open":
        _, queries, gt = load_data(prepared)
        n = a.n
        system = make_system(a.worker, directory, a.ef_construction, n, create=False)
        rss0 = settle()
        reset_peak()
        t0 = time.perf_counter()
        system.open()
        res["open_seconds"] = time.perf_counter() - t0
        peak = peak_rss_bytes()
        rss1 = settle()
        res.update({"n": n, "open_bytes_per_doc": (rss1 - rss0) / n, "open_peak_bytes_per_doc": (peak - rss0) / n})
        call = system.query_fn(CHECK_EF)
        rows = [q.reshape(1, -1) for q in queries] if a.worker.startswith("faiss") else list(queries)
        t0 = time.perf_counter()
        first = call(rows[0])
        res["first_query_seconds"] = time.perf_counter() - t0
        found = [system.to_indices(first)] + [system.to_indices(call(q)) for q in rows[1:]]
        res["check_ef"] = CHECK_EF
        res["check_recall"] = recall_at_k(found, gt[:, :K])
    res["notes"] = getattr(system, "notes", [])
    res["load_after"] = os.getloadavg()
    print(json.dumps(res))


# ---------------------------------------------------------------- parent side


class LoadSampler:
    """Samples the 1-minute load average every few seconds while the children run."""

    def __init__(self, every=5.0):
        import threading

        self.samples = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, args=(every,), daemon=True)
        self.thread.start()

    def run(self, every):
        while True:
            self.samples.append(os.getloadavg()[0])
            if self.stop.wait(every):
                return

    def summary(self, final):
        if final:
            self.stop.set()
            self.thread.join()
        s = list(self.samples)
        return {"min": min(s), "mean": sum(s) / len(s), "max": max(s), "samples": len(s)}


SAMPLER = None


def run_child(a, system, phase, cpus, threads, directory, prepared, n):
    python = a.karvalith_python if system == "karvalith" and a.karvalith_python else sys.executable
    cmd = ["taskset", "-c", cpus, python, str(Path(__file__).resolve()), "--worker", system, "--phase", phase,
           "--prepared", str(prepared), "--dir", str(directory), "--threads", str(threads), "--n", str(n),
           "--prefix", str(a.prefix), "--cpu", a.cpu, "--efs", ",".join(map(str, a.efs)), "--runs", str(a.runs),
           "--ef-construction", str(a.ef_construction)]
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    print(f"  {system} {phase} on cpu {cpus} ({time.strftime('%H:%M:%S')})", file=sys.stderr, flush=True)
    t0 = time.perf_counter()
    first = len(SAMPLER.samples)
    p = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, env=env)
    if p.returncode != 0:
        return {"system": system, "phase": phase, "error": f"worker exit {p.returncode}"}
    r = json.loads(p.stdout.strip().splitlines()[-1])
    r["child_seconds"] = time.perf_counter() - t0
    during = SAMPLER.samples[first:] or SAMPLER.samples[-1:]
    r["load_mean"] = sum(during) / len(during)
    return r


def run_system(a, system, prepared, n):
    """The three children of one system; their results merged into one record."""
    out = {"system": system}
    root = tempfile.mkdtemp(prefix=f"million-{system}-", dir=DATA_DIR)
    try:
        prefix = a.prefix if 0 < a.prefix < n else n
        r1 = run_child(a, system, "build1", a.cpu, 1, os.path.join(root, "one"), prepared, prefix)
        shutil.rmtree(os.path.join(root, "one"), ignore_errors=True)
        rf = run_child(a, system, "full", a.thread_cpus, a.threads, os.path.join(root, "full"), prepared, n)
        ro = run_child(a, system, "open", a.cpu, 1, os.path.join(root, "full"), prepared, n) \
            if "error" not in rf else {"error": "no index to open"}
    finally:
        shutil.rmtree(root, ignore_errors=True)
    out["build1"], out["full"], out["open"] = r1, rf, ro
    out["errors"] = [f"{r.get('phase', 'open')}: {r['error']}" for r in (r1, rf, ro) if "error" in r]
    if rf.get("sweep"):
        out["qps_at"] = {str(t): qps_at(rf["sweep"], t) for t in REPORT_TARGETS}
    return out


REPORT_TARGETS = (0.85, 0.90) + TARGETS


def get(r, phase, key):
    return r.get(phase, {}).get(key)


def report(a, results, info):
    n, m = info["n"], info["machine"]
    prefix = info["prefix"]
    persist_name = {"karvalith": "compact", "hnswlib": "save_index", "faiss-sq8": "write_index"}
    open_name = {"karvalith": "open directory", "hnswlib": "load_index", "faiss-sq8": "read_index"}
    print(f"\n## clustered384: {n:,} x {DIM}, {info['queries']} queries, k {K}, m {M}, "
          f"ef_construction {info['ef_construction']}\n")
    load = info["load_during"]
    print(f"machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB; 1-minute load average before "
          f"{info['load_before'][0]:.2f}, during min {load['min']:.2f} / mean {load['mean']:.2f} / max "
          f"{load['max']:.2f} (includes this benchmark's own 1-2 busy threads), after {info['load_after'][0]:.2f}; "
          f"run took {info['seconds'] / 60:.0f} min\n")
    print(f"Data: {n:,} unit vectors from 100 Gaussian centres (sigma 0.35, seed 42), queries from the same "
          f"mixture; exact top-10 (float32 short list of {SHORT_LIST} re-ranked in float64), "
          f"smallest gap between a query's 10th and 11th exact score {info['data_meta']['min_gap_10th_11th']:.1e} "
          f"({'no ties' if info['data_meta']['min_gap_10th_11th'] > 0 else 'ties present'}).\n")
    if not info["complete"]:
        print("Partial: the run was cut short after the systems below.\n")
    print(f"Build 1 thread: first {prefix:,} documents, pinned to cpu {a.cpu}. Build 2 threads: all {n:,}, "
          f"cpus {a.thread_cpus}; resident and peak are of that build. Queries: one thread, one per call, "
          f"QPS = fastest of {a.runs} passes.\n")
    print("| system | build 1 thread docs/s | build 2 threads docs/s | resident B/doc | peak B/doc | "
          "peak/resident | " + " | ".join(f"QPS@{t:.2f}" for t in REPORT_TARGETS) + " | recall@10 ef 10 | max recall |")
    print("|---" * (8 + len(REPORT_TARGETS)) + "|")
    for r in results:
        b1, f = r["build1"], r["full"]
        if "error" in f:
            print(f"| {LABELS[r['system']]} | {'; '.join(r['errors'])} |||||||||| ")
            continue
        sw = f["sweep"]
        first = min(sw, key=lambda p: p["ef"])
        print(f"| {LABELS[r['system']]} | {fmt(b1.get('inserts_per_s'))} | {f['inserts_per_s']:,.0f} | "
              f"{f['bytes_per_doc']:.0f} | {f['peak_bytes_per_doc']:.0f} | "
              f"{f['peak_bytes_per_doc'] / f['bytes_per_doc']:.2f} | "
              + " | ".join(fmt(r["qps_at"].get(str(t))) for t in REPORT_TARGETS)
              + f" | {first['recall']:.4f} | {max(p['recall'] for p in sw):.4f} |")
    print("\n| system | save | save s | file B/doc | open | open s | first query s | resident after open B/doc | "
          f"peak during open B/doc | recall@10 ef {CHECK_EF} after open / before |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        f, o = r["full"], r["open"]
        if "error" in f or "error" in o:
            continue
        before = next((p["recall"] for p in f["sweep"] if p["ef"] == CHECK_EF), None)
        print(f"| {LABELS[r['system']]} | {persist_name[r['system']]} | {f['persist_seconds']:.2f} | "
              f"{f['file_bytes_per_doc']:.0f} | {open_name[r['system']]} | {o['open_seconds']:.2f} | "
              f"{o['first_query_seconds']:.4f} | {o['open_bytes_per_doc']:.0f} | {o['open_peak_bytes_per_doc']:.0f} | "
              f"{o['check_recall']:.4f} / {fmt(before, '.4f')} |")
    kv = next((r for r in results if r["system"] == "karvalith" and "error" not in r["full"]), None)
    if kv is not None:
        print("\nKarvalith / peer (> 1: Karvalith is ahead for rates, uses more for bytes and seconds):\n")
        print("| peer | build 1 thread | build 2 threads | resident B/doc | peak B/doc | "
              + " | ".join(f"QPS@{t:.2f}" for t in REPORT_TARGETS) + " | save s | open s | resident after open |")
        print("|---" * (8 + len(REPORT_TARGETS)) + "|")
        for r in results:
            if r is kv or "error" in r["full"]:
                continue
            cells = [ratio(get(kv, "build1", "inserts_per_s"), get(r, "build1", "inserts_per_s")),
                     ratio(get(kv, "full", "inserts_per_s"), get(r, "full", "inserts_per_s")),
                     ratio(get(kv, "full", "bytes_per_doc"), get(r, "full", "bytes_per_doc")),
                     ratio(get(kv, "full", "peak_bytes_per_doc"), get(r, "full", "peak_bytes_per_doc"))]
            cells += [ratio(kv["qps_at"].get(str(t)), r["qps_at"].get(str(t))) for t in REPORT_TARGETS]
            cells += [ratio(get(kv, "full", "persist_seconds"), get(r, "full", "persist_seconds")),
                      ratio(get(kv, "open", "open_seconds"), get(r, "open", "open_seconds")),
                      ratio(get(kv, "open", "open_bytes_per_doc"), get(r, "open", "open_bytes_per_doc"))]
            print(f"| {LABELS[r['system']]} | " + " | ".join(cells) + " |")
        est = kv["full"].get("estimated_bytes_per_doc")
        if est is not None:
            print(f"\nKarvalith's estimated_memory_bytes / n: {est:.0f} B/doc (measured resident "
                  f"{kv['full']['bytes_per_doc']:.0f}).")
    print("\nPer ef (recall@10 / QPS / p50 us / p99 us):\n")
    for r in results:
        if r["full"].get("sweep"):
            print(f"- {LABELS[r['system']]}: " + " ".join(
                f"{p['ef']}:{p['recall']:.3f}/{p['qps']:,.0f}/{p['p50_us']:.0f}/{p['p99_us']:.0f}"
                for p in r["full"]["sweep"]))
    print("\nMean 1-minute load average during each child (build 1 thread / build 2 threads + sweep + save / open): "
          + "; ".join(f"{LABELS[r['system']]} " + " / ".join(fmt(r[ph].get("load_mean"), ".1f")
                                                          for ph in ("build1", "full", "open")) for r in results) + ".")
    notes = sorted({x for r in results for ph in ("build1", "full", "open") for x in r[ph].get("notes", [])})
    print(f"\nVersions: {', '.join(notes)}; Python {m['python']}.")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, help="documents (default 1,000,000; 50,000 with --quick)")
    p.add_argument("--quick", action="store_true", help="50k documents, fewer ef values")
    p.add_argument("--systems", default=",".join(SYSTEMS))
    p.add_argument("--efs", help="comma-separated ef values")
    p.add_argument("--runs", type=int, default=2, help="timed passes per ef; the fastest counts")
    p.add_argument("--prefix", type=int, default=200_000, help="documents of the 1-thread build (0: all)")
    p.add_argument("--cpu", default="1", help="core of the one-thread children and of the query sweeps")
    p.add_argument("--thread-cpus", default="0-1", help="cores of the multi-thread build")
    p.add_argument("--threads", type=int, default=2, help="threads of the full build")
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--karvalith-python", help="interpreter for the Karvalith children (another venv or build)")
    p.add_argument("--out", help="results prefix (default bench/results/million_clustered384[_quick|_<n>])")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--phase", help=argparse.SUPPRESS)
    p.add_argument("--prepared", help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    a = p.parse_args()
    a.efs = tuple(int(x) for x in a.efs.split(",")) if a.efs else (QUICK_EFS if a.quick else FULL_EFS)
    if a.n is None:
        a.n = 50_000 if a.quick else 1_000_000
    return a


def main():
    a = parse_args()
    if a.worker:
        worker(a)
        return
    systems = chosen_systems(a.systems, SYSTEMS)
    start = time.perf_counter()
    prepared = prepare(a.n)
    info = {"data": "clustered384", "n": a.n, "dim": DIM, "queries": QUERIES, "k": K, "m": M,
            "ef_construction": a.ef_construction, "efs": list(a.efs), "prefix": min(a.prefix or a.n, a.n),
            "threads": a.threads, "data_meta": json.loads((prepared / "meta.json").read_text()), "machine": machine(), "load_before": os.getloadavg(),
            "command": " ".join([os.path.relpath(sys.executable)] + sys.argv), "started": time.strftime("%Y-%m-%d %H:%M:%S %Z")}
    print(f"# million benchmark: {a.n:,} x {DIM}, {QUERIES} queries", file=sys.stderr, flush=True)
    global SAMPLER
    SAMPLER = sampler = LoadSampler()
    results = []
    for s in systems:
        results.append(run_system(a, s, prepared, a.n))
        # Written after every system, so that a cut-short run keeps what it measured.
        info["load_during"] = sampler.summary(final=s == systems[-1])
        info["load_after"] = os.getloadavg()
        info["seconds"] = time.perf_counter() - start
        info["complete"] = s == systems[-1]
        write_outputs(a, results, info)


def write_outputs(a, results, info):
    suffix = "_quick" if a.quick and a.n == 50_000 else ("" if a.n == 1_000_000 else f"_{a.n}")
    prefix = Path(a.out) if a.out else RESULTS_DIR / f"million_clustered384{suffix}"
    write_report(prefix, info, lambda: report(a, results, info), results)
    m = info["machine"]
    title = (f"clustered384: {a.n:,} x {DIM}, k {K}, m {M}, ef_construction {a.ef_construction}; one thread, "
             f"one query per call\n{m['cpu']}, {m['cores']} cores; load average {info['load_during']['mean']:.1f} "
             f"mean during the run")
    plot_sweeps([(LABELS[r["system"]], r["full"]["sweep"], False) for r in results if r["full"].get("sweep")],
                title, prefix.with_suffix(".png"))
    print(f"wrote {prefix.with_suffix('.json')}, .md and .png", file=sys.stderr, flush=True)


if __name__ == "__main__":
    main()
