"""Benchmark of sharded collections (karvalith.distributed) on Ray.

For 1, 2 and 4 shards: ingest rate (batch_insert in batches of 1000, each
batch split per shard and sent in parallel, one fsync per shard part) and
query rates for vector, keyword and hybrid search, with one client thread
(latency-bound) and with several (throughput). Against a direct persistent
handle in this process with the same documents: the scatter-gather overhead
per query, split into the merge work (shards in this process, no Ray) and
the Ray round trips. Then a projection, from the per-shard figures measured
here, of what 10 machines would hold and serve.

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
        ray.init(num_cpus=a.num_cpus, include_dashboard=False, logging_level="warning", log_to_driver=False,
                 runtime_env={"env_vars": {"PYTHONPATH": path}})
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Ray {ray.__version__}, load average at start {load_average()}")
    texts = texts_for(a.n, a.corpus, a.seed)
    base = vectors(a.n, a.seed, 1)
    docs = [{"text": texts[i], "embedding": base[i], "metadata": {"bucket": i % 100}} for i in range(a.n)]
    queries = query_sets(a, texts)
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

        # Shards in this process: the merge's own cost, without Ray.
        local = ShardedCollection.create("c", DIM, shards=2, data_dir=os.path.join(work, "local"), in_process=True)
        local.batch_insert(docs)
        local_rates = {kind: rate(local.search, calls) for kind, calls in queries.items()}
        local.close()

        per_shard = {}
        for shards in [int(s) for s in a.shards.split(",")]:
            sharded = ShardedCollection.create("c", DIM, shards=shards, data_dir=os.path.join(work, f"ray{shards}"))
            docs_per_s = ingest(sharded.batch_insert, docs)
            one = {kind: rate(sharded.search, calls) for kind, calls in queries.items()}
            many = {kind: rate(sharded.search, calls, a.clients) for kind, calls in queries.items()}
            rows.append((f"{shards} shard{'s' if shards > 1 else ''} on Ray", docs_per_s, one, many))
            per_shard[shards] = (docs_per_s, one, many)
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
    print("\nProjection for 10 machines like this one (2 cores, 24 GiB), one shard per machine:")
    print(f"  index memory {bytes_per_doc:,.0f} B/document (estimated_memory_bytes at d = {DIM}); with 60% of "
          f"24 GiB for shards a machine holds ~{docs_per_machine / 1e6:,.0f} M documents, 10 machines "
          f"~{10 * docs_per_machine / 1e6:,.0f} M")
    if one_shard:
        print(f"  ingest: one shard took {one_shard[0]:,.0f} docs/s here; shards ingest independently, so 10 "
              f"would take ~{10 * one_shard[0]:,.0f} docs/s if the client spreads batches (HNSW insertion "
              f"cost grows slowly with shard size)")
        print(f"  queries: every query visits every shard, so cluster query rate ~ one shard's rate at its size: "
              f"here {one_shard[2]['vector']:,.0f} vector q/s per shard with {a.clients} clients; "
              "replicas (more actors per shard directory copy) are what would multiply it")


if __name__ == "__main__":
    main()
