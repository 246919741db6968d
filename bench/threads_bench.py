"""Python threads on one handle: search throughput with one and two threads,
and how long a thread that only sleeps waits while another thread rebuilds or
compacts.

Every core call runs without the interpreter lock, so two searching threads
use two cores, and a rebuild or compact never keeps other threads from
running. The sleeper calls time.sleep(0.001) in a loop and records how far
past 1 ms each wake-up came.

    python3 bench/threads_bench.py [--n 100000] [--dim 128] [--seconds 5]
"""

import argparse
import os
import platform
import statistics
import tempfile
import threading
import time

import numpy as np

from karvalith import Karvalith

CLUSTERS = 100
NOISE = 0.35
K = 10


def clustered(n, dim, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((CLUSTERS, dim), dtype=np.float32)
    labels = rng.integers(0, CLUSTERS, n)
    return (centres[labels] + NOISE * rng.standard_normal((n, dim), dtype=np.float32)).astype(np.float32)


def build(db, vectors):
    db.create_collection("c", vectors.shape[1])
    started = time.perf_counter()
    for start in range(0, len(vectors), 1000):
        db.batch_insert("c", [{"text": f"doc {start + i}", "embedding": v, "metadata": {"g": (start + i) % 10}}
                              for i, v in enumerate(vectors[start:start + 1000])])
    return time.perf_counter() - started


def search_rate(db, queries, threads, seconds):
    """Queries per second summed over `threads` threads searching for `seconds`."""
    counts = [0] * threads
    stop = threading.Event()
    go = threading.Barrier(threads + 1)

    def run(t):
        go.wait()
        i = t
        while not stop.is_set():
            db.search("c", query_embedding=queries[i % len(queries)], k=K)
            i += threads
            counts[t] += 1

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    go.wait()
    started = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - started)


def sleeper_delays(work):
    """Wake-up delays (ms past the 1 ms asked for) of a sleeping thread while `work` runs."""
    delays = []
    stop = threading.Event()

    def sleeper():
        while not stop.is_set():
            t0 = time.perf_counter()
            time.sleep(0.001)
            delays.append((time.perf_counter() - t0) * 1000.0 - 1.0)

    thread = threading.Thread(target=sleeper)
    thread.start()
    time.sleep(0.05)
    started = time.perf_counter()
    work()
    took = time.perf_counter() - started
    stop.set()
    thread.join()
    return took, delays


def describe(delays):
    ordered = sorted(delays)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    return f"{len(delays)} wake-ups, median {statistics.median(delays):.3f} ms, p99 {p99:.3f} ms, max {max(delays):.3f} ms late"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--seconds", type=float, default=5.0, help="length of each search run")
    args = p.parse_args()

    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    vectors = clustered(args.n, args.dim, 1)
    queries = clustered(1000, args.dim, 2)
    with tempfile.TemporaryDirectory() as data:
        db = Karvalith(data_dir=data)
        took = build(db, vectors)
        print(f"built {args.n} x {args.dim} in {took:.1f} s ({args.n / took:,.0f} docs/s)")

        one = search_rate(db, queries, 1, args.seconds)
        two = search_rate(db, queries, 2, args.seconds)
        print(f"search, one thread:  {one:,.0f} queries/s")
        print(f"search, two threads: {two:,.0f} queries/s ({two / one:.2f}x)")

        took, delays = sleeper_delays(lambda: db.rebuild("c"))
        print(f"sleeper during a {took:.1f} s rebuild: {describe(delays)}")
        took, delays = sleeper_delays(db.compact)
        print(f"sleeper during a {took:.2f} s compact: {describe(delays)}")
        took, delays = sleeper_delays(lambda: time.sleep(1.0))
        print(f"sleeper alone for {took:.1f} s: {describe(delays)}")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
