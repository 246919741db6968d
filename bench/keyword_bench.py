#!/usr/bin/env python3
"""Keyword (BM25) search: Karvalith against tantivy and bm25s on WordNet glosses.

Data: every gloss of Debian's wordnet-base (/usr/share/wordnet/data.{noun,verb,
adj,adv}, the text after " | "; about 117k), --limit N for the first N. 1000
queries drawn from a fixed seed: 2 or 3 distinct terms of a random gloss, so
every query has hits. The same queries go to every system.

Tokens: Karvalith tokenizes itself (lower case, split on what is not a letter or
number, one-byte terms and 64 English and Italian stop words dropped). The peers
get the same terms from a Python version of that tokenizer (str.lower, split on
`[^\\w]|_`, the same drops), and the Karvalith child measures how well the two
agree: per document, the terms keyword_statistics extracts against the Python
ones; per query, the terms and their document frequencies; and the corpus'
total term count.

Variants, each in its own child process pinned with taskset to --cpu, one thread:
  karvalith-mem-raw    Karvalith() in memory, raw glosses (its tokenizer is part
                       of the indexing cost)
  karvalith-mem-tok    the same on the space-joined Python tokens
  karvalith-disk-raw   Karvalith(data_dir=tmp): every batch goes to the write-ahead
                       log (one fsync each); default checkpoint thresholds (keyword-only
                       documents count towards the 64 MiB one alone, which these
                       glosses stay below)
  karvalith-disk-tok   the same on the joined tokens
  tantivy-mem          Index(schema) in RAM, one text field on the joined tokens
                       with tantivy's "whitespace" tokenizer (the tokens are already
                       lower case), term frequencies without positions
                       ("freq"); a writer with one thread, commit after every batch
  tantivy-disk         the same with an index directory
  bm25s                BM25(k1=1.2, b=0.75, method="lucene"), numpy backend,
                       index() on the token lists (one call: it has no incremental add)
Indexing (batches of 10,000; the time from the list of texts to a searchable
index): Karvalith batch_insert(num_threads=1) of {"text", "id"} dicts (the id
strings made before the clock, as tantivy's integer ids are); tantivy
add_document(Document(...)) per document + commit per batch, then
wait_merging_threads and reload; bm25s index().
Queries: k 10, one per call, after 50 untimed ones the fastest of at least
--runs passes (more while they add up to under 2 s);
Karvalith search(query_text=...), tantivy searcher.search(parse_query(q), 10,
count=False), bm25s retrieve([tokens]). Batched as well where the system has a
batch call: Karvalith batch_search(query_texts=..., num_threads=1), bm25s
retrieve(all queries).
Agreement: overlap@10 of every variant's top 10 with karvalith-mem-raw's
(BM25 formulas and tie order differ a little, so it is reported, not required);
also with ties counted: a hit outside the reference's top 10 that the reference
scores level with its 10th (from an untimed top-30 pass) agrees.
Each child freezes the loaded corpus out of Python's cyclic collector first (it
is a million objects that would otherwise be walked on every collection the
system's own calls trigger). Every variant runs --rounds times, interleaved, and
its median round by indexing rate is reported with the range of all rounds.
Memory: resident bytes after indexing less those before (the corpus is loaded
before), peak during indexing, and the bytes on disk for the disk variants.

Writes bench/results/keyword_wordnet.{json,md} (keyword_wordnet_<N> with --limit).

Set-up:  pip install -r bench/requirements.txt  (plus karvalith: pip install .)
Run:     python3 bench/keyword_bench.py [--limit N] [--systems karvalith,tantivy,bm25s]
Options: --cpu 1  --runs 2  --rounds 3  --queries 1000  --batch 10000  --wordnet DIR
"""

import argparse
import gc
import json
import os
import pickle
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter
from importlib.metadata import version
from pathlib import Path
from uuid import UUID


from bench_common import (K, chosen_systems, fmt, latencies_summary, machine, peak_rss_bytes, ratio, reset_peak, settle,
                          timed_pass, write_report)
from million_bench import LoadSampler

HERE = Path(__file__).resolve().parent
RESULTS_DIR = HERE / "results"
sys.path.insert(0, str(HERE.parent / "examples"))
from make_demo_data import read_synsets  # noqa: E402

SYSTEMS = ("karvalith", "tantivy", "bm25s")
# variant -> (system, storage, input)
VARIANTS = {
    "karvalith-mem-raw": ("karvalith", "mem", "raw"),
    "karvalith-mem-tok": ("karvalith", "mem", "tok"),
    "karvalith-disk-raw": ("karvalith", "disk", "raw"),
    "karvalith-disk-tok": ("karvalith", "disk", "tok"),
    "tantivy-mem": ("tantivy", "mem", "tok"),
    "tantivy-disk": ("tantivy", "disk", "tok"),
    "bm25s": ("bm25s", "mem", "tok"),
}
REFERENCE = "karvalith-mem-raw"
# Karvalith variant -> the peers it is set against in the ratio table.
PAIRS = (("karvalith-mem-raw", "tantivy-mem"), ("karvalith-mem-tok", "tantivy-mem"),
         ("karvalith-disk-raw", "tantivy-disk"), ("karvalith-disk-tok", "tantivy-disk"),
         ("karvalith-mem-raw", "bm25s"), ("karvalith-mem-tok", "bm25s"))
SEED = 2024
DEEP = 30  # hits per query kept for the tie-aware overlap
WARMUP = 50
MIN_SECONDS = 2.0
MAX_PASSES = 50

# ---------------------------------------------------------------- tokens

# Karvalith's stop words (English, then Italian).
STOP_WORDS = frozenset("""
a an and are as at be but by for if in into is it no not of on or such that the their then there these
they this to was will with
il lo la le li gli un uno una di da del dello della dei degli delle che per non si con su ha sono come ma
anche se io ci
""".split())
SPLIT = re.compile(r"[\W_]+")


def tokenize(text):
    """Python version of Karvalith's tokenizer: lower case, split on non-letters/digits,
    drop one-byte terms (a lone non-ASCII character is two bytes or more) and stop words."""
    return [t for t in SPLIT.split(text.lower())
            if (len(t) > 1 or (t and ord(t) > 127)) and t not in STOP_WORDS]


def make_queries(tokens, count, seed=SEED):
    """`count` queries of 2 or 3 distinct terms of a random document with at least two."""
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        terms = list(dict.fromkeys(tokens[rng.randrange(len(tokens))]))
        if len(terms) < 2:
            continue
        out.append(rng.sample(terms, min(rng.choice((2, 3)), len(terms))))
    return out


def prepare(a, path):
    """Reads the glosses, tokenizes them, draws the queries; pickles all for the children."""
    texts = [s["gloss"] for s in read_synsets(Path(a.wordnet))]
    if a.limit:
        texts = texts[: a.limit]
    tokens = [tokenize(t) for t in texts]
    queries = make_queries(tokens, a.queries)
    with open(path, "wb") as f:
        pickle.dump({"texts": texts, "tokens": tokens, "queries": queries}, f, protocol=pickle.HIGHEST_PROTOCOL)
    return {"documents": len(texts), "text_bytes": sum(len(t.encode()) for t in texts), "terms": sum(map(len, tokens)),
            "vocabulary": len({t for ts in tokens for t in ts}),
            "empty_documents": sum(1 for ts in tokens if not ts),
            "mean_terms_per_query": sum(map(len, queries)) / len(queries)}


# ---------------------------------------------------------------- systems (child side)


class KarvalithSystem:
    def __init__(self, directory, storage):
        import karvalith

        self.db = karvalith.Karvalith(data_dir=directory) if storage == "disk" else karvalith.Karvalith()
        self.db.create_collection("k", 0)
        built = time.strftime("%Y-%m-%d %H:%M", time.gmtime(os.path.getmtime(karvalith._karvalith.__file__)))
        self.notes = [f"karvalith {karvalith.__version__} (module installed {built} UTC)"]

    def prepare(self, docs):
        # Caller-given ids (UUID of row + 1), made before the clock and the
        # memory baseline, as tantivy's integer ids cost nothing: hits map
        # back to rows without an id table.
        self.ids = [str(UUID(int=i + 1)) for i in range(len(docs))]

    def build(self, docs, batch):
        insert, ids = self.db.batch_insert, self.ids
        for first in range(0, len(docs), batch):
            rows = [{"text": docs[i], "id": ids[i]} for i in range(first, min(first + batch, len(docs)))]
            insert("k", rows, num_threads=1)

    def finish(self):
        pass

    def query_fn(self, k=K):
        search = self.db.search
        return lambda q: search("k", query_text=q, k=k)

    def to_rows(self, result):
        return [UUID(h.id).int - 1 for h in result]

    def scores(self, result):
        return [h.score for h in result]

    def batch_fn(self):
        return lambda qs: self.db.batch_search("k", query_texts=qs, k=K, num_threads=1)

    def memory_estimate(self):
        return self.db.total_memory_bytes()

    def close(self):
        self.db.close()


class TantivySystem:
    def __init__(self, directory, storage):
        import tantivy

        self.tantivy = tantivy
        sb = tantivy.SchemaBuilder()
        sb.add_text_field("body", stored=False, tokenizer_name="whitespace", index_option="freq")
        sb.add_unsigned_field("id", stored=True)
        self.index = tantivy.Index(sb.build(), path=directory) if storage == "disk" else tantivy.Index(sb.build())
        self.notes = [f"tantivy {version('tantivy')}"]

    def build(self, docs, batch):
        Document = self.tantivy.Document
        writer = self.index.writer(128_000_000, 1)
        add = writer.add_document
        for first in range(0, len(docs), batch):
            for i in range(first, min(first + batch, len(docs))):
                add(Document(body=docs[i], id=i))
            writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def finish(self):
        self.notes.append(f"tantivy segments after indexing: {self.searcher.num_segments}")

    def query_fn(self, k=K):
        search, parse = self.searcher.search, self.index.parse_query
        return lambda q: search(parse(q, ["body"]), k, count=False).hits

    def to_rows(self, result):
        return [self.searcher.doc(addr)["id"][0] for _, addr in result]

    def scores(self, result):
        return [score for score, _ in result]

    batch_fn = None
    memory_estimate = None

    def close(self):
        pass


class Bm25sSystem:
    def __init__(self, directory, storage):
        import bm25s

        self.retriever = bm25s.BM25(k1=1.2, b=0.75, method="lucene")
        self.notes = [f"bm25s {version('bm25s')} (backend numpy)"]

    def build(self, docs, batch):
        self.retriever.index(docs, show_progress=False)

    def finish(self):
        pass

    def query_fn(self, k=K):
        retrieve = self.retriever.retrieve
        return lambda q: retrieve([q], k=k, show_progress=False, n_threads=0)

    def to_rows(self, result):
        # bm25s fills k slots even past the matches; those score 0.
        docs, scores = result
        return [int(d) for d, s in zip(docs[0], scores[0]) if s > 0]

    def scores(self, result):
        return [float(s) for s in result[1][0] if s > 0]

    def batch_fn(self):
        return lambda qs: self.retriever.retrieve(qs, k=K, show_progress=False, n_threads=0)

    memory_estimate = None

    def close(self):
        pass


def make_system(system, directory, storage):
    return {"karvalith": KarvalithSystem, "tantivy": TantivySystem, "bm25s": Bm25sSystem}[system](directory, storage)


def dir_bytes(directory):
    return sum(p.stat().st_size for p in Path(directory).rglob("*") if p.is_file())


def passes(runs):
    """At least `runs` passes, more while they add up to under MIN_SECONDS (fast systems
    finish a pass in tens of milliseconds, where one pass is noisy)."""
    spent, done = 0.0, 0
    while done < runs or (spent < MIN_SECONDS and done < MAX_PASSES):
        t0 = time.perf_counter()
        yield
        spent += time.perf_counter() - t0
        done += 1


def timed_queries(call, queries, runs):
    """One query per call; the fastest pass counts. Results of the last pass."""
    for q in queries[:WARMUP]:
        call(q)
    best, results = None, [None] * len(queries)
    for _ in passes(runs):
        wall, lat = timed_pass(call, queries, results)
        if best is None or wall < best[0]:
            best = (wall, lat)
    p50, p99 = latencies_summary(best[1])
    return {"qps": len(queries) / best[0], "p50_us": p50, "p99_us": p99}, results


def timed_batch(call, queries, runs):
    best = None
    for _ in passes(runs):
        t0 = time.perf_counter()
        call(queries)
        wall = time.perf_counter() - t0
        best = wall if best is None else min(best, wall)
    return len(queries) / best


def token_agreement(db, texts, tokens, queries):
    """Karvalith's terms (keyword_statistics) against the Python tokenizer's: per
    document (term sets), per query (terms and document frequencies) and in total."""
    examples, docs_differ = [], 0
    for text, toks in zip(texts, tokens):
        theirs = set(db.keyword_statistics("k", text)["document_frequencies"])
        ours = set(toks)
        if theirs != ours:
            docs_differ += 1
            if len(examples) < 5:
                examples.append({"text": text[:120], "karvalith_only": sorted(theirs - ours),
                                 "python_only": sorted(ours - theirs)})
    wanted = {t for q in queries for t in q}
    df = Counter(t for toks in tokens for t in set(toks) if t in wanted)
    terms_differ = df_differ = 0
    for q in queries:
        stats = db.keyword_statistics("k", " ".join(q))["document_frequencies"]
        terms_differ += set(stats) != set(q)
        df_differ += any(stats.get(t) != df[t] for t in q)
    total = db.keyword_statistics("k", "x")["total_length"]
    return {"documents_checked": len(texts), "documents_differ": docs_differ, "examples": examples,
            "queries_terms_differ": terms_differ, "queries_df_differ": df_differ,
            "karvalith_total_terms": total, "python_total_terms": sum(map(len, tokens))}


def worker(a):
    system, storage, kind = VARIANTS[a.worker]
    with open(a.prepared, "rb") as f:
        data = pickle.load(f)
    # The corpus and its token lists are a million objects that never die: kept
    # out of the collector's sweeps, which would otherwise charge each system
    # for walking them whenever its own calls allocate.
    gc.freeze()
    texts, tokens, queries = data["texts"], data["tokens"], data["queries"]
    if system == "bm25s":
        docs, qs = tokens, queries
    else:
        docs = texts if kind == "raw" else [" ".join(t) for t in tokens]
        qs = [" ".join(q) for q in queries]
    res = {"variant": a.worker, "system": system, "storage": storage, "input": kind,
           "cpus": sorted(os.sched_getaffinity(0)), "load_before": os.getloadavg()}
    os.makedirs(a.dir, exist_ok=True)
    s = make_system(system, a.dir, storage)
    if hasattr(s, "prepare"):
        s.prepare(docs)
    rss0 = settle()
    exact_peak = reset_peak()
    t0 = time.perf_counter()
    c0 = time.process_time()
    s.build(docs, a.batch)
    res["index_seconds"] = time.perf_counter() - t0
    res["index_cpu_seconds"] = time.process_time() - c0
    peak = peak_rss_bytes()
    rss1 = settle()
    s.finish()
    n = len(docs)
    res.update({"n": n, "docs_per_s": n / res["index_seconds"], "resident_bytes": rss1 - rss0,
                "peak_bytes": peak - rss0, "peak_reset": exact_peak})
    if storage == "disk":
        res["disk_bytes"] = dir_bytes(a.dir)
    if s.memory_estimate:
        res["estimated_bytes"] = s.memory_estimate()
    print(f"    [{a.worker}] indexed {n:,} in {res['index_seconds']:.2f} s ({res['docs_per_s']:,.0f}/s), "
          f"resident +{res['resident_bytes'] / 2**20:.1f} MB", file=sys.stderr, flush=True)
    stats, results = timed_queries(s.query_fn(), qs, a.runs)
    res.update(stats)
    res["hits"] = [s.to_rows(r) for r in results]
    # Untimed: a deeper list with scores, for the tie-aware overlap.
    deep = s.query_fn(DEEP)
    res["deep"] = [(s.to_rows(r), s.scores(r)) for r in map(deep, qs)]
    if s.batch_fn:
        res["batch_qps"] = timed_batch(s.batch_fn(), qs, a.runs)
    print(f"    [{a.worker}] {res['qps']:,.0f} q/s one per call, p50 {res['p50_us']:.0f} us, "
          f"p99 {res['p99_us']:.0f} us" + (f"; batched {res['batch_qps']:,.0f} q/s" if s.batch_fn else ""),
          file=sys.stderr, flush=True)
    if a.worker == REFERENCE:
        res["tokens"] = token_agreement(s.db, texts, tokens, queries)
    res["notes"] = s.notes
    s.close()
    res["load_after"] = os.getloadavg()
    print(json.dumps(res))


# ---------------------------------------------------------------- parent side


def uptime():
    return subprocess.run(["uptime"], stdout=subprocess.PIPE, text=True).stdout.strip()


def busy_processes(threshold=20.0):
    """Processes using more than `threshold` % of a core right now (top's view), as "name %cpu"."""
    out = subprocess.run(["top", "-b", "-n", "1"], stdout=subprocess.PIPE, text=True).stdout.splitlines()
    start = next((i for i, line in enumerate(out) if line.lstrip().startswith("PID")), len(out))
    busy = []
    for line in out[start + 1:]:
        f = line.split()
        if len(f) >= 12 and float(f[8]) > threshold:
            busy.append(f"{f[11]} {f[8]}%")
    return busy


def run_child(a, variant, prepared, root, sampler):
    directory = os.path.join(root, variant)
    cmd = ["taskset", "-c", a.cpu, sys.executable, str(Path(__file__).resolve()), "--worker", variant,
           "--prepared", str(prepared), "--dir", directory, "--runs", str(a.runs), "--batch", str(a.batch)]
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1",
               NUMBA_NUM_THREADS="1", RAYON_NUM_THREADS="1")
    print(f"  {variant} on cpu {a.cpu} ({time.strftime('%H:%M:%S')})", file=sys.stderr, flush=True)
    first = len(sampler.samples)
    p = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, env=env)
    shutil.rmtree(directory, ignore_errors=True)
    if p.returncode != 0:
        return {"variant": variant, "error": f"worker exit {p.returncode}"}
    r = json.loads(p.stdout.strip().splitlines()[-1])
    during = sampler.samples[first:] or sampler.samples[-1:]
    r["load_mean"] = sum(during) / len(during)
    return r


def median_round(runs):
    """The run with the median indexing rate, carrying every round's rates."""
    good = sorted((r for r in runs if "error" not in r), key=lambda r: r["docs_per_s"])
    if not good:
        return runs[-1]
    r = dict(good[(len(good) - 1) // 2])
    r["docs_per_s_rounds"] = [x["docs_per_s"] for x in good]
    r["qps_rounds"] = sorted(x["qps"] for x in good)
    return r


def overlap(found, ref):
    return sum(len(set(f[:K]) & set(r[:K])) / max(1, min(K, len(r))) for f, r in zip(found, ref)) / len(ref)


def tie_overlap(found, ref_deep):
    """overlap@10 where a hit outside the reference's top 10 still agrees when the
    reference scores it level with its own 10th hit (a tie cut at 10 either way)."""
    total = 0.0
    for f, (rows, scores) in zip(found, ref_deep):
        if not rows:
            continue
        score_of = dict(zip(rows, scores))
        cut = scores[min(K, len(scores)) - 1]
        top = set(rows[:K])
        agree = sum(1 for d in f[:K] if d in top or score_of.get(d, -1.0) >= cut * (1 - 1e-6))
        total += min(agree, K) / min(K, len(rows))
    return total / len(ref_deep)


def add_overlaps(results):
    """overlap@10 with the reference's top 10 (out of min(10, its hits)), plain and
    tie-aware; tantivy against bm25s too."""
    by = {r["variant"]: r for r in results if "hits" in r}
    ref = by.get(REFERENCE)
    for r in by.values():
        r["short_lists"] = sum(1 for h in r["hits"] if len(h) < K)
        if ref is not None:
            r["overlap_ref"] = overlap(r["hits"], ref["hits"])
            r["tie_overlap_ref"] = tie_overlap(r["hits"], ref["deep"])
    if "tantivy-mem" in by and "bm25s" in by:
        t, b = by["tantivy-mem"], by["bm25s"]
        t["overlap_bm25s"] = overlap(t["hits"], b["hits"])
        t["tie_overlap_bm25s"] = tie_overlap(t["hits"], b["deep"])


def mb(x):
    return None if x is None else x / 2**20


def spread(values):
    return f"{min(values):,.0f}-{max(values):,.0f}" if values else "n/a"


def report(a, results, info):
    m = info["machine"]
    d = info["data"]
    load = info["load_during"]
    print(f"## Keyword search on WordNet glosses: {d['documents']:,} documents, {a.queries} queries, k {K}\n")
    print(f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB; every child pinned to cpu {a.cpu}, "
          f"one thread.\nuptime before: `{info['uptime_before']}`\nuptime after: `{info['uptime_after']}`\n"
          f"1-minute load average during the run: min {load['min']:.2f} / mean {load['mean']:.2f} / max "
          f"{load['max']:.2f} (includes this benchmark's one busy thread). Run took {info['seconds']:.0f} s.\n")
    if not info["complete"]:
        print("Partial: the run was cut short after the variants below.\n")
    print(f"Corpus: {d['terms']:,} terms (Python tokenizer), vocabulary {d['vocabulary']:,}, "
          f"{d['empty_documents']} documents without terms; queries of {d['mean_terms_per_query']:.2f} terms "
          f"on average (2 or 3 distinct terms of a random gloss, seed {SEED}). Batches of {a.batch:,}. "
          f"Query rate: one query per call, the fastest of at least {a.runs} passes (more while they add up to "
          f"under {MIN_SECONDS:.0f} s).\n")
    print(f"Each variant ran {a.rounds} times, interleaved with the others; the row is its median round by "
          "indexing rate, and the ranges are the lowest and highest of all rounds.\n")
    print("| variant | input | index s | docs/s | docs/s range | q/s | q/s range | p50 us | p99 us | batched q/s | "
          "resident MB | peak MB | disk MB | overlap@10 vs karvalith-mem-raw | same, ties counted | "
          "queries < 10 hits |")
    print("|---" * 16 + "|")
    for r in results:
        if "error" in r:
            print(f"| {r['variant']} | {r['error']} |" + " |" * 14)
            continue
        print(f"| {r['variant']} | {'raw glosses' if r['input'] == 'raw' else 'tokens'} | "
              f"{r['index_seconds']:.2f} | {r['docs_per_s']:,.0f} | {spread(r.get('docs_per_s_rounds'))} | "
              f"{r['qps']:,.0f} | {spread(r.get('qps_rounds'))} | {r['p50_us']:.0f} | "
              f"{r['p99_us']:.0f} | {fmt(r.get('batch_qps'))} | {mb(r['resident_bytes']):.1f} | "
              f"{mb(r['peak_bytes']):.1f} | {fmt(mb(r.get('disk_bytes')), '.1f')} | "
              f"{fmt(r.get('overlap_ref'), '.3f')} | {fmt(r.get('tie_overlap_ref'), '.3f')} | {r['short_lists']} |")
    by = {r["variant"]: r for r in results if "error" not in r}
    pairs = [(k, p) for k, p in PAIRS if k in by and p in by]
    if pairs:
        print("\nKarvalith / peer (> 1: Karvalith is faster for rates, uses more for memory):\n")
        print("| Karvalith | peer | docs/s | q/s one per call | batched q/s | resident | peak |")
        print("|---|---|---|---|---|---|---|")
        for k, p in pairs:
            kv, pr = by[k], by[p]
            print(f"| {k} | {p} | {ratio(kv['docs_per_s'], pr['docs_per_s'])} | {ratio(kv['qps'], pr['qps'])} | "
                  f"{ratio(kv.get('batch_qps'), pr.get('batch_qps'))} | "
                  f"{ratio(kv['resident_bytes'], pr['resident_bytes'])} | {ratio(kv['peak_bytes'], pr['peak_bytes'])} |")
    if "overlap_bm25s" in by.get("tantivy-mem", {}):
        t = by["tantivy-mem"]
        print(f"\ntantivy-mem against bm25s: overlap@10 {t['overlap_bm25s']:.3f}, ties counted "
              f"{t['tie_overlap_bm25s']:.3f}.")
    print("\nTies counted: a hit outside the reference's top 10 still agrees when the reference scores it level "
          f"with its own 10th hit (looked up in the reference's top {DEEP}). Resident and peak: bytes above those "
          "of the child with the corpus loaded. Karvalith keeps every text (search returns it); tantivy's body "
          f"field is not stored and bm25s keeps no text (the glosses are {d['text_bytes'] / 2**20:.1f} MB).")
    tok = by.get(REFERENCE, {}).get("tokens")
    if tok:
        print(f"\nTokenizer agreement (Karvalith's keyword_statistics against the Python tokenizer): "
              f"{tok['documents_differ']:,} of {tok['documents_checked']:,} documents with a different term set; "
              f"{tok['queries_terms_differ']} of {a.queries} queries with different terms, "
              f"{tok['queries_df_differ']} with a different document frequency for a term; corpus terms "
              f"{tok['karvalith_total_terms']:,} (Karvalith) against {tok['python_total_terms']:,} (Python).")
        for e in tok["examples"]:
            print(f"- `{e['text']}`: Karvalith only {e['karvalith_only']}, Python only {e['python_only']}")
    est = by.get(REFERENCE, {}).get("estimated_bytes")
    if est is not None:
        print(f"\nKarvalith's total_memory_bytes() after indexing (mem-raw): {mb(est):.1f} MB.")
    notes = sorted({x for r in by.values() for x in r.get("notes", [])})
    print(f"\nVersions and notes: {'; '.join(notes)}; Python {m['python']}.")
    print("\nLoad average (1 min) at each child's start / mean while it ran / end: " + "; ".join(
        f"{r['variant']} {r['load_before'][0]:.2f} / {r['load_mean']:.2f} / {r['load_after'][0]:.2f}"
        for r in by.values()) + ".")
    print(f"\nOther busy processes (top) before: {', '.join(info['busy_before']) or 'none'}; "
          f"after: {', '.join(info.get('busy_after', [])) or 'none'}.")


def write_outputs(a, results, info):
    prefix = RESULTS_DIR / ("keyword_wordnet" + (f"_{a.limit}" if a.limit else ""))
    slim = [{k: v for k, v in r.items() if k not in ("hits", "deep")} for r in results]
    write_report(prefix, info, lambda: report(a, results, info), slim)
    print(f"wrote {prefix.with_suffix('.json')} and .md", file=sys.stderr, flush=True)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--limit", type=int, default=0, help="only the first N glosses")
    p.add_argument("--systems", default=",".join(SYSTEMS))
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--runs", type=int, default=2, help="least timed query passes; the fastest counts")
    p.add_argument("--batch", type=int, default=10_000, help="documents per insert batch")
    p.add_argument("--rounds", type=int, default=3,
                   help="times every variant runs, interleaved; its median indexing round is reported")
    p.add_argument("--cpu", default="1", help="the core every child is pinned to")
    p.add_argument("--wordnet", default="/usr/share/wordnet")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--prepared", help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    return p.parse_args()


def main():
    a = parse_args()
    if a.worker:
        worker(a)
        return
    systems = chosen_systems(a.systems, SYSTEMS)
    variants = [v for v, (s, _, _) in VARIANTS.items() if s in systems]
    start = time.perf_counter()
    info = {"machine": machine(), "uptime_before": uptime(), "load_before": os.getloadavg(),
            "busy_before": busy_processes(),
            "command": " ".join([os.path.relpath(sys.executable)] + sys.argv),
            "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "cpu": a.cpu, "batch": a.batch, "runs": a.runs}
    root = tempfile.mkdtemp(prefix="keyword-bench-")
    sampler = LoadSampler()
    try:
        prepared = Path(root) / "data.pickle"
        info["data"] = prepare(a, prepared)
        print(f"# keyword benchmark: {info['data']['documents']:,} glosses, {a.queries} queries "
              f"({time.perf_counter() - start:.0f} s to prepare)", file=sys.stderr, flush=True)
        rounds = {v: [] for v in variants}
        for n in range(a.rounds):
            # Interleaved: a slow spell of the machine falls on every system.
            for v in variants:
                rounds[v].append(run_child(a, v, prepared, root, sampler))
                last = n == a.rounds - 1 and v == variants[-1]
                # Written after every child, so that a cut-short run keeps what it measured.
                results = [median_round(rounds[u]) for u in variants if rounds[u]]
                add_overlaps(results)
                info["uptime_after"] = uptime()
                info["busy_after"] = busy_processes()
                info["load_during"] = sampler.summary(final=last)
                info["load_after"] = os.getloadavg()
                info["seconds"] = time.perf_counter() - start
                info["complete"] = last
                write_outputs(a, results, info)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
