"""Keyword-only collections (dimension 0): documents without embeddings,
BM25 search as in any collection, vector search refused, and the same
through the log, snapshots and rebuilds."""

import random

import pytest

from karvalith import Karvalith

REFUSED = "collection 'k' has dimension 0 and keeps no vectors: search it by query_text alone"
QUERIES = ["cat mat", "dog", "red fish blue", "w12 w7", "nothing here at all"]


def texts(count, seed=5):
    rng = random.Random(seed)
    words = ["cat", "mat", "dog", "red", "blue", "fish"] + [f"w{i}" for i in range(40)]
    return [" ".join(rng.choice(words) for _ in range(rng.randint(1, 9))) for _ in range(count)]


def answers(db, name="k"):
    return [[(r.id, r.score) for r in db.search(name, query_text=q, k=7)] for q in QUERIES]


def fill(db, name, dimension, corpus):
    db.create_collection(name, dimension)
    ids = [f"00000000-0000-4000-8000-{i:012d}" for i in range(len(corpus))]
    extra = {"embedding": [1.0] * dimension} if dimension else {}
    db.batch_insert(name, [{"text": t, "id": i, **extra} for t, i in zip(corpus, ids)])
    return ids


class TestKeywordOnly:
    def test_documents_without_embeddings_score_as_in_a_vector_collection(self, db):
        corpus = texts(300)
        ids = fill(db, "k", 0, corpus)
        fill(db, "v", 3, corpus)
        assert answers(db, "k") == answers(db, "v")
        assert answers(db, "k")[0]  # the queries do hit

        # Every write path takes a document without an embedding.
        single = db.insert("k", "a lone cat")
        assert db.insert("k", "an empty list is the same", []) is not None
        db.upsert("k", ids[0], "cat cat cat mat")
        assert db.search("k", query_text="lone", k=1)[0].id == single
        assert db.search("k", query_text="cat mat", k=1)[0].id == ids[0]
        assert db.get_embedding("k", ids[0]) == []
        assert db.count("k") == 302
        assert db.collection_info("k").deleted_slots == 1
        batched = db.batch_search("k", query_texts=QUERIES, k=7)
        assert [[(r.id, r.score) for r in hits] for hits in batched] == answers(db, "k")

    def test_vector_and_hybrid_search_are_refused(self, db):
        fill(db, "k", 0, texts(20))
        for arguments in ({"query_embedding": []}, {"query_embedding": [], "query_text": "cat"}):
            with pytest.raises(ValueError) as raised:
                db.search("k", **arguments)
            assert raised.value.args == (REFUSED,)
        with pytest.raises(ValueError, match=REFUSED):
            db.batch_search("k", query_embeddings=[[]], k=3)
        with pytest.raises(ValueError, match="embedding has 2 values but collection 'k' has dimension 0"):
            db.insert("k", "text", [0.5, 0.5])

    def test_other_collections_still_need_an_embedding(self, db):
        db.create_collection("v", 2)
        with pytest.raises(TypeError) as raised:
            db.insert("v", "no vector")
        assert raised.value.args == ("insert() missing required argument 'embedding' (pos 3)",)
        with pytest.raises(TypeError, match=r"upsert\(\) missing required argument 'embedding' \(pos 4\)"):
            db.upsert("v", "00000000-0000-4000-8000-000000000001", "no vector", None)
        with pytest.raises(ValueError, match="document missing 'embedding'"):
            db.batch_insert("v", [{"text": "fine", "embedding": [1, 2]}, {"text": "no vector"}])
        with pytest.raises(KeyError, match="collection 'absent' not found"):
            db.insert("absent", "no vector")
        assert db.count("v") == 0

    def test_log_snapshot_and_rebuild_keep_the_answers(self, tmp_path):
        corpus = texts(500, seed=9)
        with Karvalith(tmp_path) as db:
            ids = fill(db, "k", 0, corpus)
            db.delete("k", ids[:50])
            db.upsert("k", ids[60], "blue fish")
            expected = answers(db)
        with Karvalith(tmp_path) as db:  # replayed from the log
            assert answers(db) == expected
            db.compact()
        with Karvalith(tmp_path) as db:  # opened from the snapshot
            assert answers(db) == expected
            assert db.rebuild("k") == 450
            assert answers(db) == expected
            assert db.collection_info("k").deleted_slots == 0
            db.insert("k", "after the rebuild fish")
            db.compact()
        with Karvalith(tmp_path) as db:
            assert db.count("k") == 451
            assert db.search("k", query_text="rebuild", k=1)[0].text == "after the rebuild fish"

    def test_keyword_documents_leave_the_checkpoint_to_the_byte_threshold(self, tmp_path):
        # Replaying a keyword-only document costs little: the document count
        # that bounds replay counts documents with embeddings only.
        with Karvalith(tmp_path, auto_checkpoint_records=25) as db:
            db.create_collection("k", 0)
            db.create_collection("v", 1)
            db.batch_insert("k", [{"text": f"t{i}"} for i in range(60)])
            assert db.status()["log_records"] == 62  # both creations and every document
            db.batch_insert("v", [{"text": "b", "embedding": [1.0]}] * 30)
            assert db.status()["log_records"] == 0
        with Karvalith(tmp_path, auto_checkpoint_records=25, auto_checkpoint_bytes=2000) as db:
            db.batch_insert("k", [{"text": "x" * 40} for _ in range(60)])
            assert db.status()["log_records"] == 0
        with Karvalith(tmp_path) as db:
            assert (db.count("k"), db.count("v")) == (120, 30)
