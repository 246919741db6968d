"""Compares two builds of the package by instructions executed (valgrind
--tool=callgrind), which unlike time does not depend on what else the machine
runs: per search, per converted document, for the kinds api_bench.py times.

    python3 bench/callgrind_compare.py --a /tmp/pkg-full --b /tmp/pkg-abi3 [--n 5000] [--count 500]

Both builds search the same snapshot (written once by build A) with the same
queries; each kind runs in its own process and its count is the process total
minus that of a process doing only the common setup (imports, load, queries).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

WORKLOAD = r'''
import sys
import numpy as np
from karvalith import Karvalith

kind, folder, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = np.random.default_rng(1)
queries = rng.standard_normal((count, 128)).astype(np.float32)
lists = queries.tolist()
words = ["red", "green", "apple", "pear", "river", "stone", "light", "night", "glass", "paper"]
db = Karvalith()
db.load("c", folder)
flt = {"must": [{"field": "bucket", "op": "lt", "value": 10}]}
docs = [{"text": "red apple", "embedding": queries[i % count], "metadata": {"bucket": i}} for i in range(1000)]
docs_lists = [{"text": "red apple", "embedding": lists[i % count], "metadata": {"bucket": i}} for i in range(1000)]
docs.append({"embedding": queries[0]})        # refused after every other element is converted
docs_lists.append({"embedding": lists[0]})
if kind == "vector":
    for q in queries: db.search("c", query_embedding=q, k=10)
elif kind == "vector, list query":
    for q in lists: db.search("c", query_embedding=q, k=10)
elif kind == "vector, k=50":
    for q in queries: db.search("c", query_embedding=q, k=50)
elif kind == "keyword":
    for i in range(count): db.search("c", query_text=words[i % 10] + " " + words[(i * 7) % 10], k=10)
elif kind == "hybrid rrf":
    for i, q in enumerate(queries): db.search("c", query_embedding=q, query_text=words[i % 10], k=10)
elif kind == "filtered vector 10%":
    for q in queries: db.search("c", query_embedding=q, k=10, filter=flt)
elif kind == "batch conversion, numpy rows":
    for _ in range(count // 100):
        try: db.batch_insert("c", docs)
        except ValueError: pass
elif kind == "batch conversion, Python lists":
    for _ in range(count // 100):
        try: db.batch_insert("c", docs_lists)
        except ValueError: pass
'''
KINDS = {  # kind -> operations per run (as a multiple of --count)
    "vector": 1, "vector, list query": 1, "vector, k=50": 1, "keyword": 1, "hybrid rrf": 1,
    "filtered vector 10%": 1, "batch conversion, numpy rows": 10, "batch conversion, Python lists": 10,
}


def prepare(package: str, folder: str, n: int) -> None:
    script = r'''
import sys
import numpy as np
from karvalith import Karvalith
n, folder = int(sys.argv[1]), sys.argv[2]
rng = np.random.default_rng(0)
centres = rng.standard_normal((100, 128))
vectors = (centres[rng.integers(0, 100, n)] + 0.35 * rng.standard_normal((n, 128))).astype(np.float32)
words = ["red", "green", "apple", "pear", "river", "stone", "light", "night", "glass", "paper"]
db = Karvalith()
db.create_collection("c", 128)
db.batch_insert("c", [{"text": " ".join(words[(i * k) % 10] for k in (1, 3, 7)), "embedding": vectors[i],
                       "metadata": {"bucket": i % 100}} for i in range(n)], num_threads=1)
db.save("c", folder)
'''
    subprocess.run([sys.executable, "-c", script, str(n), folder], env=dict(os.environ, PYTHONPATH=package),
                   check=True)


def instructions(package: str, kind: str, folder: str, count: int) -> int:
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", WORKLOAD,
         kind, folder, str(count)],
        env=dict(os.environ, PYTHONPATH=package), capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or not found:
        sys.exit(f"callgrind run failed ({package}, {kind}):\n{done.stderr[-2000:]}")
    return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--a", required=True, help="folder of build A's package (the reference)")
    parser.add_argument("--b", required=True, help="folder of build B's package")
    parser.add_argument("--n", type=int, default=5000, help="documents in the collection")
    parser.add_argument("--count", type=int, default=500, help="searches per kind")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = os.path.join(scratch, "snapshot")
        prepare(args.a, folder, args.n)
        base = {side: instructions(getattr(args, side), "setup only", folder, args.count) for side in ("a", "b")}
        print(f"# instructions per operation (callgrind), A = {args.a}, B = {args.b}, "
              f"{args.n} documents x 128, {args.count} searches per kind\n")
        print("| operation | A | B | B / A |")
        print("|---|---|---|---|")
        for kind, scale in KINDS.items():
            per = {}
            for side in ("a", "b"):
                total = instructions(getattr(args, side), kind, folder, args.count)
                per[side] = (total - base[side]) / (args.count * scale)
            print(f"| {kind} | {per['a']:,.0f} | {per['b']:,.0f} | {per['b'] / per['a']:.4f} |", flush=True)
        print(f"\nsetup-only process: A {base['a']:,}, B {base['b']:,} instructions")


if __name__ == "__main__":
    main()
