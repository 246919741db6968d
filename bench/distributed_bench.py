"""Benchmark of sharded collections (karvalith.distributed) on Ray.

For 1, 2 and 4 shards: ingest rate (batch_insert in batches of 1000, each
batch split per shard and sent in parallel, one fsync per shard part; and
write_dataset from a materialized Ray Dataset of the same documents), query
rates for vector, keyword and hybrid search one query per call, with one
client thread (latency-bound) and with several, and batch_search rates (slices
of 1024 queries in flight, and one call per shard per batch), each against a
direct persistent handle in this process with the same documents; the cost of
a one-query call; the scatter-gather overhead per query, split into the merge
work (shards in this process, no Ray) and the Ray round trips. Then a
projection, from the figures measured here, of what S machines would hold and
serve, with its assumptions.

Documents: clustered d=128 vectors (100 Gaussian centres, noise 0.35, fixed
seed) with WordNet gloss texts when /usr/share/wordnet is there (else
generated words), metadata {"bucket": i % 100}.

    python3 bench/distributed_bench.py [--n 20000] [--shards 1,2,4] [--address auto]

The package must be importable (pip install . or PYTHONPATH); Ray's workers
get this process's PYTHONPATH.
"""

import argparse
import os
import pathlib
import platform
import random
import re
import shutil
import statistics
import tempfile
import threading
import time
import uuid

import numpy as np

from karvalith import Karvalith
from karvalith.distributed import ShardedCollection

DIM = 128
CLUSTERS = 100
NOISE = 0.35
BATCH = 1000
K = 10


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=20_000, help="documents (default 20000)")
    p.add_argument("--shards", default="1,2,4", help="shard counts to measure")
    p.add_argument("--queries", type=int, default=400, help="queries per kind and configuration")
    p.add_argument("--batch-queries", type=int, default=4000, help="queries per kind for the batch_search figures")
    p.add_argument("--batch", type=int, default=4000, help="queries per batch_search call")
    p.add_argument("--clients", type=int, default=4, help="client threads for the throughput figures")
    p.add_argument("--address", help="an existing Ray cluster (default: a local instance)")
    p.add_argument("--num-cpus", type=int, default=os.cpu_count(), help="CPUs of the local Ray instance")
    p.add_argument("--corpus", default="/usr/share/wordnet")
    p.add_argument("--seed", type=int, default=42)
    return p.parse_args()


# ---------------------------------------------------------------- data


def texts_for(n, corpus, seed):
    texts = []
    if os.path.isdir(corpus):
        for pos in ("noun", "verb", "adj", "adv"):
            path = os.path.join(corpus, "data." + pos)
            if not os.path.exists(path):
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    bar = line.find(" | ")
                    if not line.startswith("  ") and bar >= 0:
                        texts.append(line[bar + 3:].rstrip(" \r\n"))
    if not texts:
        rng = random.Random(seed)
        vocabulary = [f"w{i}" for i in range(5000)]
        texts = [" ".join(rng.choices(vocabulary, k=rng.randint(3, 15))) for _ in range(n)]
    return [texts[i % len(texts)] for i in range(n)]


def vectors(count, seed, stream):
    centres = np.random.default_rng(seed).standard_normal((CLUSTERS, DIM), dtype=np.float32)
    rng = np.random.default_rng([seed, stream])
    picks = rng.integers(0, CLUSTERS, size=count)
    return (centres[picks] + rng.normal(0.0, NOISE, size=(count, DIM))).astype(np.float32)


def keyword_queries(texts, count, seed):
    words = [w for t in texts[:20000] for w in re.findall(r"[a-z]{4,}", t.lower())]
    rng = random.Random(seed)
    return [" ".join(rng.choice(words) for _ in range(rng.randint(1, 3))) for _ in range(count)]


# ---------------------------------------------------------------- timing


def ingest(insert, docs):
    start = time.perf_counter()
    for first in range(0, len(docs), BATCH):
        insert(docs[first:first + BATCH])
    return len(docs) / (time.perf_counter() - start)


def rate(search, calls, clients=1):
    """Queries per second of `search(**call)` over `calls`, from `clients` threads."""
    if clients == 1:
        start = time.perf_counter()
        for call in calls:
            search(**call)
        return len(calls) / (time.perf_counter() - start)
    share = [calls[i::clients] for i in range(clients)]

    def run(part):
        for call in part:
            search(**call)

    threads = [threading.Thread(target=run, args=(part,)) for part in share]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(calls) / (time.perf_counter() - start)


def batch_rate(batch_search, batch, size, repeats=1):
    """Queries per second of batch_search over `batch` (dict of query lists
    and options) in calls of `size` queries; best of `repeats` passes, after
    one untimed call of `size` queries."""
    lists = {key: value for key, value in batch.items() if key in ("query_embeddings", "query_texts")}
    options = {key: value for key, value in batch.items() if key not in lists}
    count = len(next(iter(lists.values())))
    batch_search(**{key: value[:size] for key, value in lists.items()}, **options)
    best = 0.0
    for _ in range(repeats):
        start = time.perf_counter()
        for first in range(0, count, size):
            batch_search(**{key: value[first:first + size] for key, value in lists.items()}, **options)
        best = max(best, count / (time.perf_counter() - start))
    return best


def call_overhead(search, call, calls=300):
    """Microseconds per call of a one-query call (median of `calls`)."""
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        search(**call)
        times.append(time.perf_counter() - start)
    return 1e6 * statistics.median(times)


def batch_sets(a, texts):
    qv = vectors(a.batch_queries, a.seed, 3)
    qt = keyword_queries(texts, a.batch_queries, a.seed + 1)
    return {
        "vector": dict(query_embeddings=qv, k=K),
        "keyword": dict(query_texts=qt, k=K),
        "hybrid": dict(query_embeddings=qv, query_texts=qt, k=K),
    }


def query_sets(a, texts):
    qv = vectors(a.queries, a.seed, 2)
    qt = keyword_queries(texts, a.queries, a.seed)
    return {
        "vector": [dict(query_embedding=qv[i], k=K) for i in range(a.queries)],
        "keyword": [dict(query_text=qt[i], k=K) for i in range(a.queries)],
        "hybrid": [dict(query_embedding=qv[i], query_text=qt[i], k=K) for i in range(a.queries)],
    }


def load_average():
    try:
        return "/".join(f"{x:.1f}" for x in os.getloadavg())
    except OSError:
        return "?"


def main():
    a = parse_args()
    # Single-machine mode: every Ray process listens on 127.0.0.1 only.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    import ray

    package_root = str(pathlib.Path(__import__("karvalith").__file__).resolve().parent.parent)
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    if a.address:
        ray.init(address=a.address, runtime_env={"env_vars": {"PYTHONPATH": path}}, logging_level="warning")
    else:
        ray.init(address="local", num_cpus=a.num_cpus, include_dashboard=False, logging_level="warning", log_to_driver=False,
                 runtime_env={"env_vars": {"PYTHONPATH": path}})
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Ray {ray.__version__}, load average at start {load_average()}")
    texts = texts_for(a.n, a.corpus, a.seed)
    base = vectors(a.n, a.seed, 1)
    docs = [{"text": texts[i], "embedding": base[i], "metadata": {"bucket": i % 100}} for i in range(a.n)]
    queries = query_sets(a, texts)
    batches = batch_sets(a, texts)
    work = tempfile.mkdtemp(prefix="karvalith-dist-bench-")
    rows = []
    try:
        # Direct persistent handle: the baseline.
        db = Karvalith(data_dir=os.path.join(work, "direct"))
        db.create_collection("c", DIM)
        direct_ingest = ingest(lambda part: db.batch_insert("c", part), docs)
        direct = {kind: rate(lambda **q: db.search("c", **q), calls) for kind, calls in queries.items()}
        memory = db.collection_info("c").estimated_memory_bytes
        rows.append(("direct handle", direct_ingest, direct, None))
        direct_batch = {kind: batch_rate(lambda **q: db.batch_search("c", **q), batch, a.batch, 3)
                        for kind, batch in batches.items()}
        one_query = dict(query_embeddings=batches["vector"]["query_embeddings"][:1], k=K)
        overhead = {"direct handle": call_overhead(lambda **q: db.batch_search("c", **q), one_query)}
        batch_rows = [("direct handle", direct_batch, None)]

        # Shards in this process: the merge's own cost, without Ray.
        local = ShardedCollection.create("c", DIM, shards=2, data_dir=os.path.join(work, "local"), in_process=True)
        local.batch_insert(docs)
        local_rates = {kind: rate(local.search, calls) for kind, calls in queries.items()}
        # The client's own share of a sharded batch: the whole call less the
        # shards' work on the same queries (in-process shards, no transport).
        rows_q = batches["vector"]["query_embeddings"][:a.batch]
        options = {"k": K, "min_similarity": None, "filter": None, "ef": None, "num_threads": 0,
                   "exact_threshold": None}

        def shards_alone():
            for shard in local._shards._shards:  # the in-process shard objects
                shard.batch_search(options, rows_q, None)

        def whole_call():
            local.batch_search(rows_q, k=K, queries_per_call=len(rows_q))

        def fastest(run, passes=5):
            times = []
            for _ in range(passes):
                start = time.perf_counter()
                run()
                times.append(time.perf_counter() - start)
            return min(times)

        merge = max(0.0, (fastest(whole_call) - fastest(shards_alone)) / (2 * len(rows_q)))
        local.close()

        per_shard = {}
        # The same documents as a Ray Dataset, materialized in the object
        # store before timing, as one read from files would be.
        dataset = ray.data.from_items([{"id": str(uuid.UUID(int=i + 1)), "text": texts[i], "embedding": base[i],
                                        "metadata": {"bucket": i % 100}} for i in range(a.n)]).materialize()
        dataset_rates = {}
        # Ray Data's first execution starts its machinery: done once, untimed.
        warm = ShardedCollection.create("c", DIM, shards=1, data_dir=os.path.join(work, "warm"))
        warm.write_dataset(dataset.limit(BATCH), batch_size=BATCH)
        warm.close()
        for shards in [int(s) for s in a.shards.split(",")]:
            sharded = ShardedCollection.create("c", DIM, shards=shards, data_dir=os.path.join(work, f"ray{shards}"))
            docs_per_s = ingest(sharded.batch_insert, docs)
            one = {kind: rate(sharded.search, calls) for kind, calls in queries.items()}
            many = {kind: rate(sharded.search, calls, a.clients) for kind, calls in queries.items()}
            streamed = ShardedCollection.create("c", DIM, shards=shards, data_dir=os.path.join(work, f"data{shards}"))
            start = time.perf_counter()
            streamed.write_dataset(dataset, batch_size=BATCH)
            dataset_rates[shards] = a.n / (time.perf_counter() - start)
            streamed.close()
            name = f"{shards} shard{'s' if shards > 1 else ''} on Ray"
            rows.append((name, docs_per_s, one, many))
            per_shard[shards] = (docs_per_s, one, many)
            piped = {kind: batch_rate(sharded.batch_search, batch, a.batch, 3) for kind, batch in batches.items()}
            whole = {kind: batch_rate(lambda **q: sharded.batch_search(**q, queries_per_call=a.batch), batch,
                                      a.batch, 3) for kind, batch in batches.items()}
            batch_rows.append((name, piped, whole))
            overhead[name] = call_overhead(sharded.batch_search, one_query)
            sharded.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"\n{a.n} documents, d = {DIM}, k = {K}, {a.queries} queries per kind; "
          f"throughput with {a.clients} client threads; load average at end {load_average()}\n")
    print("| configuration | ingest docs/s | vector q/s | keyword q/s | hybrid q/s |")
    print("|---|---|---|---|---|")
    for name, docs_per_s, one, many in rows:
        cells = [f"{one[k]:,.0f}" + (f" / {many[k]:,.0f}" if many else "") for k in ("vector", "keyword", "hybrid")]
        print(f"| {name} | {docs_per_s:,.0f} | " + " | ".join(cells) + " |")
    print("\n(x / y: one client thread / several)\n")

    print("Ingest from a Ray Dataset (write_dataset: Ray Data's write tasks send each shard its rows in batches of "
          f"{BATCH}) against the client's batch_insert of the same documents:\n")
    print("| shards | write_dataset docs/s | batch_insert docs/s | ratio |")
    print("|---|---|---|---|")
    for shards, rate_ds in dataset_rates.items():
        print(f"| {shards} | {rate_ds:,.0f} | {per_shard[shards][0]:,.0f} | {rate_ds / per_shard[shards][0]:.2f}x |")
    print()
    print(f"batch_search, {a.batch_queries} queries per kind in calls of {a.batch} (best of 3 passes):\n")
    print("| configuration | vector q/s | keyword q/s | hybrid q/s | vector / direct |")
    print("|---|---|---|---|---|")
    for name, piped, whole in batch_rows:
        cells = [f"{piped[k]:,.0f}" + (f" ({whole[k]:,.0f})" if whole else "") for k in ("vector", "keyword", "hybrid")]
        print(f"| {name} | " + " | ".join(cells) + f" | {piped['vector'] / direct_batch['vector']:.2f}x |")
    print("\n(x (y): slices of 1024 queries in flight together (the default) (one call per shard per batch))\n")
    print("| configuration | one-query batch_search call, median us |")
    print("|---|---|")
    for name, micros in overhead.items():
        print(f"| {name} | {micros:,.0f} |")
    print()

    print("Scatter-gather overhead per query against the direct handle (one client thread):\n")
    print("| kind | direct us | 2 shards in-process us (merge) | 1 shard on Ray us | overhead on Ray us |")
    print("|---|---|---|---|---|")
    for kind in ("vector", "keyword", "hybrid"):
        d = 1e6 / direct[kind]
        m = 1e6 / local_rates[kind]
        if 1 in per_shard:
            r = 1e6 / per_shard[1][1][kind]
            print(f"| {kind} | {d:,.0f} | {m:,.0f} | {r:,.0f} | {r - d:,.0f} |")
        else:
            print(f"| {kind} | {d:,.0f} | {m:,.0f} | - | - |")

    # Projection from measured per-shard figures.
    bytes_per_doc = memory / a.n
    usable = 0.6 * 24 * 2**30  # a 24 GiB machine, leaving room for Ray, the log and snapshots
    docs_per_machine = usable / bytes_per_doc
    one_shard = per_shard.get(1)
    print("\nProjection for machines like this one (2 cores, 24 GiB), one shard per machine:")
    print(f"  index memory {bytes_per_doc:,.0f} B/document (estimated_memory_bytes at d = {DIM}); with 60% of "
          f"24 GiB for shards a machine holds ~{docs_per_machine / 1e6:,.0f} M documents")
    if one_shard:
        shard_rate = batch_rows[1][1]["vector"] if len(batch_rows) > 1 else 0.0
        print(f"  ingest: one shard took {one_shard[0]:,.0f} docs/s through the client and "
              f"{dataset_rates.get(1, 0):,.0f} from a Ray Dataset here; shards ingest independently, so S machines "
              f"would take ~S times that when the writers are spread (write_dataset's tasks are)")
        print(f"  vector queries in batches: one shard answers {shard_rate:,.0f} q/s through Ray (its machine's "
              f"cores shared with the client here); the client spends {1e6 * merge:,.1f} us per query per shard "
              f"merging. Every query visits every shard, so with S machines of one shard each the batch rate is "
              f"about min(one shard's rate, 1 / (S x merge cost)), and the capacity S x one machine's:")
        print()
        print("  | machines | documents (M) | batch vector q/s (one client) |")
        print("  |---|---|---|")
        for machines in (1, 2, 4, 8, 16):
            projected = min(shard_rate, 1 / (machines * merge)) if merge else shard_rate
            print(f"  | {machines} | {machines * docs_per_machine / 1e6:,.0f} | {projected:,.0f} |")
        print("\n  Assumptions: one shard per machine at this machine's speed, its whole index in memory; the "
              "network adds latency, not per-query work, since slices are pipelined; one client process merges "
              "(more clients, each with its own batches, multiply the merge side). Query throughput per machine "
              "grows only with replicas of a shard, which this library does not make.")


if __name__ == "__main__":
    main()
