"""Benchmark of the Python API: inserts/s, searches/s, filtered recall@10, and
the share of time the binding spends converting arguments and building
results rather than in the C++ core.

Documents pair WordNet glosses (as in bm25_bench) with clustered vectors drawn
like hnsw_bench's (100 Gaussian centres, noise sigma 0.35, d=128, fixed seed),
plus metadata {"bucket": i % 100, "pos": part of speech, "len": word count}.
Filters "bucket lt 10" and "bucket eq 7" select 10% and 1% of the documents.

Binding share: with --core-bench, the documents and queries are written to a
file for search_core_bench, which runs them through the C++ collection API
with no Python in the process. For searches it loads the snapshot of the
Python-built collection, which the Python passes also search (loaded back in
a fresh handle), so both walk the same graph; its passes alternate with the
Python passes of the same kind (never at once), so both see the same machine
load, and the fastest of --runs passes of each side counts. For inserts it
builds the collection itself, --core-repeats times. The share of the binding
is 1 - core CPU time / Python CPU time. Separately, the conversion cost of
batch_insert is measured directly: a batch whose last element lacks "text"
is converted in full and then refused before anything is inserted.

    PYTHONPATH=/tmp/h12pkg python3 bench/api_bench.py \
        --core-bench build/h12/bench/search_core_bench [--n 100000 | --quick]
"""

import argparse
import gc
import os
import platform
import re
import struct
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from karvalith import Karvalith

DIM = 128
CLUSTERS = 100
NOISE = 0.35
K = 10
BATCH = 1000
PARTS_OF_SPEECH = ("noun", "verb", "adj", "adv")
FILTER_10 = {"must": [{"field": "bucket", "op": "lt", "value": 10}]}
FILTER_1 = {"must": [{"field": "bucket", "op": "eq", "value": 7}]}
STOP_WORDS = frozenset(
    "the and for with that from which who whose into used being are was has have its not "
    "any all one two other especially etc".split()
)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100_000, help="documents (default 100000)")
    p.add_argument("--quick", action="store_true", help="N=20000 for trying")
    p.add_argument("--list-docs", type=int, default=20_000, help="documents inserted from Python lists")
    p.add_argument("--singles", type=int, default=5_000, help="single insert calls")
    p.add_argument("--queries", type=int, default=1_000, help="vector (and hybrid) queries")
    p.add_argument("--keyword-queries", type=int, default=1_000)
    p.add_argument("--runs", type=int, default=3, help="passes per search kind; the fastest counts")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--corpus", default="/usr/share/wordnet")
    p.add_argument("--core-bench", help="path of the search_core_bench executable")
    p.add_argument("--data-file", help="where to write the data for search_core_bench")
    p.add_argument("--core-repeats", type=int, default=2,
                   help="independent core insert builds (their spread shows build-to-build variation)")
    a = p.parse_args()
    if a.quick:
        a.n = 20_000
    a.list_docs = min(a.list_docs, a.n)
    a.singles = min(a.singles, a.n)
    return a


# ---------------------------------------------------------------- data


def load_glosses(corpus):
    """(gloss, part of speech) per synset line, text after "| "."""
    out = []
    for pos in PARTS_OF_SPEECH:
        with open(os.path.join(corpus, "data." + pos), encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("  "):
                    continue
                bar = line.find(" | ")
                if bar >= 0:
                    out.append((line[bar + 3 :].rstrip(" \r\n"), pos))
    return out


def mixture(n, queries, seed):
    """Base points and queries from one mixture of Gaussians (separate streams)."""
    centres = np.random.default_rng(seed).standard_normal((CLUSTERS, DIM), dtype=np.float32)

    def sample(count, stream):
        rng = np.random.default_rng([seed, stream])
        picks = rng.integers(0, CLUSTERS, size=count)
        return (centres[picks] + rng.normal(0.0, NOISE, size=(count, DIM))).astype(np.float32)

    return sample(n, 1), sample(queries, 2)


def keyword_queries(glosses, count, seed):
    """1 to 3 terms each, drawn in proportion to their frequency in the glosses."""
    words = [w for text, _ in glosses for w in re.findall(r"[a-z]{3,}", text.lower()) if w not in STOP_WORDS]
    rng = np.random.default_rng([seed, 3])
    lengths = rng.integers(1, 4, size=count)
    picks = rng.integers(0, len(words), size=int(lengths.sum()))
    out, at = [], 0
    for length in lengths:
        out.append(" ".join(words[j] for j in picks[at : at + length]))
        at += length
    return out


def make_documents(n, glosses):
    texts, metas = [], []
    for i in range(n):
        text, pos = glosses[i % len(glosses)]
        texts.append(text)
        metas.append({"bucket": i % 100, "pos": pos, "len": len(text.split())})
    return texts, metas


def write_core_data(path, a, texts, metas, vectors, queries, kqueries):
    with open(path, "wb") as f:
        f.write(b"KVAPI01\0")
        f.write(struct.pack("<5Q", a.n, DIM, a.singles, len(queries), len(kqueries)))
        f.write(np.ascontiguousarray(vectors, dtype="<f4").tobytes())
        for text, meta in zip(texts, metas):
            t, p = text.encode(), meta["pos"].encode()
            f.write(struct.pack("<I", len(t)) + t + struct.pack("<qI", meta["bucket"], len(p)) + p)
            f.write(struct.pack("<q", meta["len"]))
        f.write(np.ascontiguousarray(queries, dtype="<f4").tobytes())
        for q in kqueries:
            b = q.encode()
            f.write(struct.pack("<I", len(b)) + b)


# ---------------------------------------------------------------- timing


class Clock:
    def __enter__(self):
        self.cpu0, self.wall0 = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu = time.process_time() - self.cpu0
        self.wall = time.perf_counter() - self.wall0


def insert_batches(db, name, docs, checkpoints):
    """batch_insert in batches of BATCH; cumulative (cpu, wall) after each batch."""
    ids, cpu, wall, marks = [], 0.0, 0.0, {}
    for first in range(0, len(docs), BATCH):
        chunk = docs[first : first + BATCH]
        with Clock() as c:
            ids += db.batch_insert(name, chunk)
        cpu, wall = cpu + c.cpu, wall + c.wall
        marks[first + len(chunk)] = (cpu, wall)
    return ids, {m: marks[m] for m in checkpoints}


def conversion_probe(db, name, docs, batches):
    """CPU seconds per document to convert a batch that is then refused whole."""
    total, count = 0.0, 0
    for b in range(batches):
        chunk = docs[b * BATCH : (b + 1) * BATCH]
        bad = chunk + [{"embedding": chunk[0]["embedding"]}]  # no "text": refused after the others
        with Clock() as c:
            try:
                db.batch_insert(name, bad)
            except ValueError:
                pass
        total, count = total + c.cpu, count + len(chunk)
    return total / count


def conversion_probe_search(calls, runs):
    """CPU seconds per call of searches on a missing collection: the arguments
    are converted, the lookup fails, KeyError is raised and caught."""
    best = None
    for _ in range(runs):
        with Clock() as c:
            for call in calls:
                try:
                    call()
                except KeyError:
                    pass
        best = c.cpu if best is None else min(best, c.cpu)
    return best / len(calls)


def search_pass(calls):
    """One timed pass: (cpu, wall, hits). Results are dropped as they come."""
    hits = 0
    with Clock() as c:
        for call in calls:
            hits += len(call())
    return c.cpu, c.wall, hits


class CoreServer:
    """search_core_bench --serve on the same snapshot: one core pass per request."""

    def __init__(self, path_bench, data_file, snapshot):
        self.proc = subprocess.Popen(
            [path_bench, "--data", data_file, "--snapshot", snapshot, "--serve"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("search_core_bench did not start")

    def run(self, kind):
        self.proc.stdin.write(kind + "\n")
        self.proc.stdin.flush()
        f = self.proc.stdout.readline().split()
        if f[:2] != ["search", kind]:
            raise RuntimeError(f"search_core_bench failed on {kind}")
        return int(f[2]), float(f[3]), float(f[4]), int(f[5])

    def close(self):
        self.proc.stdin.close()
        if self.proc.wait() != 0:
            raise RuntimeError("search_core_bench failed")


def time_searches(calls, runs, core=None, core_kind=None):
    """Python passes alternating with core passes of the same kind, so both
    see the same machine load; the fastest pass by CPU of each side counts:
    (cpu, wall, hits) and (queries, cpu, wall, hits) or None."""
    best_py, best_core = None, None
    for _ in range(runs):
        py = search_pass(calls)
        if best_py is None or py[0] < best_py[0]:
            best_py = py
        if core is not None:
            c = core.run(core_kind)
            if best_core is None or c[1] < best_core[1]:
                best_core = c
    return best_py, best_core


# ---------------------------------------------------------------- recall


def exact_top_k(unit_base, unit_queries, mask):
    """Exact cosine top-k indices per query over the documents passing `mask`."""
    allowed = np.flatnonzero(mask) if mask is not None else np.arange(len(unit_base))
    sub = unit_base[allowed].astype(np.float64)
    out = []
    for start in range(0, len(unit_queries), 100):
        sims = unit_queries[start : start + 100].astype(np.float64) @ sub.T
        kk = min(K, sub.shape[0])
        part = np.argpartition(-sims, kk - 1, axis=1)[:, :kk]
        for row, cand in zip(sims, part):
            out.append(allowed[cand[np.argsort(-row[cand], kind="stable")]])
    return out


def recall_at_k(results, truth, index_of):
    found = 0
    expected = 0
    for hits, exact in zip(results, truth):
        got = {index_of[h.id] for h in hits}
        found += len(got & set(exact.tolist()))
        expected += len(exact)
    return found / expected if expected else float("nan")


# ---------------------------------------------------------------- core side


def run_core_inserts(path_bench, data_file):
    """Cumulative (cpu, wall) per batch mark, and (count, cpu, wall) of single inserts."""
    out = subprocess.run(
        [path_bench, "--data", data_file, "--inserts-only"], check=True, capture_output=True, text=True
    ).stdout
    batches, single = {}, None
    for line in out.splitlines():
        f = line.split()
        if f[:2] == ["insert", "batch"]:
            batches[int(f[2])] = (float(f[3]), float(f[4]))
        elif f[:2] == ["insert", "single"]:
            single = (int(f[2]), float(f[3]), float(f[4]))
    return batches, single


# ---------------------------------------------------------------- main


def rate(count, seconds):
    return f"{count / seconds:,.0f}" if seconds > 0 else "-"


def share(core_cpu, py_cpu):
    return f"{100.0 * (1.0 - core_cpu / py_cpu):.1f}%" if core_cpu is not None else "-"


def main():
    a = parse_args()
    print(f"# Python API benchmark, N={a.n:,}, d={DIM}\n")
    print(
        f"python {platform.python_version()}, numpy {np.__version__}, {os.cpu_count()} CPUs, "
        "load average at start " + " / ".join(f"{x:.2f}" for x in os.getloadavg()) + "\n"
    )

    glosses = load_glosses(a.corpus)
    vectors, queries = mixture(a.n, a.queries, a.seed)
    kqueries = keyword_queries(glosses, a.keyword_queries, a.seed)
    texts, metas = make_documents(a.n, glosses)
    rows = list(vectors)  # float32 row views
    docs_np = [{"text": t, "embedding": r, "metadata": m} for t, r, m in zip(texts, rows, metas)]
    docs_list = [
        {"text": t, "embedding": r, "metadata": m}
        for t, r, m in zip(texts[: a.list_docs], vectors[: a.list_docs].tolist(), metas[: a.list_docs])
    ]
    qrows = list(queries)
    qlists = queries.tolist()
    hq = min(len(qrows), len(kqueries))
    gc.collect()
    gc.freeze()  # keep collector passes from rescanning the prepared data
    print(
        f"{len(glosses):,} glosses (cycled), {a.queries:,} vector queries, "
        f"{a.keyword_queries:,} keyword queries (1-3 terms, frequency-weighted), k={K}, "
        f"collections with default settings (cosine, m=16, ef_construction=200, ef_search=50)\n"
    )

    db = Karvalith()
    # -- inserts
    db.create_collection("bench", DIM)
    marks_wanted = sorted({a.singles, a.list_docs, a.n} & set(range(BATCH, a.n + 1, BATCH)) | {a.n})
    ids, py_marks = insert_batches(db, "bench", docs_np, marks_wanted)
    db.create_collection("lists", DIM)
    _, list_marks = insert_batches(db, "lists", docs_list, [len(docs_list)])
    db.create_collection("singles", DIM)
    with Clock() as single_clock:
        for text, row, meta in zip(texts[: a.singles], rows[: a.singles], metas[: a.singles]):
            db.insert("singles", text, row, meta)
    load_after_build = os.getloadavg()[0]

    probe_batches = max(1, min(20, a.list_docs // BATCH))
    conv_np = conversion_probe(db, "bench", docs_np, probe_batches)
    conv_list = conversion_probe(db, "bench", docs_list, probe_batches)

    # -- searches, on the collection saved and loaded back in a fresh handle;
    # search_core_bench loads the same snapshot, so both walk the same graph
    snapshot_dir = tempfile.mkdtemp(prefix="api_bench_")
    db.save("bench", path=snapshot_dir)
    (snapshot,) = [os.path.join(snapshot_dir, f) for f in os.listdir(snapshot_dir) if f.endswith(".kvl")]
    del db
    gc.collect()
    db = Karvalith()
    db.load("bench", path=snapshot_dir)
    s = db.search

    def search_calls(c):
        return {
            "vector": [lambda q=q: s(c, query_embedding=q, k=K) for q in qrows],
            "vector (list query)": [lambda q=q: s(c, query_embedding=q, k=K) for q in qlists],
            "vector, k=1": [lambda q=q: s(c, query_embedding=q, k=1) for q in qrows],
            "vector, k=50": [lambda q=q: s(c, query_embedding=q, k=50) for q in qrows],
            "keyword": [lambda t=t: s(c, query_text=t, k=K) for t in kqueries],
            "hybrid rrf": [
                lambda q=q, t=t: s(c, query_embedding=q, query_text=t, k=K, fusion_method="rrf")
                for q, t in zip(qrows[:hq], kqueries[:hq])
            ],
            "hybrid linear": [
                lambda q=q, t=t: s(c, query_embedding=q, query_text=t, k=K, fusion_method="linear", alpha=0.7)
                for q, t in zip(qrows[:hq], kqueries[:hq])
            ],
            "filtered vector 10%": [lambda q=q: s(c, query_embedding=q, k=K, filter=FILTER_10)
                                    for q in qrows],
            "filtered vector 1%": [lambda q=q: s(c, query_embedding=q, k=K, filter=FILTER_1)
                                   for q in qrows],
        }

    kinds = search_calls("bench")
    core_kind = {
        "vector": "vector",
        "vector (list query)": "vector",
        "vector, k=1": "vector_k1",
        "vector, k=50": "vector_k50",
        "keyword": "keyword",
        "hybrid rrf": "hybrid_rrf",
        "hybrid linear": "hybrid_linear",
        "filtered vector 10%": "filtered_10",
        "filtered vector 1%": "filtered_1",
    }
    data_file = None
    core = None
    if a.core_bench:
        data_file = a.data_file or os.path.join(tempfile.gettempdir(), f"api_bench_{os.getpid()}.bin")
        write_core_data(data_file, a, texts, metas, vectors, queries, kqueries)
        core = CoreServer(a.core_bench, data_file, snapshot)
    timed, core_search = {}, {}
    for name, calls in kinds.items():
        timed[name], core_search[name] = time_searches(calls, a.runs, core, core_kind[name])
    if core is not None:
        core.close()
    probes = {name: conversion_probe_search(calls, a.runs)
              for name, calls in search_calls("__missing__").items()}
    load_after_search = os.getloadavg()[0]

    # -- recall against exact (filtered) brute force
    index_of = {doc_id: i for i, doc_id in enumerate(ids)}
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    unit_q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    buckets = np.arange(a.n) % 100
    masks = {"vector": None, "filtered vector 10%": buckets < 10, "filtered vector 1%": buckets == 7}
    recall = {name: recall_at_k([call() for call in kinds[name]], exact_top_k(unit, unit_q, mask), index_of)
              for name, mask in masks.items()}
    shutil.rmtree(snapshot_dir)

    # -- the same inserts through the C++ core, in independent builds
    cores = []  # (batches, single) per core build
    if data_file is not None:
        try:
            for _ in range(max(1, a.core_repeats)):
                cores.append(run_core_inserts(a.core_bench, data_file))
        finally:
            if not a.data_file:
                os.remove(data_file)
    load_at_end = os.getloadavg()[0]

    # -- report
    print("## Inserts\n")
    print("Rates are documents per second of process CPU time (wall-clock rate in brackets). "
          "Core = Document::create + validate_insert + insert_document on the same data in C++.\n")
    print("One core figure per C++ run, each an independent build (graph levels are random, so the "
          "spread shows how much of a difference is build-to-build noise; the direct conversion cost "
          "below is the sharper figure).\n")
    print("| path | documents (collection grows from 0) | Python docs/s | core docs/s per build | "
          "binding share per build |")
    print("|---|---|---|---|---|")

    def insert_row(label, count, py, per_build):
        per_build = [c for c in per_build if c]
        core_txt = " / ".join(f"{rate(count, c[0])} ({rate(count, c[1])})" for c in per_build) or "-"
        shares = " / ".join(share(c[0], py[0]) for c in per_build) or "-"
        py_txt = f"{rate(count, py[0])} ({rate(count, py[1])})"
        print(f"| {label} | {count:,} | {py_txt} | {core_txt} | {shares} |")

    insert_row("batch_insert, numpy float32 rows", a.n, py_marks[a.n], [c[0].get(a.n) for c in cores])
    if a.list_docs in py_marks and a.list_docs != a.n:
        insert_row("batch_insert, numpy float32 rows", a.list_docs, py_marks[a.list_docs],
                   [c[0].get(a.list_docs) for c in cores])
    insert_row("batch_insert, Python lists", a.list_docs, list_marks[a.list_docs],
               [c[0].get(a.list_docs) for c in cores])
    insert_row("insert (one call per document)", a.singles, (single_clock.cpu, single_clock.wall),
               [c[1][1:] if c[1] else None for c in cores])
    per_doc_np = py_marks[a.list_docs][0] / a.list_docs if a.list_docs in py_marks else None
    per_doc_list = list_marks[a.list_docs][0] / a.list_docs
    print("\nDirect conversion cost of batch_insert (a batch refused after converting every element; "
          f"{probe_batches} batches of {BATCH}):\n")
    print("| embedding type | conversion µs/doc (CPU) | share of batch_insert time (first "
          f"{a.list_docs:,} docs) |")
    print("|---|---|---|")
    print(f"| numpy float32 rows | {conv_np * 1e6:.2f} | "
          f"{(100 * conv_np / per_doc_np) if per_doc_np else float('nan'):.2f}% |")
    print(f"| Python lists of float | {conv_list * 1e6:.2f} | {100 * conv_list / per_doc_list:.2f}% |")

    print("\n## Searches (k=10)\n")
    print(f"Queries per second of process CPU time (wall in brackets), fastest of {a.runs} passes. "
          "Core = the same queries through collection_search.h in C++ (validate_query + vector_search / "
          "vector_search_filtered / keyword_search / hybrid_search), with no Python in the process; "
          "binding share = 1 - core CPU / Python CPU. It covers argument conversion (incl. filter dict "
          "parsing), collection lookup, SearchResult building and the call from the interpreter. Both "
          "sides search the same graph (the collection is saved, loaded back into a fresh handle for the "
          "Python passes and loaded from the same snapshot by the core program), and core passes "
          "alternate with Python passes of the same kind so that both see the same machine load.\n")
    print("The probe column times the same calls on a missing collection: argument conversion, a failed "
          "lookup and a raised and caught KeyError (the filter dict is parsed after the lookup, so it is "
          "not in the probe). It bounds the conversion part from above; the rest of the difference is "
          "result building (and filter parsing).\n")
    print("| search | queries | Python q/s | core q/s | binding share | µs/query Python - core | "
          "probe µs/query | mean hits (Py / core) |")
    print("|---|---|---|---|---|---|---|---|")
    for name, (cpu, wall, hits) in timed.items():
        count = len(kinds[name])
        c = core_search[name]
        py_txt = f"{rate(count, cpu)} ({rate(count, wall)})"
        if c:
            core_txt = f"{rate(c[0], c[1])} ({rate(c[0], c[2])})"
            sh = share(c[1] / c[0], cpu / count)
            diff = f"{(cpu / count - c[1] / c[0]) * 1e6:.1f}"
            core_hits = f"{c[3] / c[0]:.2f}"
        else:
            core_txt, sh, diff, core_hits = "-", "-", "-", "-"
        print(f"| {name} | {count:,} | {py_txt} | {core_txt} | {sh} | {diff} | "
              f"{probes[name] * 1e6:.2f} | {hits / count:.2f} / {core_hits} |")

    k1, k50 = core_search["vector, k=1"], core_search["vector, k=50"]
    if k1 and k50:
        n1, n50 = len(kinds["vector, k=1"]), len(kinds["vector, k=50"])
        diff1 = timed["vector, k=1"][0] / n1 - k1[1] / k1[0]
        diff50 = timed["vector, k=50"][0] / n50 - k50[1] / k50[0]
        per_result = (diff50 - diff1) / (timed["vector, k=50"][2] / n50 - timed["vector, k=1"][2] / n1)
        print(f"\nResult building, from k=1 and k=50 (same beam, ef_search=50): the Python - core "
              f"difference grows from {diff1 * 1e6:.1f} to {diff50 * 1e6:.1f} µs/query, i.e. "
              f"{per_result * 1e6:.2f} µs per SearchResult (id text, text copy, 3-key metadata dict); "
              "the remainder at k=1 is the fixed cost of a call (argument conversion, lookup, interpreter).")

    print("\n## Recall@10 against exact brute force (cosine, float64 in numpy)\n")
    print("| search | documents passing | recall@10 |")
    print("|---|---|---|")
    print(f"| vector, no filter | {a.n:,} | {recall['vector']:.4f} |")
    for label, name in (("bucket lt 10", "filtered vector 10%"), ("bucket eq 7", "filtered vector 1%")):
        print(f"| filtered vector, {label} | {int(masks[name].sum()):,} | {recall[name]:.4f} |")
    print(f"\nload average (1 min): after build {load_after_build:.2f}, "
          f"after searches {load_after_search:.2f}, at end {load_at_end:.2f}")


if __name__ == "__main__":
    sys.exit(main())
