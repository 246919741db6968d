"""Collections walked on one- or two-bit codes (walk_bits): what they answer, how
they persist, and the option's refusals."""

import numpy as np
import pytest

from karvalith import Karvalith

DIM = 48


def clustered(count, seed=3):
    """Embedding-like rows: clusters around a shared offset, so a common mean exists."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(24, DIM)).astype(np.float32)
    rows = centres[rng.integers(0, 24, count)] + 0.35 * rng.normal(size=(count, DIM)).astype(np.float32)
    return (rows + 1.5).astype(np.float32)


def fill(db, name, rows, **options):
    db.create_collection(name, DIM, **options)
    return db.batch_insert(name, [{"text": f"doc {i}", "embedding": row, "metadata": {"i": i}}
                                  for i, row in enumerate(rows)])


def answers(db, name, queries, **search):
    return [[(hit.id, hit.score) for hit in db.search(name, query_embedding=q, k=10, **search)] for q in queries]


class TestSearch:
    @pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot_product"])
    @pytest.mark.parametrize("bits", [1, 2])
    def test_a_beam_over_the_whole_collection_answers_as_the_8_bit_walk(self, metric, bits):
        rows = clustered(600)
        db = Karvalith()
        ids8 = fill(db, "eight", rows, distance_metric=metric)
        idsb = fill(db, "coded", rows, distance_metric=metric, walk_bits=bits)
        assert db.collection_info("coded").walk_bits == bits
        assert db.collection_info("eight").walk_bits == 8
        queries = clustered(15, seed=9)
        by_position = {a: b for a, b in zip(ids8, idsb)}
        for search in ({}, {"filter": {"i": {"$lt": 300}}}):
            expected = answers(db, "eight", queries, ef=600, **search)
            found = answers(db, "coded", queries, ef=600, **search)
            assert [[(by_position[i], s) for i, s in hits] for hits in expected] == found

    @pytest.mark.parametrize("bits, least", [(2, 0.93), (1, 0.7)])
    def test_recall_with_a_wider_beam_on_clustered_rows(self, bits, least):
        # 48-d synthetic clusters are hard for such codes (at ef 50 two bits
        # reach 0.75-0.86 where 8 bits reach 0.93-0.97); at ef 160, over ten
        # data sets: 8 bits 0.978-0.991, two bits 0.964-0.984, one bit
        # 0.775-0.861; on this one over 25 graphs (random levels) two bits
        # 0.972-0.980, one bit 0.812-0.820.
        rows = clustered(3000)
        db = Karvalith()
        ids = fill(db, "coded", rows, walk_bits=bits)
        queries = clustered(100, seed=11)
        unit = rows / np.linalg.norm(rows, axis=1, keepdims=True)
        hits = 0
        for q in queries:
            truth = np.argsort(-(unit @ (q / np.linalg.norm(q))))[:10]
            found = {h.id for h in db.search("coded", query_embedding=q, k=10, ef=160)}
            hits += len(found & {ids[t] for t in truth})
        assert hits / 1000 >= least


class TestPersistence:
    def test_the_option_survives_the_log_and_a_snapshot_keeps_the_graph(self, tmp_path):
        rows = clustered(1500)
        db = Karvalith(str(tmp_path))
        ids = fill(db, "coded", rows[:1000], walk_bits=2)
        db.close()
        # From the log alone: the collection is made again with its option,
        # and the replayed graph finds every row (its levels are drawn anew).
        again = Karvalith(str(tmp_path))
        assert again.collection_info("coded").walk_bits == 2
        for i in range(0, 1000, 50):
            assert again.search("coded", query_embedding=rows[i], k=1, ef=200)[0].id == ids[i]
        again.compact()
        ids += again.batch_insert("coded", [{"text": "later", "embedding": row} for row in rows[1000:]])
        queries = clustered(20, seed=5)
        before = answers(again, "coded", queries)
        again.compact()
        again.close()
        # From the snapshot: the same graph, so the same answers.
        third = Karvalith(str(tmp_path))
        assert third.collection_info("coded").walk_bits == 2
        assert answers(third, "coded", queries) == before
        third.batch_insert("coded", [{"text": "more", "embedding": row + 0.01} for row in rows[:100]])
        assert third.search("coded", query_embedding=rows[1200], k=1, ef=200)[0].id == ids[1200]
        # A rebuild makes the graph again with the option.
        third.delete("coded", ids[:10])
        third.rebuild("coded")
        assert third.collection_info("coded").walk_bits == 2
        assert third.collection_info("coded").deleted_slots == 0
        assert third.search("coded", query_embedding=rows[1300], k=1, ef=200)[0].id == ids[1300]
        third.close()

    def test_exist_ok_compares_the_option_when_given(self):
        db = Karvalith()
        db.create_collection("c", DIM, walk_bits=2)
        db.create_collection("c", DIM, exist_ok=True)
        db.create_collection("c", DIM, walk_bits=2, exist_ok=True)
        with pytest.raises(ValueError, match=r"walk_bits 2 \(asked 8\)"):
            db.create_collection("c", DIM, walk_bits=8, exist_ok=True)


class TestRefusals:
    @pytest.mark.parametrize("bits", [0, 3, 4, 16])
    def test_other_widths_are_refused_and_create_nothing(self, bits):
        db = Karvalith()
        with pytest.raises(ValueError, match=f"walk_bits must be 1, 2 or 8, got {bits}"):
            db.create_collection("c", DIM, walk_bits=bits)
        assert db.list_collections() == []

    def test_a_keyword_only_collection_has_no_graph_to_walk(self):
        db = Karvalith()
        with pytest.raises(ValueError, match="walk_bits needs embeddings"):
            db.create_collection("texts", 0, walk_bits=2)
        db.create_collection("texts", 0, walk_bits=8)

    @pytest.mark.parametrize("value", [2.0, "2", -1, 2**64])
    def test_values_of_the_wrong_type_are_type_or_value_errors(self, value):
        db = Karvalith()
        with pytest.raises((TypeError, ValueError, OverflowError)):
            db.create_collection("c", DIM, walk_bits=value)
        assert db.list_collections() == []
