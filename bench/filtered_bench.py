"""Filtered vector search on real sentence embeddings: recall@10 and queries/s
at 50%, 10%, 1% and 0.1% of the documents passing, next to an exact numpy scan
of the passing subset and to the unfiltered search.

Data: bench/data/wordnet384.npz (116,657 WordNet glosses embedded with
all-MiniLM-L6-v2, 1000 held-out query glosses; bench/make_embedding_dataset.py
makes it). Every document gets metadata:
  bucket    an integer drawn uniformly from 0..999 (fixed seed): random filters
            "bucket lt 500 / 100 / 10 / 1";
  category  the WordNet lexicographer file of its synset (noun.artifact,
            verb.motion, ...): a topic, so filters on it are correlated with
            the embeddings. For each selectivity the categories whose sizes
            come closest are used ("category in [...]"); most queries lie
            outside the chosen topic, the hard case for a graph walk;
  pos       part of speech.
Ground truth: the exact top 10 of the passing documents by cosine (float64).

With --synthetic N the data is bench/data/clustered384_N.npy instead (the
synthetic mixture of memory_bench.py; its last 1000 rows are the queries):
  bucket    as above;
  category  "topic-<c>", c the nearest of 100 rows drawn from the base (fixed
            seed): a Voronoi partition, so filters on it follow the embeddings;
  pos       "none".

Per filter, one query per call, k 10, one thread:
  karvalith       the planner's choice (exact_threshold default);
  walk / exact    the same search with the walk (exact_threshold=0) or the
                  exact scan (exact_threshold=N+1) forced, to place the threshold;
  numpy+extract   per query: the subset's rows gathered from the base matrix
                  (passing indices precomputed), then one matrix-vector product
                  and a top-10 selection;
  numpy           the same on a subset gathered once beforehand.
With --alternate R, R more rounds per filter of one planner pass followed by
one numpy pass (pre-extracted): the median of their ratios is the figure to
compare, since the machine's memory speed drifts between the passes above.

The collection is built once and kept as a snapshot in bench/data/ (reused
while the settings match). Run pinned to one core on a quiet machine:

    OPENBLAS_NUM_THREADS=1 taskset -c 1 python3 bench/filtered_bench.py [--raw] [--ef 64] [--alternate 7]
"""

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

from karvalith import Karvalith

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
from make_demo_data import read_synsets  # noqa: E402

K = 10
TARGETS = (0.5, 0.1, 0.01, 0.001)
SEED = 1313
CACHE_VERSION = 1


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", type=Path, default=HERE / "data" / "wordnet384.npz")
    p.add_argument("--wordnet", type=Path, default=Path("/usr/share/wordnet"))
    p.add_argument("--synthetic", type=int, default=None, metavar="N",
                   help="use bench/data/clustered384_N.npy (memory_bench.py makes it) instead of --data")
    p.add_argument("--raw", action="store_true", help="store raw vectors (exact scores)")
    p.add_argument("--ef", type=int, default=None, help="search breadth (default: the collection's 50)")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--repeat", type=int, default=2, help="timed passes per measurement; the fastest counts")
    p.add_argument("--no-forced", action="store_true", help="skip the forced walk/exact runs")
    p.add_argument("--alternate", type=int, default=0, metavar="R",
                   help="also run R rounds of one planner pass then one numpy (pre-extracted) pass per filter and "
                        "report the median of the rounds' ratios: the machine's memory speed drifts over minutes, "
                        "and passes next to each other see the same")
    p.add_argument("--out", type=Path, default=None, help="write the results as JSON")
    return p.parse_args()


def categories_of(texts, wordnet):
    """The (category, pos) of the first synset whose "word: gloss" is each text."""
    first = {}
    for s in read_synsets(wordnet):
        first.setdefault(f"{s['word']}: {s['gloss']}", (s["category"], s["pos"]))
    return [first.get(t, ("unknown", "unknown")) for t in texts]


def metadata_columns(n, texts, wordnet):
    rng = np.random.default_rng(SEED)
    bucket = rng.integers(0, 1000, size=n)
    cats = categories_of(texts, wordnet)
    return bucket, np.array([c for c, _ in cats]), np.array([p for _, p in cats])


def synthetic_data(n_total):
    """Base, queries, texts and metadata columns of the synthetic mixture."""
    rows = np.load(HERE / "data" / f"clustered384_{n_total}.npy").astype(np.float32)
    base, queries = rows[:-1000], rows[-1000:]
    n = len(base)
    rng = np.random.default_rng(SEED)
    bucket = rng.integers(0, 1000, size=n)
    centres = base[rng.choice(n, size=100, replace=False)]
    topic = np.concatenate([np.argmax(base[s : s + 20000] @ centres.T, axis=1) for s in range(0, n, 20000)])
    category = np.array([f"topic-{c}" for c in topic])
    texts = [f"document {i}" for i in range(n)]
    return base, queries, texts, bucket, category, np.array(["none"] * n)


def category_filter(category, target):
    """The categories whose total size comes closest to target (largest first, greedy)."""
    names, counts = np.unique(category, return_counts=True)
    n = len(category)
    order = np.argsort(-counts)
    # One category when one is close enough, else a greedy union.
    best = min(range(len(names)), key=lambda i: abs(counts[i] / n - target))
    chosen = [names[best]]
    if abs(counts[best] / n - target) > 0.25 * target:
        chosen, total = [], 0
        for i in order:
            if total + counts[i] <= target * n * 1.1:
                chosen.append(names[i])
                total += counts[i]
    mask = np.isin(category, chosen)
    flt = {"must": [{"field": "category", "op": "in", "values": chosen}]}
    return flt, mask, chosen


def exact_truth(base64, queries64, idx):
    """Top-K base rows among idx per query, by cosine in float64."""
    sub = base64[idx]
    out = np.empty((len(queries64), K), dtype=np.int64)
    for start in range(0, len(queries64), 200):
        s = queries64[start : start + 200] @ sub.T
        part = np.argpartition(-s, min(K, len(idx) - 1), axis=1)[:, :K]
        for r in range(len(s)):
            cand = part[r]
            out[start + r] = idx[cand[np.argsort(-s[r, cand], kind="stable")]]
    return out


def recall(found, truth):
    hits = sum(len(set(f) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / (len(truth) * K)


def build_or_open(args, base, bucket, category, pos, ids_text):
    mode = "raw" if args.raw else "compact"
    source = "synthetic_" if args.synthetic else ""
    data_dir = HERE / "data" / f"filtered_{source}{mode}_v{CACHE_VERSION}_{len(base)}"
    marker = data_dir / "built.json"
    if marker.exists():
        t0 = time.perf_counter()
        db = Karvalith(data_dir=str(data_dir))
        print(f"opened the cached collection in {time.perf_counter() - t0:.1f} s ({data_dir})", flush=True)
        return db, json.loads(marker.read_text())["ids"]
    db = Karvalith(data_dir=str(data_dir))
    if "docs" in db.list_collections():
        db.delete_collection("docs")
    db.create_collection("docs", base.shape[1], distance_metric="cosine", store_raw_vectors=args.raw)
    t0 = time.perf_counter()
    ids = []
    for start in range(0, len(base), 1000):
        batch = []
        for i in range(start, min(start + 1000, len(base))):
            batch.append({
                "text": ids_text[i],
                "embedding": base[i],
                "metadata": {"bucket": int(bucket[i]), "category": str(category[i]), "pos": str(pos[i])},
            })
        ids.extend(db.batch_insert("docs", batch))
        if (start // 1000) % 10 == 0:
            el = time.perf_counter() - t0
            print(f"  inserted {start + len(batch):,} in {el:.0f} s", flush=True)
    print(f"built in {time.perf_counter() - t0:.0f} s", flush=True)
    db.compact()
    marker.write_text(json.dumps({"ids": ids}))
    return db, ids


def time_passes(fn, repeat):
    best, out = None, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        el = time.perf_counter() - t0
        best = el if best is None else min(best, el)
    return best, out


def main():
    args = parse_args()
    if args.synthetic:
        base, queries, texts, bucket, category, pos = synthetic_data(args.synthetic)
        queries = queries[: args.queries]
    else:
        data = np.load(args.data)
        base = data["base"]
        queries = data["queries"][: args.queries]
        meta = json.loads(bytes(data["meta"]).decode())
        texts = meta["base_texts"]
        bucket, category, pos = metadata_columns(len(base), texts, args.wordnet)
    n = len(base)

    db, ids = build_or_open(args, base, bucket, category, pos, texts)
    row_of = {doc_id: i for i, doc_id in enumerate(ids)}
    base64 = base.astype(np.float64)
    base64 /= np.linalg.norm(base64, axis=1, keepdims=True)
    queries64 = queries.astype(np.float64)
    queries64 /= np.linalg.norm(queries64, axis=1, keepdims=True)
    qlist = [q for q in queries]
    ef = {} if args.ef is None else {"ef": args.ef}

    def karvalith_run(flt, passes=None, **extra):
        def run():
            found = []
            for q in qlist:
                hits = db.search("docs", query_embedding=q, k=K, filter=flt, **ef, **extra)
                found.append([row_of[h.id] for h in hits])
            return found
        seconds, found = time_passes(run, passes or args.repeat)
        return len(qlist) / seconds, found

    def numpy_run(idx, pre_extracted, passes=None):
        sub_fixed = base[idx] if pre_extracted else None
        def run():
            found = []
            for q in qlist:
                sub = sub_fixed if pre_extracted else base[idx]
                s = sub @ q
                kk = min(K, len(idx))
                part = np.argpartition(-s, kk - 1)[:kk]
                found.append(idx[part[np.argsort(-s[part])]].tolist())
            return found
        seconds, found = time_passes(run, passes or args.repeat)
        return len(qlist) / seconds, found

    results = {"machine": platform.processor() or platform.machine(), "load_before": os.getloadavg(),
               "data": f"clustered384_{args.synthetic}" if args.synthetic else str(args.data),
               "n": n, "raw": args.raw, "ef": args.ef, "rows": []}
    all_idx = np.arange(n)
    truth = exact_truth(base64, queries64, all_idx)
    qps, found = karvalith_run(None)
    unfiltered = {"qps": qps, "recall": recall(found, truth)}
    results["unfiltered"] = unfiltered
    print(f"unfiltered: recall@10 {unfiltered['recall']:.4f}, {qps:,.0f} q/s", flush=True)

    filters = []
    for target in TARGETS:
        limit = max(1, int(round(target * 1000)))
        filters.append(("random", target, {"must": [{"field": "bucket", "op": "lt", "value": limit}]},
                        bucket < limit, f"bucket lt {limit}"))
    for target in TARGETS:
        flt, mask, chosen = category_filter(category, target)
        label = ", ".join(chosen) if len(chosen) <= 3 else f"{len(chosen)} categories"
        filters.append(("category", target, flt, mask, label))

    header = (f"{'filter':9} {'target':>7} {'passing':>8} | {'planner rec':>11} {'q/s':>8} | "
              f"{'walk rec':>8} {'q/s':>8} | {'exact rec':>9} {'q/s':>8} | {'np+extract':>10} {'numpy':>8}")
    print(header)
    for kind, target, flt, mask, label in filters:
        idx = np.flatnonzero(mask)
        t = exact_truth(base64, queries64, idx)
        row = {"kind": kind, "target": target, "passing": int(len(idx)), "label": label}
        row["qps"], f = karvalith_run(flt)
        row["recall"] = recall(f, t)
        if not args.no_forced:
            row["walk_qps"], f = karvalith_run(flt, exact_threshold=0)
            row["walk_recall"] = recall(f, t)
            row["exact_qps"], f = karvalith_run(flt, exact_threshold=n + 1)
            row["exact_recall"] = recall(f, t)
        row["numpy_extract_qps"], _ = numpy_run(idx, False)
        row["numpy_qps"], _ = numpy_run(idx, True)
        if args.alternate:
            ratios = []
            for _ in range(args.alternate):
                ours, _ = karvalith_run(flt, passes=1)
                theirs, _ = numpy_run(idx, True, passes=1)
                ratios.append(ours / theirs)
            row["alternated_ratios"] = ratios
            row["alternated_ratio_median"] = float(np.median(ratios))
        results["rows"].append(row)
        print(f"{kind:9} {target:7.1%} {len(idx):8,} | {row['recall']:11.4f} {row['qps']:8,.0f} | "
              f"{row.get('walk_recall', float('nan')):8.4f} {row.get('walk_qps', float('nan')):8,.0f} | "
              f"{row.get('exact_recall', float('nan')):9.4f} {row.get('exact_qps', float('nan')):8,.0f} | "
              f"{row['numpy_extract_qps']:10,.0f} {row['numpy_qps']:8,.0f}   {label}", flush=True)
        if args.alternate:
            spread = ", ".join(f"{r:.2f}" for r in sorted(row["alternated_ratios"]))
            print(f"          planner / numpy alternated: median {row['alternated_ratio_median']:.2f}x ({spread})",
                  flush=True)
    results["load_after"] = os.getloadavg()
    print(f"load average before {results['load_before']}, after {results['load_after']}")
    if args.out:
        args.out.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
