"""Shared material of the sharded-collection tests: one corpus, the same
writes applied to a single collection and to a sharded one, and the queries
whose results must agree."""

import random
import uuid

from karvalith import Karvalith

DIM = 8
WORDS = ["apple", "pear", "plum", "fig", "kiwi", "lime", "date", "yuzu", "sloe", "quince", "grape", "melon"]
# ef above the document count makes every graph walk exhaustive, on one
# collection and on each shard alike, so vector results are exact on both.
EXHAUSTIVE_EF = 2000


def corpus(seed, count):
    rng = random.Random(seed)
    docs = []
    for i in range(count):
        # Short texts over a small vocabulary: many equal BM25 scores, so the
        # tie order is exercised, not only the scores.
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 5)))
        docs.append({
            "id": str(uuid.UUID(int=rng.getrandbits(128))),
            "text": text,
            "embedding": [rng.uniform(-1, 1) for _ in range(DIM)],
            "metadata": {"n": i, "lang": rng.choice(["en", "it", "de"])},
        })
    return docs


def apply_writes(target, docs, seed):
    """The same writes, in the same order, on `target` (a callable taking a
    method name and its arguments without the collection)."""
    rng = random.Random(seed)
    half = len(docs) // 2
    target("batch_insert", docs[:half])
    for doc in docs[half:half + 10]:
        target("insert", doc["text"], doc["embedding"], doc["metadata"], doc["id"])
    target("batch_insert", docs[half + 10:])
    for doc in rng.sample(docs, 8):
        target("delete", doc["id"])
    for doc in rng.sample(docs, 8):  # replaced documents rank as the newest
        target("upsert", doc["id"], doc["text"] + " fig", doc["embedding"], {"n": -1, "lang": "en"})
    for doc in rng.sample(docs, 8):
        try:
            target("update_metadata", doc["id"], {"n": 1000, "lang": "it"})
        except KeyError:
            pass  # deleted above


def single_collection(docs, seed):
    db = Karvalith()
    db.create_collection("c", DIM)

    def target(method, *args):
        return getattr(db, method)("c", *args)

    apply_writes(target, docs, seed)
    return db


def sharded_target(collection):
    def target(method, *args):
        return getattr(collection, method)(*args)

    return target


LANG_FILTER = {"must": [{"field": "lang", "op": "eq", "value": "en"}]}
RANGE_FILTER = {"must": [{"field": "n", "op": "lt", "value": 150}],
                "must_not": [{"field": "lang", "op": "eq", "value": "de"}]}


def queries(seed, count):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        vector = [rng.uniform(-1, 1) for _ in range(DIM)]
        text = " ".join(rng.sample(WORDS, 1 + i % 3))
        flt = [None, LANG_FILTER, RANGE_FILTER][i % 3]
        k = [1, 5, 10, 40][i % 4]
        out += [
            ("vector", dict(query_embedding=vector, k=k, ef=EXHAUSTIVE_EF, filter=flt)),
            ("keyword", dict(query_text=text, k=k, filter=flt)),
            ("rrf", dict(query_embedding=vector, query_text=text, k=k, ef=EXHAUSTIVE_EF, filter=flt)),
            ("linear", dict(query_embedding=vector, query_text=text, k=k, ef=EXHAUSTIVE_EF, filter=flt,
                            fusion_method="linear", alpha=[0.7, 0.3, 1.0][i % 3])),
        ]
    out.append(("threshold", dict(query_embedding=vector, k=20, ef=EXHAUSTIVE_EF, min_similarity=0.2)))
    out.append(("threshold", dict(query_embedding=vector, query_text=text, k=20, ef=EXHAUSTIVE_EF,
                                  min_similarity=0.02)))
    return out


def disagreements(single, sharded, query_list):
    """Queries whose sharded results differ from the single collection's:
    ids, order, scores (exactly), texts and metadata."""
    bad = []
    for kind, arguments in query_list:
        want = [(r.id, r.score, r.text, r.metadata) for r in single.search("c", **arguments)]
        got = [(r.id, r.score, r.text, r.metadata) for r in sharded.search(**arguments)]
        if got != want:
            bad.append((kind, arguments, want, got))
    return bad


def batch_cases(seed, count):
    """Batches of every kind (vector, keyword, both fusions, thresholds) with
    filters and k varied between batches: batch_search takes one of each."""
    rng = random.Random(seed)
    vectors = [[rng.uniform(-1, 1) for _ in range(DIM)] for _ in range(count)]
    texts = [" ".join(rng.sample(WORDS, 1 + i % 3)) for i in range(count)]
    cases = []
    for i, flt in enumerate([None, LANG_FILTER, RANGE_FILTER]):
        k = [1, 10, 40][i]
        cases += [
            dict(query_embeddings=vectors, k=k, ef=EXHAUSTIVE_EF, filter=flt),
            dict(query_texts=texts, k=k, filter=flt),
            dict(query_embeddings=vectors, query_texts=texts, k=k, ef=EXHAUSTIVE_EF, filter=flt),
            dict(query_embeddings=vectors, query_texts=texts, k=k, ef=EXHAUSTIVE_EF, filter=flt,
                 fusion_method="linear", alpha=0.3),
        ]
    cases.append(dict(query_embeddings=vectors, k=20, ef=EXHAUSTIVE_EF, min_similarity=0.2))
    cases.append(dict(query_embeddings=vectors, query_texts=texts, k=20, ef=EXHAUSTIVE_EF, min_similarity=0.02))
    return cases


def batch_disagreements(single, sharded, cases, **options):
    """Batch queries whose sharded lists differ from one collection's
    batch_search, or from the sharded search of that query alone."""
    bad = []
    for arguments in cases:
        want = [[(r.id, r.score, r.text, r.metadata) for r in results]
                for results in single.batch_search("c", **arguments)]
        got = [[(r.id, r.score, r.text, r.metadata) for r in results]
               for results in sharded.batch_search(**arguments, **options)]
        singly = []
        for i in range(len(want)):
            one = {key: value for key, value in arguments.items() if key not in ("query_embeddings", "query_texts")}
            if "query_embeddings" in arguments:
                one["query_embedding"] = arguments["query_embeddings"][i]
            if "query_texts" in arguments:
                one["query_text"] = arguments["query_texts"][i]
            singly.append([(r.id, r.score, r.text, r.metadata) for r in sharded.search(**one)])
        if got != want or singly != want or not any(want):
            bad.append((arguments, want, got))
    return bad
