"""Runs bench/api_bench.py against two builds of the package, alternating,
each run in its own process pinned to one core, and prints the Python-side
rates of every row with the ratio B / A (CPU-time rates; the best of the
rounds counts, and the spread between rounds is shown).

    python3 bench/build_compare.py --a /tmp/pkg-full --b /tmp/pkg-abi3 [--rounds 3] [--cpu 1] [-- --quick]

--a and --b are folders holding a `karvalith` package (put first on
PYTHONPATH); arguments after `--` go to api_bench.py.
"""

import argparse
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROW = re.compile(r"^\| ([^|]+) \| ([\d,]+) \| ([\d,.]+) \(")


def rates(output: str) -> dict:
    """Row label -> Python rate (CPU time) from api_bench's insert and search tables."""
    found = {}
    for line in output.splitlines():
        match = ROW.match(line)
        if match:
            label = f"{match.group(1).strip()} ({match.group(2)})"
            found[label] = float(match.group(3).replace(",", ""))
    return found


def run(package: str, cpu: int, extra: list) -> dict:
    env = dict(os.environ, PYTHONPATH=package)
    command = ["taskset", "-c", str(cpu), sys.executable, os.path.join(HERE, "api_bench.py"), *extra]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"api_bench failed for {package}:\n{done.stderr[-2000:]}")
    found = rates(done.stdout)
    if not found:
        sys.exit(f"no rates in api_bench's output for {package}")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--a", required=True, help="folder of build A's package (the reference)")
    parser.add_argument("--b", required=True, help="folder of build B's package")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cpu", type=int, default=1, help="core both runs are pinned to")
    args, extra = parser.parse_known_args()
    extra = [e for e in extra if e != "--"]
    results = {"a": [], "b": []}
    started = time.time()
    for round_number in range(args.rounds):
        for side in ("a", "b") if round_number % 2 == 0 else ("b", "a"):
            results[side].append(run(getattr(args, side), args.cpu, extra))
            print(f"round {round_number + 1} {side} done ({time.time() - started:.0f} s, "
                  f"load {os.getloadavg()[0]:.2f})", file=sys.stderr, flush=True)
    print(f"# api_bench.py, A = {args.a}, B = {args.b}, {args.rounds} alternating rounds pinned to cpu {args.cpu}\n")
    print("| row | A best (spread) | B best (spread) | B / A |")
    print("|---|---|---|---|")
    for label in results["a"][0]:
        a = [r[label] for r in results["a"] if label in r]
        b = [r[label] for r in results["b"] if label in r]
        if not a or not b:
            continue
        spread = lambda v: f"{100 * (max(v) - min(v)) / max(v):.1f}%"  # noqa: E731
        print(f"| {label} | {max(a):,.0f} ({spread(a)}) | {max(b):,.0f} ({spread(b)}) | {max(b) / max(a):.3f} |")
    print(f"\nload average at the end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
