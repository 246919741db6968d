#!/usr/bin/env python3
"""Plots filtered_bench.py results: planner over numpy (subset extracted in advance) per filter.

One group of bars per filter, one bar per results file (the median of the alternated rounds,
the whisker their range), on a log scale with the 1.0x line marked.

Run:  python3 bench/plot_filtered.py bench/results/filtered_wordnet384.json:8-bit \
          bench/results/filtered_wordnet384_raw.json:raw --out bench/results/filtered_wordnet384.png
"""

import argparse
import json
from pathlib import Path

import numpy as np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("results", nargs="+", help="FILE[:label], written by filtered_bench.py --alternate N")
    p.add_argument("--out", type=Path, required=True, help="the PNG to write")
    p.add_argument("--title", default="Filtered search over numpy on the subset extracted in advance")
    return p.parse_args()


def load(argument):
    path, _, label = argument.partition(":")
    rows = json.loads(Path(path).read_text())["rows"]
    missing = [r["label"] for r in rows if "alternated_ratios" not in r]
    if missing:
        raise SystemExit(f"{path}: no alternated rounds for {', '.join(missing)} (run with --alternate N)")
    return label or Path(path).stem, {(r["kind"], r["target"]): r for r in rows}


def main():
    import matplotlib  # only for drawing: load() is usable without it

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    args = parse_args()
    series = [load(argument) for argument in args.results]
    keys = sorted({k for _, rows in series for k in rows}, key=lambda k: (k[0] != "random", -k[1]))
    names = [f"{'random' if kind == 'random' else 'topic'} {target:.1%}".replace(".0%", "%") for kind, target in keys]
    width = 0.8 / len(series)
    fig, ax = plt.subplots(figsize=(max(6, 1.1 * len(keys)), 4))
    x = np.arange(len(keys))
    for i, (label, rows) in enumerate(series):
        med = np.array([rows[k]["alternated_ratio_median"] if k in rows else np.nan for k in keys])
        low = np.array([min(rows[k]["alternated_ratios"]) if k in rows else np.nan for k in keys])
        high = np.array([max(rows[k]["alternated_ratios"]) if k in rows else np.nan for k in keys])
        pos = x - 0.4 + width * (i + 0.5)
        ax.bar(pos, med, width, label=label)
        ax.errorbar(pos, med, yerr=[med - low, high - med], fmt="none", ecolor="black", capsize=2, linewidth=0.8)
        for p, m, top in zip(pos, med, high):
            if not np.isnan(m):
                ax.annotate(f"{m:.2f}", (p, top), ha="center", va="bottom", fontsize=7,
                            xytext=(0, 2), textcoords="offset points")
    ax.axhline(1.0, color="grey", linestyle="--", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(x, names, rotation=30, ha="right")
    ax.set_ylabel("queries/s over numpy's (median of rounds)")
    ax.set_title(args.title, fontsize=10)
    ax.legend()
    fig.tight_layout()
    fig.savefig(args.out, dpi=110)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
