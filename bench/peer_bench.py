#!/usr/bin/env python3
"""Side-by-side benchmark of Karvalith's HNSW search against hnswlib, FAISS and zvec.

Every system indexes the same vectors (cosine; m 16, ef_construction 200) in
its own child process pinned to one core, single thread, and answers the
same queries one call at a time over an ef sweep (the fastest of --runs
passes per ef counts, since other work may share the machine). Per system it reports the
build rate, resident bytes per vector, and for each ef recall@10 against
exact ground truth, queries/s, p50 and p99 latency; the parent interpolates
queries/s at recall@10 0.95 and 0.99, prints a table per data set with the
ratios of Karvalith to each peer, writes bench/results/peer_<data>.json and a
recall-vs-QPS plot bench/results/peer_<data>.png; the tables also go to
bench/results/peer_<data>.md.

Data sets:
  wordnet384    117k WordNet glosses embedded with all-MiniLM-L6-v2, 1000
                held-out queries (bench/make_embedding_dataset.py makes it)
  clustered128  100k x 128 from 100 Gaussian centres (noise sigma 0.35, fixed
                seed), 1000 queries from the same mixture; unit length, since
                cosine only sees directions and every system then gets the
                very same inputs

Systems:
  karvalith     compact 8-bit collection through the Python API; batch_insert
                of numpy rows in batches of 1000, empty text, metadata {"g": i % 10}
  hnswlib       float32 Index("cosine")
  faiss-flat    IndexHNSWFlat, inner product on unit vectors
  faiss-sq8     IndexHNSWSQ with QT_8bit, inner product on unit vectors
  zvec-int8     zvec's HNSW with INT8 quantization, inner product on unit
                vectors; documents inserted in batches of 1000, then the index
                built by optimize() (both timed as the build); one query per call

Karvalith's search takes a per-call ef= when the installed version has it
(effective breadth max(ef, k)); otherwise ef is emulated by searching with
k = ef on a collection whose ef_search is 10 and keeping the first 10 hits,
which also pays for building ef result objects per call. The output says
which mode ran.

--threads T adds rows run on --thread-cpus: builds with T threads (hnswlib
add_items(num_threads=T), FAISS through OpenMP, Karvalith batch_insert(...,
num_threads=T) when it accepts it) and batch queries with T threads (hnswlib
knn_query(num_threads=T), FAISS search on all queries, Karvalith
batch_search(..., ef=, num_threads=T) when it exists). Missing APIs are
skipped and named in the output.

Set-up:  pip install -r bench/requirements.txt  (plus karvalith: pip install .)
Run:     python3 bench/peer_bench.py --data clustered128 [--quick]
         python3 bench/make_embedding_dataset.py   # once, for wordnet384
         python3 bench/peer_bench.py --data wordnet384
Options: --systems karvalith,hnswlib,faiss-flat,faiss-sq8,zvec-int8  --efs 10,16,32,...  --runs 3
         --cpu 1  --threads 2 --thread-cpus 0-1  --n N  --quick (20k vectors, 6 ef values)
"""

import argparse
import contextlib
import io
import json
import os
import subprocess
import tempfile
import sys
import time
import uuid
from pathlib import Path

import numpy as np

from bench_common import (K, TARGETS, chosen_systems, fmt, machine, plot_sweeps, qps_at, ratio, recall_at_k, settle,
                          single_sweep)

HERE = Path(__file__).resolve().parent
DATA_DIR = HERE / "data"
RESULTS_DIR = HERE / "results"
SYSTEMS = ("karvalith", "hnswlib", "faiss-flat", "faiss-sq8", "zvec-int8")
LABELS = {
    "karvalith": "Karvalith (8-bit)",
    "hnswlib": "hnswlib (float32)",
    "faiss-flat": "FAISS HNSWFlat",
    "faiss-sq8": "FAISS HNSWSQ 8-bit",
    "zvec-int8": "zvec HNSW int8",
}
M = 16
EF_CONSTRUCTION = 200
BATCH = 1000
FULL_EFS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
QUICK_EFS = (10, 16, 32, 64, 128, 256)


# ---------------------------------------------------------------- data


def clustered(n, queries, dim=128, clusters=100, noise=0.35, seed=42):
    """Mixture of Gaussians; base and queries drawn from separate streams, unit length."""
    centres = np.random.default_rng(seed).standard_normal((clusters, dim), dtype=np.float32)

    def sample(count, stream):
        rng = np.random.default_rng([seed, stream])
        picks = rng.integers(0, clusters, size=count)
        x = (centres[picks] + rng.normal(0.0, noise, size=(count, dim))).astype(np.float32)
        return x / np.linalg.norm(x, axis=1, keepdims=True)

    return sample(n, 1), sample(queries, 2)


def exact_top(base, queries, top):
    """Exact cosine neighbours, float64, best first."""
    b = base.astype(np.float64)
    b /= np.linalg.norm(b, axis=1, keepdims=True)
    out = np.empty((len(queries), top), dtype=np.int32)
    for start in range(0, len(queries), 100):
        q = queries[start : start + 100].astype(np.float64)
        q /= np.linalg.norm(q, axis=1, keepdims=True)
        s = q @ b.T
        part = np.argpartition(-s, top - 1, axis=1)[:, :top]
        for r in range(len(q)):
            out[start + r] = part[r][np.argsort(-s[r, part[r]], kind="stable")]
    return out


def prepare(data, n):
    """Writes (once) the file the workers read: base, queries, gt (top 100)."""
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    if data == "clustered128":
        path = DATA_DIR / f"clustered128_{n}.npz"
        if not path.exists():
            base, queries = clustered(n, 1000)
            np.savez(path, base=base, queries=queries, gt=exact_top(base, queries, 100))
        return path
    source = DATA_DIR / "wordnet384.npz"
    if not source.exists():
        sys.exit(f"{source} is missing: run bench/make_embedding_dataset.py first")
    with np.load(source) as z:
        total = z["base"].shape[0]
        if n >= total:
            return source
        path = DATA_DIR / f"wordnet384_{n}.npz"
        if not path.exists():
            base, queries = z["base"][:n], z["queries"]
            np.savez(path, base=base, queries=queries, gt=exact_top(base, queries, 100))
    return path


# ---------------------------------------------------------------- worker side


def accepts(method, keyword, probe):
    """Whether a method takes `keyword`: from its signature when it has one,
    else by calling `probe` once (TypeError means no)."""
    import inspect

    try:
        return keyword in inspect.signature(method).parameters
    except (TypeError, ValueError):
        pass
    try:
        probe()
    except TypeError:
        return False
    return True


class KarvalithRunner:
    name = "karvalith"

    def __init__(self, dim, n, threads):
        from karvalith import Karvalith

        self.db = Karvalith()
        # ef_search 10 = k: with the emulation below, k = ef sets the breadth.
        self.db.create_collection("bench", dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=K,
                                  distance_metric="cosine", store_raw_vectors=False)
        self.threads = threads
        # Ids go into a preallocated, already touched array so that they are
        # part of the baseline, not of the index's resident bytes.
        self.ids = np.full((n, 16), 0, dtype=np.uint8)  # np.full writes every page
        self.index_of = None
        self.notes = []
        self.native_ef = accepts(self.db.search, "ef", lambda: self.db.search(
            "bench", query_embedding=np.ones(dim, np.float32), k=K, ef=K))
        self.threaded_build = accepts(self.db.batch_insert, "num_threads", lambda: self.db.batch_insert(
            "bench", [], num_threads=threads))
        self.notes.append("ef per call (search ef=)" if self.native_ef
                          else "ef emulated: search k=ef, first 10 kept (ef_search=10)")

    def threaded_build_supported(self):
        return self.threaded_build

    def batch_search_supported(self):
        return hasattr(self.db, "batch_search")

    def build(self, base):
        kwargs = {"num_threads": self.threads} if self.threads > 1 and self.threaded_build else {}
        at = 0
        for first in range(0, len(base), BATCH):
            docs = [{"text": "", "embedding": base[i], "metadata": {"g": i % 10}}
                    for i in range(first, min(first + BATCH, len(base)))]
            for s in self.db.batch_insert("bench", docs, **kwargs):
                self.ids[at] = np.frombuffer(uuid.UUID(s).bytes, dtype=np.uint8)
                at += 1

    def extra(self, n):
        info = self.db.collection_info("bench")
        return {"estimated_bytes_per_vector": info.estimated_memory_bytes / n,
                "document_count": info.document_count}

    def finish_build(self):
        self.index_of = {bytes(row): i for i, row in enumerate(self.ids)}

    def query_fn(self, ef):
        s = self.db.search
        if self.native_ef:
            return lambda q: s("bench", query_embedding=q, k=K, ef=ef)
        kk = max(ef, K)
        return lambda q: s("bench", query_embedding=q, k=kk)[:K]

    def to_indices(self, result):
        return [self.index_of[uuid.UUID(h.id).bytes] for h in result]

    def batch_fn(self, ef):
        return lambda qs: self.db.batch_search("bench", qs, K, ef=ef, num_threads=self.threads)

    def batch_to_indices(self, results):
        return [self.to_indices(r) for r in results]


class HnswlibRunner:
    name = "hnswlib"

    def __init__(self, dim, n, threads):
        import hnswlib

        self.index = hnswlib.Index(space="cosine", dim=dim)
        self.index.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M, random_seed=100)
        self.index.set_num_threads(1)
        self.threads = threads
        self.notes = [f"hnswlib {getattr(hnswlib, '__version__', '?')}"]

    def threaded_build_supported(self):
        return True

    def batch_search_supported(self):
        return True

    def build(self, base):
        for first in range(0, len(base), BATCH):
            rows = base[first : first + BATCH]
            self.index.add_items(rows, np.arange(first, first + len(rows)), num_threads=self.threads)

    def extra(self, n):
        return {}

    def finish_build(self):
        pass

    def query_fn(self, ef):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return lambda q: knn(q, k=K, num_threads=1)[0][0]

    def to_indices(self, result):
        return result.tolist()

    def batch_fn(self, ef):
        self.index.set_ef(ef)
        return lambda qs: self.index.knn_query(qs, k=K, num_threads=self.threads)[0]

    def batch_to_indices(self, results):
        return results.tolist()


class FaissRunner:
    def __init__(self, dim, n, threads, sq8):
        import faiss

        self.faiss = faiss
        faiss.omp_set_num_threads(threads)
        self.name = "faiss-sq8" if sq8 else "faiss-flat"
        if sq8:
            self.index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, M, faiss.METRIC_INNER_PRODUCT)
        else:
            self.index = faiss.IndexHNSWFlat(dim, M, faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.sq8 = sq8
        self.threads = threads
        self.notes = [f"faiss {faiss.__version__}"]

    def threaded_build_supported(self):
        return True

    def batch_search_supported(self):
        return True

    def build(self, base):
        if self.sq8:
            self.index.train(base)  # per-dimension min/max; counted in the build time
        for first in range(0, len(base), BATCH):
            self.index.add(base[first : first + BATCH])

    def extra(self, n):
        return {}

    def finish_build(self):
        pass

    def query_fn(self, ef):
        self.index.hnsw.efSearch = ef
        search = self.index.search
        return lambda q: search(q, K)[1][0]

    def to_indices(self, result):
        return result.tolist()

    def batch_fn(self, ef):
        self.index.hnsw.efSearch = ef
        return lambda qs: self.index.search(qs, K)[1]

    def batch_to_indices(self, results):
        return results.tolist()


class ZvecRunner:
    """zvec's HNSW over int8 codes (m 16, ef_construction 200, inner product on the
    unit vectors, as FAISS). Its documents are inserted and the index built by
    optimize(), both inside the timed build."""

    name = "zvec-int8"

    def __init__(self, dim, n, threads):
        import zvec

        self.zvec = zvec
        zvec.init(optimize_threads=threads, query_threads=threads)
        self.path = os.path.join(tempfile.mkdtemp(prefix="zvec-bench-"), "c")
        index = zvec.HnswIndexParam(metric_type=zvec.MetricType.IP, m=M, ef_construction=EF_CONSTRUCTION,
                                    quantize_type=zvec.QuantizeType.INT8)
        schema = zvec.CollectionSchema(name="c", vectors=[zvec.VectorSchema("v", zvec.DataType.VECTOR_FP32, dim,
                                                                             index_param=index)])
        self.collection = zvec.create_and_open(self.path, schema)
        self.threads = threads
        self.notes = [f"zvec {getattr(zvec, '__version__', '?')}"]

    def threaded_build_supported(self):
        return True

    def batch_search_supported(self):
        return False

    def build(self, base):
        Doc = self.zvec.Doc
        for first in range(0, len(base), BATCH):
            rows = base[first : first + BATCH]
            statuses = self.collection.insert([Doc(id=str(first + i), vectors={"v": row}) for i, row in enumerate(rows)])
            if not all(status.ok() for status in statuses):
                raise RuntimeError(f"zvec insert failed: {statuses[0]}")
        self.collection.optimize()

    def extra(self, n):
        return {}

    def finish_build(self):
        pass

    def query_fn(self, ef):
        zvec = self.zvec
        query, param = self.collection.query, zvec.HnswQueryParam(ef=ef)
        return lambda q: query(zvec.VectorQuery("v", vector=q, param=param), topk=K)

    def to_indices(self, result):
        return [int(doc.id) for doc in result]


def make_runner(system, dim, n, threads):
    if system == "karvalith":
        return KarvalithRunner(dim, n, threads)
    if system == "hnswlib":
        return HnswlibRunner(dim, n, threads)
    if system in ("faiss-flat", "faiss-sq8"):
        return FaissRunner(dim, n, threads, system == "faiss-sq8")
    if system == "zvec-int8":
        return ZvecRunner(dim, n, threads)
    raise ValueError(system)


def batch_sweep(runner, queries, gt, efs, runs):
    """All queries in one call with the runner's thread count: recall@10, QPS per ef (fastest pass)."""
    out = []
    for ef in efs:
        call = runner.batch_fn(ef)
        call(queries[:50])
        wall = None
        for _ in range(runs):
            t0 = time.perf_counter()
            results = call(queries)
            pass_wall = time.perf_counter() - t0
            wall = pass_wall if wall is None else min(wall, pass_wall)
        recall = recall_at_k(runner.batch_to_indices(results), gt)
        out.append({"ef": ef, "recall": recall, "qps": len(queries) / wall, "p50_us": None, "p99_us": None})
        print(f"    [{runner.name} x{runner.threads}] ef {ef:4d}: recall@10 {recall:.4f}  "
              f"{len(queries) / wall:9,.0f} q/s", file=sys.stderr, flush=True)
    return out


def worker(a):
    with np.load(a.prepared) as z:
        base = np.ascontiguousarray(z["base"], dtype=np.float32)
        queries = np.ascontiguousarray(z["queries"], dtype=np.float32)
        gt = z["gt"][:, :K].copy()
    n, dim = base.shape
    threads = a.worker_threads
    runner = make_runner(a.worker, dim, n, threads)
    res = {"system": a.worker, "threads": threads, "n": n, "dim": dim, "notes": runner.notes,
           "load_before": os.getloadavg()}
    threaded_build = threads > 1 and runner.threaded_build_supported()
    if threads > 1 and not threaded_build and not runner.batch_search_supported():
        res["skipped"] = "no threaded build nor batch search in this version"
        print(json.dumps(res))
        return
    res["build_threads"] = threads if threaded_build else 1
    rss0 = settle()
    t0 = time.perf_counter()
    c0 = time.process_time()
    runner.build(base)
    build_wall = time.perf_counter() - t0
    build_cpu = time.process_time() - c0
    rss1 = settle()
    res.update({
        "build_seconds": build_wall,
        "build_cpu_seconds": build_cpu,
        "inserts_per_s": n / build_wall,
        "rss_before": rss0,
        "rss_after": rss1,
        "bytes_per_vector": (rss1 - rss0) / n,
    })
    res.update(runner.extra(n))
    runner.finish_build()
    print(f"    [{runner.name}{' x%d' % threads if threads > 1 else ''}] build {build_wall:.1f} s, "
          f"{n / build_wall:,.0f} inserts/s, {(rss1 - rss0) / n:.1f} resident B/vector",
          file=sys.stderr, flush=True)
    if threads == 1:
        res["sweep"] = single_sweep(runner, queries, gt, a.efs, a.runs)
        res["mode"] = "one query per call"
    elif runner.batch_search_supported():
        res["sweep"] = batch_sweep(runner, queries, gt, a.efs, a.runs)
        res["mode"] = f"batch queries, {threads} threads"
    else:
        res["sweep"] = []
        res["mode"] = "no batch search in this version"
    res["mode"] += f"; build {res['build_threads']} thread" + ("s" if res["build_threads"] > 1 else "")
    res["load_after"] = os.getloadavg()
    print(json.dumps(res))


# ---------------------------------------------------------------- parent side


def run_worker(a, system, prepared, threads, cpus):
    cmd = ["taskset", "-c", cpus, sys.executable, str(Path(__file__).resolve()), "--worker", system,
           "--prepared", str(prepared), "--worker-threads", str(threads),
           "--efs", ",".join(map(str, a.efs)), "--runs", str(a.runs)]
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    print(f"  {system}{' x%d' % threads if threads > 1 else ''} on cpu {cpus}", file=sys.stderr, flush=True)
    p = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, env=env)
    if p.returncode != 0:
        return {"system": system, "threads": threads, "error": f"worker exit {p.returncode}"}
    return json.loads(p.stdout.strip().splitlines()[-1])


def label(r):
    return LABELS[r["system"]] + (f" x{r['threads']} threads" if r["threads"] > 1 else "")


def report(a, runs, info):
    print(f"\n## {a.data}: {info['n']:,} x {info['dim']}, {info['queries']} queries, k {K}, "
          f"m {M}, ef_construction {EF_CONSTRUCTION}; QPS = fastest of {info['runs']} passes\n")
    m = info["machine"]
    print(f"machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB; load average before "
          f"{' / '.join(f'{x:.2f}' for x in info['load_before'])}, after "
          f"{' / '.join(f'{x:.2f}' for x in info['load_after'])}\n")
    print("| system | mode | build inserts/s | resident B/vector | QPS@0.95 | QPS@0.99 | "
          "recall@10 ef 10 | p50 us ef 10 | max recall |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in runs:
        if "error" in r or "skipped" in r:
            print(f"| {label(r)} | {r.get('error') or r.get('skipped')} | | | | | | | |")
            continue
        sw = r["sweep"]
        first = min(sw, key=lambda p: p["ef"]) if sw else None
        print(f"| {label(r)} | {r['mode']} | {r['inserts_per_s']:,.0f} | {r['bytes_per_vector']:.1f} | "
              f"{fmt(r['qps_at'].get('0.95'))} | {fmt(r['qps_at'].get('0.99'))} | "
              f"{fmt(first and first['recall'], '.4f')} | "
              f"{fmt(first and first['p50_us'], '.1f')} | "
              f"{fmt(max((p['recall'] for p in sw), default=None), '.4f')} |")
    kv = next((r for r in runs if r["system"] == "karvalith" and r["threads"] == 1 and "sweep" in r), None)
    if kv is not None:
        print(f"\nKarvalith: {'; '.join(kv['notes'])}; estimated_memory_bytes/n "
              f"{kv['estimated_bytes_per_vector']:.1f} vs measured resident {kv['bytes_per_vector']:.1f} B/vector "
              f"(ratio {kv['estimated_bytes_per_vector'] / kv['bytes_per_vector']:.3f})\n")
        print("Karvalith / peer (single thread; > 1 means Karvalith is ahead for rates, uses more for bytes):\n")
        print("| peer | build inserts/s | resident B/vector | QPS@0.95 | QPS@0.99 |")
        print("|---|---|---|---|---|")
        for r in runs:
            if r is kv or r["threads"] != 1 or "sweep" not in r:
                continue

            print(f"| {label(r)} | {ratio(kv['inserts_per_s'], r['inserts_per_s'])} | "
                  f"{ratio(kv['bytes_per_vector'], r['bytes_per_vector'])} | "
                  f"{ratio(kv['qps_at'].get('0.95'), r['qps_at'].get('0.95'))} | "
                  f"{ratio(kv['qps_at'].get('0.99'), r['qps_at'].get('0.99'))} |")
    print("\nPer ef (recall@10 / QPS / p50 us / p99 us):\n")
    for r in runs:
        if not r.get("sweep"):
            continue
        cells = " ".join(
            f"{p['ef']}:{p['recall']:.3f}/{p['qps']:,.0f}"
            + (f"/{p['p50_us']:.0f}/{p['p99_us']:.0f}" if p["p50_us"] is not None else "")
            for p in r["sweep"])
        print(f"- {label(r)}: {cells}")


def plot(a, runs, info, path):
    m = info["machine"]
    title = (f"{a.data}: {info['n']:,} x {info['dim']}, k {K}, m {M}, ef_construction {EF_CONSTRUCTION}\n"
             f"solid: one thread, one query per call; dashed: batch queries\n{m['cpu']}, "
             f"load average {info['load_before'][0]:.1f} before, {info['load_after'][0]:.1f} after")
    plot_sweeps([(label(r), r["sweep"], r["threads"] > 1) for r in runs if r.get("sweep")], title, path)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--data", choices=("wordnet384", "clustered128"), default="clustered128")
    p.add_argument("--systems", default=",".join(SYSTEMS))
    p.add_argument("--efs", help="comma-separated ef values")
    p.add_argument("--n", type=int, help="base vectors (default: all; 100000 for clustered128)")
    p.add_argument("--quick", action="store_true", help="20k vectors, fewer ef values")
    p.add_argument("--runs", type=int, default=3, help="timed passes per ef; the fastest counts")
    p.add_argument("--cpu", default="1", help="core the single-thread workers are pinned to")
    p.add_argument("--threads", type=int, default=1, help="also run T-thread build and batch-query rows")
    p.add_argument("--thread-cpus", default="0-1", help="cores for the T-thread rows")
    p.add_argument("--out", help="results prefix (default bench/results/peer_<data>[_quick])")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--prepared", help=argparse.SUPPRESS)
    p.add_argument("--worker-threads", type=int, default=1, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.efs:
        a.efs = tuple(int(x) for x in a.efs.split(","))
    else:
        a.efs = QUICK_EFS if a.quick else FULL_EFS
    if a.n is None:
        a.n = 20_000 if a.quick else (100_000 if a.data == "clustered128" else 10**9)
    return a


def main():
    a = parse_args()
    if a.worker:
        worker(a)
        return
    systems = chosen_systems(a.systems, SYSTEMS)
    prepared = prepare(a.data, a.n)
    with np.load(prepared) as z:
        n, dim = z["base"].shape
        nq = z["queries"].shape[0]
    info = {"data": a.data, "n": n, "dim": dim, "queries": nq, "k": K, "m": M,
            "ef_construction": EF_CONSTRUCTION, "efs": list(a.efs), "machine": machine(),
            "load_before": os.getloadavg(), "prepared": str(prepared), "runs": a.runs}
    print(f"# peer benchmark, {a.data}: {n:,} x {dim}, {nq} queries", file=sys.stderr, flush=True)
    runs = []
    for s in systems:
        runs.append(run_worker(a, s, prepared, 1, a.cpu))
    if a.threads > 1:
        for s in systems:
            runs.append(run_worker(a, s, prepared, a.threads, a.thread_cpus))
    info["load_after"] = os.getloadavg()
    for r in runs:
        if r.get("sweep"):
            r["qps_at"] = {str(t): qps_at(r["sweep"], t) for t in TARGETS}
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        report(a, runs, info)
    print(text.getvalue(), end="")
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    prefix = Path(a.out) if a.out else RESULTS_DIR / f"peer_{a.data}{'_quick' if a.quick else ''}"
    prefix.with_suffix(".md").write_text(text.getvalue().lstrip("\n"))
    with open(prefix.with_suffix(".json"), "w") as f:
        json.dump({"info": info, "runs": runs}, f, indent=1)
    plot(a, runs, info, prefix.with_suffix(".png"))
    print(f"\nwrote {prefix.with_suffix('.json')}, .md and .png")


if __name__ == "__main__":
    main()
