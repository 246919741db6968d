"""batch_search and the threaded batch_insert / rebuild: the same answers as
one query at a time, bad input refused before any work, threads with writers."""

import threading

import numpy as np
import pytest

from karvalith import Karvalith

DIM = 12
N = 1500


def pairs(results):
    return [(r.id, r.score) for r in results]


@pytest.fixture(scope="module")
def loaded():
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((N, DIM)).astype(np.float32)
    db = Karvalith()
    db.create_collection("c", DIM)
    words = ["apple", "pear", "plum", "fig", "kiwi"]
    db.batch_insert("c", [{"text": f"{words[i % 5]} {words[(i * 3) % 5]} item", "embedding": v,
                           "metadata": {"g": i % 10, "even": i % 2 == 0}} for i, v in enumerate(vectors)],
                    num_threads=2)
    queries = rng.standard_normal((40, DIM)).astype(np.float32)
    return db, vectors, queries


class TestBatchSearch:
    @pytest.mark.parametrize("threads", [1, 2, 0])
    def test_each_answer_is_what_search_gives(self, loaded, threads):
        db, _, queries = loaded
        only_even = {"must": [{"field": "even", "op": "eq", "value": True}],
                     "must_not": [{"field": "g", "op": "in", "values": [2, 4]}]}
        for kwargs in ({}, {"filter": only_even}, {"ef": 120, "k": 7}, {"min_similarity": 0.3}):
            batch = db.batch_search("c", queries, num_threads=threads, **kwargs)
            assert len(batch) == len(queries)
            for query, answer in zip(queries, batch):
                assert pairs(answer) == pairs(db.search("c", query_embedding=query, **kwargs))

    def test_keyword_and_hybrid_batches(self, loaded):
        db, _, queries = loaded
        texts = ["apple", "plum fig", "kiwi", "pear"] * 10
        for text, answer in zip(texts, db.batch_search("c", query_texts=texts, k=5)):
            assert pairs(answer) == pairs(db.search("c", query_text=text, k=5))
        for method in ("rrf", "linear"):
            batch = db.batch_search("c", queries, query_texts=texts, k=5, fusion_method=method, alpha=0.4)
            for query, text, answer in zip(queries, texts, batch):
                expected = db.search("c", query_embedding=query, query_text=text, k=5, fusion_method=method, alpha=0.4)
                assert pairs(answer) == pairs(expected)
        # Options left out take the same defaults in both (k, alpha, ef).
        batch = db.batch_search("c", queries[:8], query_texts=texts[:8], fusion_method="linear")
        for query, text, answer in zip(queries, texts, batch):
            expected = db.search("c", query_embedding=query, query_text=text, fusion_method="linear")
            assert pairs(answer) == pairs(expected)
            assert len(answer) == 10

    def test_every_array_layout_and_sequences_give_the_same_answers(self, loaded):
        db, _, queries = loaded
        expected = [pairs(a) for a in db.batch_search("c", queries, k=4)]
        wide = np.zeros((len(queries), DIM * 2), dtype=np.float32)
        wide[:, ::2] = queries
        for layout in (queries.astype(np.float64), np.asfortranarray(queries), wide[:, ::2],
                       [list(map(float, q)) for q in queries], [q for q in queries]):
            assert [pairs(a) for a in db.batch_search("c", layout, k=4)] == expected
        assert db.batch_search("c", np.zeros((0, DIM), dtype=np.float32)) == []

    def test_bad_batches_are_refused_before_any_work(self, loaded):
        db, _, queries = loaded
        with pytest.raises(KeyError, match="collection 'nope' not found"):
            db.batch_search("nope", queries, filter=[])
        with pytest.raises(ValueError, match="at least one of query_embedding or query_text is required"):
            db.batch_search("c")
        bad = queries.copy()
        bad[7, 3] = np.nan
        with pytest.raises(ValueError, match=r"non-finite value at index 3 \(query 7 of the batch\)"):
            db.batch_search("c", bad)
        with pytest.raises(ValueError, match=r"has 5 values but collection 'c' has dimension 12 \(query 0"):
            db.batch_search("c", queries[:, :5])
        with pytest.raises(ValueError, match=r"has 11 values .*\(query 1 of the batch\)"):
            db.batch_search("c", [queries[0], queries[1][:11]])
        with pytest.raises(ValueError, match="query_texts has 2 texts for 40"):
            db.batch_search("c", queries, query_texts=["a", "b"])
        for value, error in ((queries[0], TypeError), ("rows", TypeError), ([["x"] * DIM], TypeError),
                             (5, TypeError)):
            with pytest.raises(error, match="query_embeddings"):
                db.batch_search("c", value)
        with pytest.raises(TypeError, match="query_texts"):
            db.batch_search("c", query_texts="one string, not a list of texts")
        with pytest.raises(OverflowError, match="num_threads"):
            db.batch_search("c", queries, num_threads=-1)
        with pytest.raises(ValueError, match="unknown filter operator"):
            db.batch_search("c", queries, filter={"must": [{"field": "g", "op": "EQ", "value": 1}]})


class TestThreadedBuild:
    def test_threaded_batches_recall_like_one_thread_and_survive_a_reopen(self, tmp_path):
        rng = np.random.default_rng(5)
        centres = rng.standard_normal((20, DIM))
        vectors = (centres[rng.integers(0, 20, 4000)] + 0.3 * rng.standard_normal((4000, DIM))).astype(np.float32)
        queries = (centres[rng.integers(0, 20, 50)] + 0.3 * rng.standard_normal((50, DIM))).astype(np.float32)
        unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        truth = np.argsort(-(queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T, axis=1)[:, :10]

        def recall(db, ids):
            index_of = {doc_id: i for i, doc_id in enumerate(ids)}
            found = 0
            for q, answer in enumerate(db.batch_search("c", queries, k=10)):
                found += len({index_of[r.id] for r in answer} & set(truth[q]))
            return found / (10 * len(queries))

        # Levels are random and two threads interleave by timing. Measured over
        # 114 runs on a loaded 2-core machine: one thread 0.990 on every run,
        # live, reopened and rebuilt; two threads 0.990 (0.988 in 1 run), 0.990
        # reopened and rebuilt. The worst gap seen, 0.002, is far inside 0.03.
        results = {}
        for threads in (1, 2):
            data = str(tmp_path / f"data{threads}")
            db = Karvalith(data_dir=data)
            db.create_collection("c", DIM, ef_search=40)
            ids = []
            for start in range(0, 4000, 1000):
                ids += db.batch_insert("c", [{"text": f"d{i}", "embedding": vectors[i]}
                                             for i in range(start, start + 1000)], num_threads=threads)
            results[threads] = recall(db, ids)
            db.close()
            # The log holds each batch as one record; replay links it from every core.
            reopened = Karvalith(data_dir=data)
            assert reopened.collection_info("c").document_count == 4000
            assert recall(reopened, ids) >= results[threads] - 0.03
            assert reopened.rebuild("c", num_threads=threads) == 4000
            assert recall(reopened, ids) >= results[threads] - 0.03
            reopened.close()
        assert results[2] >= results[1] - 0.03, results

    def test_batch_calls_run_beside_writers(self, tmp_path):
        db = Karvalith(data_dir=str(tmp_path / "data"))
        db.create_collection("c", DIM)
        rng = np.random.default_rng(9)
        errors = []
        done = threading.Event()

        def write():
            try:
                for round_ in range(6):
                    block = rng.standard_normal((200, DIM)).astype(np.float32)
                    db.batch_insert("c", [{"text": f"w{round_}", "embedding": v} for v in block], num_threads=2)
            except Exception as error:
                errors.append(repr(error))
            finally:
                done.set()

        def read():
            queries = np.random.default_rng(1).standard_normal((30, DIM)).astype(np.float32)
            try:
                while not done.is_set():
                    for answer in db.batch_search("c", queries, k=5, num_threads=2):
                        assert len(answer) <= 5
            except Exception as error:
                errors.append(repr(error))

        threads = [threading.Thread(target=write), threading.Thread(target=read), threading.Thread(target=read)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert db.collection_info("c").document_count == 1200
