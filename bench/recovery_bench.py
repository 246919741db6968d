"""Reopen time after a crash, with and without the automatic checkpoint.

A child process inserts N documents in batches into a fresh data directory
and is killed (SIGKILL) without closing; the parent then times the open of
that directory. Run once with the default automatic checkpoint and once with
it turned off (the whole log is replayed then).

    PYTHONPATH=<dir holding karvalith> python3 bench/recovery_bench.py [--n 100000] [--dim 128] [--modes on,off]

With the default threshold (10,000 logged documents) a crash at a multiple of
10,000 documents finds the log just emptied; --n 99500 shows the longest replay
(9,500 documents in the log).
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

CHILD = textwrap.dedent(
    """
    import os, signal, sys
    import numpy as np
    from karvalith import Karvalith
    data_dir, n, dim, batch, auto = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    kwargs = {} if auto == "on" else {"auto_checkpoint_bytes": 0, "auto_checkpoint_records": 0}
    db = Karvalith(data_dir, **kwargs)
    db.create_collection("c", dim)
    rng = np.random.default_rng(7)
    for start in range(0, n, batch):
        count = min(batch, n - start)
        vectors = rng.standard_normal((count, dim), dtype=np.float32)
        db.batch_insert("c", [{"text": f"document {start + i}", "embedding": vectors[i]} for i in range(count)])
    status = db.status()
    print(status["log_bytes"], status["log_records"], flush=True)
    os.kill(os.getpid(), signal.SIGKILL)
    """
)


def run(root, n, dim, batch, auto):
    data_dir = os.path.join(root, f"auto-{auto}")
    start = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", CHILD, data_dir, str(n), str(dim), str(batch), auto],
                           capture_output=True, text=True)
    fill_seconds = time.perf_counter() - start
    assert child.returncode == -signal.SIGKILL, child.stderr
    log_bytes, log_records = map(int, child.stdout.split())
    from karvalith import Karvalith

    start = time.perf_counter()
    db = Karvalith(data_dir, auto_checkpoint_bytes=0, auto_checkpoint_records=0)
    reopen_seconds = time.perf_counter() - start
    count = db.collection_info("c").document_count
    db.close()
    assert count == n, (count, n)
    return fill_seconds, log_bytes, log_records, reopen_seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--dir", default=None, help="parent directory for the data (default: temp)")
    parser.add_argument("--modes", default="on,off", help="automatic checkpoint on, off, or both")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="kv-recovery-bench-", dir=args.dir)
    try:
        print(f"| automatic checkpoint | documents | log at the crash | reopen |")
        print(f"|---|---|---|---|")
        for auto in args.modes.split(","):
            fill, log_bytes, log_records, reopen = run(root, args.n, args.dim, args.batch, auto)
            print(f"| {auto} | {args.n:,} (d={args.dim}, inserted in {fill:.0f} s) | "
                  f"{log_bytes / (1 << 20):.1f} MiB, {log_records:,} documents | {reopen:.2f} s |", flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
