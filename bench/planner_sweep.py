"""Where the filtered walk and the exact scan meet: both forced, for random and
topic-correlated filters passing 5-30% of the synthetic mixture's documents,
queries/s and recall@10 against the exact float64 top 10 of the passing ones.
Uses the collection filtered_bench.py --synthetic N caches (run that first).

    OPENBLAS_NUM_THREADS=1 taskset -c 1 python3 bench/planner_sweep.py [--synthetic 38600] [--queries 500]
"""

import argparse
import json
import os
import time

import numpy as np

import filtered_bench as fb
from karvalith import Karvalith

SHARES = (0.05, 0.1, 0.15, 0.2, 0.3)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--synthetic", type=int, default=38600)
    p.add_argument("--queries", type=int, default=500)
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    base, queries, _texts, bucket, category, _pos = fb.synthetic_data(args.synthetic)
    queries = queries[: args.queries]
    data_dir = fb.HERE / "data" / f"filtered_synthetic_compact_v{fb.CACHE_VERSION}_{len(base)}"
    if not (data_dir / "built.json").exists():
        raise SystemExit(f"run filtered_bench.py --synthetic {args.synthetic} first ({data_dir} is missing)")
    db = Karvalith(data_dir=str(data_dir))
    row_of = {doc_id: i for i, doc_id in enumerate(json.loads((data_dir / "built.json").read_text())["ids"])}
    base64 = base.astype(np.float64)
    base64 /= np.linalg.norm(base64, axis=1, keepdims=True)
    queries64 = queries.astype(np.float64)
    queries64 /= np.linalg.norm(queries64, axis=1, keepdims=True)
    qlist = list(queries)
    n = len(base)

    def run(flt, threshold):
        best, found = None, None
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            found = [[row_of[h.id] for h in db.search("docs", query_embedding=q, k=fb.K, filter=flt,
                                                      exact_threshold=threshold)] for q in qlist]
            el = time.perf_counter() - t0
            best = el if best is None else min(best, el)
        return len(qlist) / best, found

    print(f"load average {os.getloadavg()}, sqrt(N) = {np.sqrt(n):.1f}")
    print("| filter | passing | walk q/s (recall) | exact q/s (recall) | exact / walk |\n|---|---|---|---|---|")
    for share in SHARES:
        for kind in ("random", "topic"):
            if kind == "random":
                limit = int(round(share * 1000))
                flt = {"must": [{"field": "bucket", "op": "lt", "value": limit}]}
                mask = bucket < limit
            else:
                flt, mask, _chosen = fb.category_filter(category, share)
            idx = np.flatnonzero(mask)
            truth = fb.exact_truth(base64, queries64, idx)
            walk_qps, walk_found = run(flt, 0)
            exact_qps, exact_found = run(flt, n + 1)
            print(f"| {kind} {share:.0%} | {len(idx):,} | {walk_qps:,.0f} ({fb.recall(walk_found, truth):.3f}) | "
                  f"{exact_qps:,.0f} ({fb.recall(exact_found, truth):.3f}) | {exact_qps / walk_qps:.2f} |", flush=True)
    print(f"load average {os.getloadavg()}")


if __name__ == "__main__":
    main()
