"""Collection methods: create, delete, list, describe, rebuild, measure."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from karvalith import CollectionInfo, Karvalith


def vector(i, dimension=4):
    return [float((i * 7 + j) % 5) + 0.5 for j in range(dimension)]


class TestCreate:
    def test_defaults_and_info_of_a_fresh_collection(self, db):
        assert db.create_collection("docs", 4) is None
        info = db.collection_info("docs")
        assert isinstance(info, CollectionInfo)
        assert (info.name, info.dimension, info.document_count, info.estimated_memory_bytes) == (
            "docs", 4, 0, 0,
        )
        assert repr(info) == "CollectionInfo(name='docs', dimension=4, documents=0, memory=0)"

    def test_duplicate_name_is_refused_and_keeps_the_first(self, db4):
        db4.insert("c", "kept", [1, 2, 3, 4])
        with pytest.raises(ValueError) as raised:
            db4.create_collection("c", 8)
        assert raised.value.args == ("Collection 'c' already exists",)
        info = db4.collection_info("c")
        assert (info.dimension, info.document_count) == (4, 1)

    @pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot_product"])
    def test_known_metrics(self, db, metric):
        db.create_collection("a", 2, distance_metric=metric)
        db.insert("a", "x", [1.0, 0.0])
        assert db.collection_info("a").document_count == 1

    @pytest.mark.parametrize("metric", ["Cosine", "l2", "", "dot-product"])
    def test_unknown_metric(self, db, metric):
        with pytest.raises(ValueError) as raised:
            db.create_collection("a", 2, distance_metric=metric)
        assert raised.value.args == (
            f"unknown distance metric: '{metric}' (use 'cosine', 'euclidean', or 'dot_product')",
        )
        assert db.list_collections() == []

    @pytest.mark.parametrize(
        "kwargs,message",
        [({"m": 1}, "m must be at least 2, got 1"), ({"m": 0}, "m must be at least 2, got 0"),
         ({"ef_construction": 0}, "ef_construction must be at least 1, got 0")],
    )
    def test_degenerate_graph_parameters_are_refused(self, db, kwargs, message):
        with pytest.raises(ValueError) as raised:
            db.create_collection("a", 2, **kwargs)
        assert raised.value.args == (message,)
        assert db.list_collections() == []

    def test_small_but_valid_parameters_work(self, db):
        db.create_collection("a", 3, m=2, ef_construction=1, ef_search=0, store_raw_vectors=True)
        ids = db.batch_insert("a", [{"text": str(i), "embedding": vector(i, 3)} for i in range(20)])
        assert [db.get("a", i)["text"] for i in ids] == [str(i) for i in range(20)]

    def test_names_are_case_sensitive_and_may_be_empty(self, db):
        for name in ("A", "a", ""):
            db.create_collection(name, 1)
        assert sorted(db.list_collections()) == ["", "A", "a"]


class TestDeleteAndList:
    def test_delete_reports_whether_it_existed(self, db4):
        assert db4.delete_collection("c") is True
        assert db4.delete_collection("c") is False
        assert db4.delete_collection("never") is False
        assert db4.list_collections() == []
        with pytest.raises(KeyError):
            db4.collection_info("c")

    def test_recreated_name_is_a_new_empty_collection(self, db4):
        db4.insert("c", "old", [1, 2, 3, 4])
        db4.delete_collection("c")
        db4.create_collection("c", 2)
        info = db4.collection_info("c")
        assert (info.dimension, info.document_count) == (2, 0)

    def test_list_holds_every_name_as_str(self, db):
        assert db.list_collections() == []
        db.create_collection("b", 1)
        db.create_collection("ünï", 1)
        names = db.list_collections()
        assert isinstance(names, list)
        assert sorted(names) == ["b", "ünï"]


class TestMissingCollection:
    @pytest.mark.parametrize("method", ["collection_info", "rebuild"])
    def test_key_error_quotes_the_name(self, db, method):
        with pytest.raises(KeyError) as raised:
            getattr(db, method)("Nope")
        assert raised.value.args == ("collection 'Nope' not found",)


class TestMemory:
    def test_total_is_the_sum_of_the_collections(self, db):
        assert db.total_memory_bytes() == 0
        db.create_collection("a", 4)
        db.create_collection("b", 8, store_raw_vectors=True)
        db.batch_insert("a", [{"text": "alpha beta", "embedding": vector(i)} for i in range(5)])
        db.insert("b", "gamma delta", [0.5] * 8, {"k": "v"})
        infos = [db.collection_info(name) for name in db.list_collections()]
        assert all(info.estimated_memory_bytes > 0 for info in infos)
        assert db.total_memory_bytes() == sum(info.estimated_memory_bytes for info in infos)
        assert repr(infos[0]).startswith(f"CollectionInfo(name='{infos[0].name}', dimension=")

    def test_grows_with_documents(self, db4):
        before = db4.collection_info("c").estimated_memory_bytes
        db4.insert("c", "some words here", [1, 2, 3, 4])
        assert db4.collection_info("c").estimated_memory_bytes > before


class TestRebuild:
    def test_rebuild_keeps_live_documents_only(self, db4):
        ids = db4.batch_insert("c", [{"text": f"doc {i}", "embedding": vector(i)} for i in range(5)])
        assert db4.delete("c", ids[1]) and db4.delete("c", ids[3])
        before = db4.collection_info("c").estimated_memory_bytes
        assert db4.rebuild("c") == 3
        info = db4.collection_info("c")
        assert info.document_count == 3
        assert info.estimated_memory_bytes < before
        for i in (0, 2, 4):
            assert db4.get("c", ids[i])["text"] == f"doc {i}"

    def test_a_deleted_id_can_be_inserted_again_without_a_rebuild(self, db4):
        doc_id = db4.insert("c", "x", [1, 2, 3, 4])
        with pytest.raises(ValueError, match="already exists"):
            db4.insert("c", "live", [1, 2, 3, 4], id=doc_id)
        db4.delete("c", doc_id)
        assert db4.insert("c", "again", [1, 2, 3, 4], id=doc_id) == doc_id
        assert db4.get("c", doc_id)["text"] == "again"
        assert db4.rebuild("c") == 1

    def test_rebuild_of_an_empty_collection(self, db4):
        assert db4.rebuild("c") == 0
        assert db4.collection_info("c").estimated_memory_bytes == 0

    @settings(max_examples=15, deadline=None)
    @given(st.lists(st.booleans(), min_size=0, max_size=30))
    def test_rebuild_count_matches_survivors(self, deleted_flags):
        db = Karvalith()
        db.create_collection("c", 4, m=4, ef_construction=16)
        ids = db.batch_insert(
            "c", [{"text": f"t{i}", "embedding": vector(i)} for i in range(len(deleted_flags))]
        )
        for doc_id, deleted in zip(ids, deleted_flags):
            if deleted:
                db.delete("c", doc_id)
        survivors = deleted_flags.count(False)
        assert db.rebuild("c") == survivors
        assert db.collection_info("c").document_count == survivors
        assert db.rebuild("c") == survivors
