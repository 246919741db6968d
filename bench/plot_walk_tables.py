#!/usr/bin/env python3
"""Plots recall@10 against queries/s for every ef table in hnsw_bench's output
(one curve per "walks on ..." table), e.g.

    build/release/bench/hnsw_bench ... --binary 1,2 > bench/results/binary_walks_wordnet117k.md
    python3 bench/plot_walk_tables.py bench/results/binary_walks_wordnet117k.md   # -> .png beside it
"""

import sys
from pathlib import Path


def tables(text):
    """{title: [(ef, recall, qps), ...]} for each "walks on" table."""
    out, title = {}, None
    for line in text.splitlines():
        if line.startswith("walks on"):
            title = line.strip()
            out[title] = []
        elif title and line.startswith("| ") and line[2].isdigit():
            cells = [c.strip() for c in line.strip("|").split("|")]
            out[title].append((int(cells[0]), float(cells[1]), float(cells[2])))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    source = Path(sys.argv[1])
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for title, rows in tables(source.read_text()).items():
        ax.plot([r[1] for r in rows], [r[2] for r in rows], marker="o", label=title.replace("walks on ", ""))
        for ef, recall, qps in rows:
            ax.annotate(str(ef), (recall, qps), fontsize=7, xytext=(3, 3), textcoords="offset points")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries/s (1 thread)")
    ax.set_title(source.stem)
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(source.with_suffix(".png"), dpi=110)
    print(source.with_suffix(".png"))


if __name__ == "__main__":
    main()
