#!/usr/bin/env python3
"""Writes an embedding set (make_embedding_dataset.py's .npz) as the .fvecs /
.ivecs files hnsw_bench reads: base, queries and the ground truth's top 100.

    python3 bench/npz_to_vecs.py bench/data/wordnet384.npz   # -> bench/data/wordnet384.{base,query}.fvecs, .gt.ivecs
    build/release/bench/hnsw_bench --d 384 --base bench/data/wordnet384.base.fvecs \\
        --query-file bench/data/wordnet384.query.fvecs --gt bench/data/wordnet384.gt.ivecs --binary 1,2
"""

import sys
from pathlib import Path

import numpy as np


def write_vecs(path, rows, dtype):
    rows = np.ascontiguousarray(rows, dtype=dtype)
    out = np.empty((rows.shape[0], rows.shape[1] + 1), dtype=np.int32)
    out[:, 0] = rows.shape[1]
    out[:, 1:] = rows.view(np.int32)
    out.tofile(path)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    source = Path(sys.argv[1])
    data = np.load(source)
    stem = source.with_suffix("")
    write_vecs(f"{stem}.base.fvecs", data["base"], np.float32)
    write_vecs(f"{stem}.query.fvecs", data["queries"], np.float32)
    write_vecs(f"{stem}.gt.ivecs", data["gt"], np.int32)
    print(f"{stem}.{{base,query}}.fvecs, {stem}.gt.ivecs: {data['base'].shape[0]} x {data['base'].shape[1]}, "
          f"{data['queries'].shape[0]} queries")


if __name__ == "__main__":
    main()
