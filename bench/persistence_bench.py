"""Persistence costs through the public API.

Measures durable single inserts (one fsync each), batch_insert throughput for
several batch sizes, the open-and-replay time of a log of N single inserts,
and compact of N documents. Prints a Markdown table.

    PYTHONPATH=<dir holding karvalith> python3 bench/persistence_bench.py [--n 100000] [--dim 128]
"""

import argparse
import os
import shutil
import tempfile
import time

import numpy as np

from karvalith import Karvalith


def vectors(count, dim, seed):
    return np.random.default_rng(seed).standard_normal((count, dim), dtype=np.float32)


# The log is measured whole: no automatic checkpoint empties it.
WHOLE_LOG = {"auto_checkpoint_bytes": 0, "auto_checkpoint_records": 0}


def fill_log(data_dir, n, dim, seed):
    """N single inserts, each its own log record; returns the seconds taken."""
    db = Karvalith(data_dir, **WHOLE_LOG)
    db.create_collection("c", dim)
    embeddings = vectors(n, dim, seed)
    start = time.perf_counter()
    for i in range(n):
        db.insert("c", f"document {i} about topic{i % 97}", embeddings[i], {"i": i})
    return time.perf_counter() - start, db


def file_mib(path):
    return os.path.getsize(path) / (1 << 20)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000, help="documents for replay and compact")
    parser.add_argument("--singles", type=int, default=2000, help="durable single inserts timed")
    parser.add_argument("--batch-docs", type=int, default=10_000, help="documents per batch-size run")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--dir", default=None, help="parent directory for the data (default: temp)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="kv-persist-bench-", dir=args.dir)
    rows = []
    try:
        # Durable single inserts.
        seconds, db = fill_log(os.path.join(root, "singles"), args.singles, args.dim, 1)
        del db
        rows.append((f"single insert, d={args.dim} (fsync each)", f"{args.singles / seconds:,.0f} docs/s",
                     f"{seconds / args.singles * 1e6:,.0f} us/insert"))

        # The same inserts without a log, for the share the log adds.
        db = Karvalith()
        db.create_collection("c", args.dim)
        embeddings = vectors(args.singles, args.dim, 1)
        start = time.perf_counter()
        for i in range(args.singles):
            db.insert("c", f"document {i} about topic{i % 97}", embeddings[i], {"i": i})
        seconds = time.perf_counter() - start
        del db
        rows.append((f"single insert, d={args.dim}, ephemeral (no log)", f"{args.singles / seconds:,.0f} docs/s",
                     f"{seconds / args.singles * 1e6:,.0f} us/insert"))

        # batch_insert throughput.
        for size in (1, 10, 100, 1000):
            db = Karvalith(os.path.join(root, f"batch{size}"), **WHOLE_LOG)
            db.create_collection("c", args.dim)
            embeddings = vectors(args.batch_docs, args.dim, 2)
            docs = [{"text": f"document {i}", "embedding": embeddings[i]} for i in range(args.batch_docs)]
            start = time.perf_counter()
            for at in range(0, args.batch_docs, size):
                db.batch_insert("c", docs[at:at + size])
            seconds = time.perf_counter() - start
            rows.append((f"batch_insert, batches of {size}, d={args.dim}",
                         f"{args.batch_docs / seconds:,.0f} docs/s",
                         f"{seconds / (args.batch_docs / size) * 1e3:,.2f} ms/batch"))
            del db

        # Open and replay a log of N single inserts.
        big = os.path.join(root, "big")
        seconds, db = fill_log(big, args.n, args.dim, 3)
        del db
        wal = os.path.join(big, "wal.bin")
        rows.append((f"building the log: {args.n:,} single inserts", f"{seconds:,.1f} s",
                     f"wal.bin {file_mib(wal):,.1f} MiB"))
        start = time.perf_counter()
        db = Karvalith(big, **WHOLE_LOG)
        seconds = time.perf_counter() - start
        assert db.collection_info("c").document_count == args.n
        rows.append((f"open + replay, log of {args.n:,} inserts", f"{seconds:,.1f} s",
                     f"{args.n / seconds:,.0f} records/s"))

        # Compact N documents, then open from the snapshot alone.
        start = time.perf_counter()
        db.compact()
        seconds = time.perf_counter() - start
        rows.append((f"compact, {args.n:,} docs d={args.dim}", f"{seconds:,.2f} s",
                     f"c.kvl {file_mib(os.path.join(big, 'c.kvl')):,.1f} MiB"))
        del db
        start = time.perf_counter()
        db = Karvalith(big)
        seconds = time.perf_counter() - start
        assert db.collection_info("c").document_count == args.n
        rows.append((f"open after compact, {args.n:,} docs", f"{seconds:,.2f} s", "snapshot only"))
        del db
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print("| operation | result | detail |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
