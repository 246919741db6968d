"""KarvalithVectorStore: LangChain's standard vector store suite, then the adapter's own rules
(ids, metadata, filters, MMR, keyword and hybrid search, persistence)."""

import datetime
import subprocess
import sys
import textwrap
import uuid

import pytest

pytest.importorskip("langchain_core")
langchain_tests = pytest.importorskip("langchain_tests.integration_tests")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402

from karvalith import Karvalith  # noqa: E402
from karvalith.langchain import ID_NAMESPACE, KarvalithVectorStore, translate_filter  # noqa: E402


# The suite's coroutine tests carry no marks of their own; pytest-asyncio (a
# dependency of langchain-tests) runs them when their class is marked, and warns
# about the sync tests the class mark also reaches.
standard_suite = [
    pytest.mark.asyncio,
    pytest.mark.filterwarnings("ignore:.*is marked with '@pytest.mark.asyncio' but it is not an async"),
]


@standard_suite[0]
@standard_suite[1]
class TestStandardSuiteInMemory(langchain_tests.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        yield KarvalithVectorStore(self.get_embeddings())


@standard_suite[0]
@standard_suite[1]
class TestStandardSuitePersistent(langchain_tests.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        yield KarvalithVectorStore(self.get_embeddings(), data_dir=str(tmp_path / "data"))


class AxisEmbeddings(Embeddings):
    """Texts "x y" of numbers map to the 3-vector (x, y, 1): offline and exact."""

    def embed_documents(self, texts):
        return [self.embed_query(text) for text in texts]

    def embed_query(self, text):
        x, y = (float(part) for part in text.split()[:2])
        return [x, y, 1.0]


@pytest.fixture
def store():
    return KarvalithVectorStore(DeterministicFakeEmbedding(size=8))


class TestIds:
    def test_langchain_ids_are_stored_under_uuid5_and_come_back_verbatim(self, store):
        ids = store.add_texts(["a", "b"], ids=["doc-1", "Doc 1"])
        assert ids == ["doc-1", "Doc 1"]
        stored = store.client.get("langchain", str(uuid.uuid5(ID_NAMESPACE, "doc-1")))
        assert stored["text"] == "a"
        assert [d.id for d in store.get_by_ids(["Doc 1", "missing", "doc-1"])] == ["Doc 1", "doc-1"]
        assert {d.id for d in store.similarity_search("a", k=2)} == {"doc-1", "Doc 1"}

    def test_repeated_ids_in_one_call_keep_the_last(self, store):
        store.add_texts(["first", "second", "other"], ids=["x", "x", "y"])
        assert store.client.collection_info("langchain").document_count == 2
        assert store.get_by_ids(["x"])[0].page_content == "second"

    def test_mismatched_lengths_and_non_string_ids_are_refused(self, store):
        with pytest.raises(ValueError, match="2 ids for 1 texts"):
            store.add_texts(["a"], ids=["1", "2"])
        with pytest.raises(ValueError, match="ids must be strings"):
            store.add_texts(["a"], ids=[7])
        with pytest.raises(ValueError, match="metadatas"):
            store.add_texts(["a", "b"], metadatas=[{}])

    def test_delete_on_a_missing_collection_and_delete_collection(self, store):
        assert store.delete(["nothing"]) is True
        assert store.delete(filter={"k": 1}) is True
        store.add_texts(["a", "b", "c"])
        store.delete_collection()
        assert store.similarity_search("a", k=3) == []
        store.add_texts(["d"], ids=["d"])
        assert [d.id for d in store.get()] == ["d"]


def add_numbered(store, count=10):
    """Documents "0".."count-1" with n and source (a.pdf for even n), then "nokey" without either."""
    store.add_texts([f"text {i}" for i in range(count)],
                    [{"n": i, "source": "a.pdf" if i % 2 == 0 else "b.pdf"} for i in range(count)],
                    ids=[str(i) for i in range(count)])
    store.add_texts(["no keys"], [{"other": 1}], ids=["nokey"])


def stored_ids(store):
    return sorted(d.id for d in store.get())


class TestDeleteAndGet:
    def test_slips_in_delete_raise_and_delete_nothing(self, store):
        add_numbered(store)
        before = stored_ids(store)
        with pytest.raises(ValueError, match="needs ids or a filter"):
            store.delete()
        with pytest.raises(TypeError, match="'filtr'.*accepted: ids, filter, where"):
            store.delete(filtr={"source": "a.pdf"})
        with pytest.raises(TypeError, match="'where_document'"):
            store.delete(where_document={"$contains": "text"})
        with pytest.raises(TypeError, match="both filter and where"):
            store.delete(filter={"n": 1}, where={"n": 2})
        with pytest.raises(ValueError, match="selects every document"):
            store.delete(filter={})
        with pytest.raises(ValueError, match="needs a non-empty list of filters"):
            store.delete(filter={"$and": []})
        with pytest.raises(TypeError, match="not one string"):
            store.delete("1")
        with pytest.raises(ValueError, match="unknown filter operator '\\$nor'"):
            store.delete(filter={"$nor": [{"n": 1}, {"source": "b.pdf"}]})
        assert stored_ids(store) == before

    def test_delete_by_filter_where_and_ids(self, store):
        add_numbered(store)
        assert store.delete(filter={"source": "a.pdf"}) is True
        assert stored_ids(store) == ["1", "3", "5", "7", "9", "nokey"]
        # Chroma's name for the filter; with ids, only those of them that pass.
        store.delete(ids=["1", "3", "nokey"], where={"n": {"$gte": 3}})
        assert stored_ids(store) == ["1", "5", "7", "9", "nokey"]
        store.delete(filter={"n": {"$ne": 7}})  # "nokey" lacks n: it fails $ne too
        assert stored_ids(store) == ["7", "nokey"]
        store.delete(ids=[])
        assert stored_ids(store) == ["7", "nokey"]
        # Across keys, and the complement: one record each, in the engine.
        add_numbered(store, 6)
        store.delete(filter={"$or": [{"n": 1}, {"other": 1}]})
        assert stored_ids(store) == ["0", "2", "3", "4", "5", "7"]
        store.delete(filter={"$not": {"source": "a.pdf"}})
        assert stored_ids(store) == ["0", "2", "4"]

    def test_filters_reach_every_passing_document_of_a_large_collection(self):
        # More documents pass than the engine would score exactly by default
        # (40 * sqrt(3000) ~ 2190): a graph walk could miss some.
        store = KarvalithVectorStore(DeterministicFakeEmbedding(size=8))
        count = 3000
        store.add_texts([f"t{i}" for i in range(count)], [{"n": i} for i in range(count)],
                        ids=[str(i) for i in range(count)])
        assert len(store.get(filter={"n": {"$gte": 500}})) == 2500
        store.delete(filter={"n": {"$gte": 500}})
        assert stored_ids(store) == sorted(str(i) for i in range(500))

    def test_get_by_ids_filter_and_limit(self, store):
        assert store.get() == []
        add_numbered(store, 6)
        store.add_texts(["text 2, replaced"], [{"n": 2, "source": "a.pdf"}], ids=["2"])
        # Oldest placement first: the replaced document counts as the newest.
        assert [d.id for d in store.get()] == ["0", "1", "3", "4", "5", "nokey", "2"]
        assert [d.id for d in store.get(limit=2)] == ["0", "1"]
        assert [d.id for d in store.get(filter={"source": "a.pdf"})] == ["0", "4", "2"]
        assert [d.id for d in store.get(where={"source": "a.pdf"}, limit=1)] == ["0"]
        hits = store.get(["4", "missing", "1", "2"], filter={"source": "a.pdf"})
        assert [(d.id, d.page_content, d.metadata) for d in hits] == [
            ("4", "text 4", {"n": 4, "source": "a.pdf"}),
            ("2", "text 2, replaced", {"n": 2, "source": "a.pdf"}),
        ]
        assert [d.id for d in store.get(["5", "3"], limit=1)] == ["5"]
        assert store.get(limit=0) == []
        for limit in (-1, 1.5, True):
            with pytest.raises(ValueError, match="limit"):
                store.get(limit=limit)
        # Pages through offset and limit, in the same order, with or without ids and filters.
        assert [d.id for d in store.get(offset=5)] == ["nokey", "2"]
        assert [d.id for d in store.get(limit=2, offset=1)] == ["1", "3"]
        assert [d.id for d in store.get(filter={"source": "a.pdf"}, offset=1, limit=1)] == ["4"]
        assert [d.id for d in store.get(["5", "missing", "3", "0"], offset=1, limit=1)] == ["3"]
        assert store.get(offset=7) == []
        for offset in (-1, None, 0.5):
            with pytest.raises(ValueError, match="offset"):
                store.get(offset=offset)
        with pytest.raises(TypeError, match="where_document"):
            store.get(where_document={"$contains": "text"})


class TestKeywordArguments:
    def test_unknown_keywords_are_refused_by_name_before_anything_is_written(self, store):
        with pytest.raises(TypeError, match="'idz'.*accepted: metadatas, ids, batch_size"):
            store.add_texts(["a"], idz=["1"])
        with pytest.raises(TypeError, match="'metadata'"):
            store.add_documents([Document(page_content="a")], metadata=[{"k": 1}])
        with pytest.raises(TypeError, match="'data_dri'"):
            KarvalithVectorStore.from_texts(["a"], DeterministicFakeEmbedding(size=8), data_dri="x")
        assert store.get() == []
        add_numbered(store, 4)
        with pytest.raises(TypeError, match="unexpected search arguments: 'filtr'"):
            store.similarity_search("text 1", k=1, filtr={"n": 1})
        with pytest.raises(TypeError, match="'where'"):
            store.max_marginal_relevance_search("text 1", k=1, where={"n": 1})
        with pytest.raises(TypeError, match="'filtr'"):
            store.as_retriever(search_kwargs={"k": 1, "filtr": {"n": 3}}).invoke("text 1")
        found = store.as_retriever(search_kwargs={"k": 1, "filter": {"n": 3}}).invoke("text 1")
        assert [d.id for d in found] == ["3"]

    def test_batch_size_and_the_indexing_api(self, store):
        from langchain_core.indexing import InMemoryRecordManager, index

        with pytest.raises(ValueError, match="batch_size"):
            store.add_texts(["a"], batch_size=0)
        store.add_texts([str(i) for i in range(7)], ids=[str(i) for i in range(7)], batch_size=3)
        assert stored_ids(store) == [str(i) for i in range(7)]
        store.delete_collection()
        # index() passes batch_size to add_documents and deletes by ids.
        records = InMemoryRecordManager("karvalith")
        records.create_schema()
        docs = [Document(page_content=f"doc {i}", metadata={"source": f"s{i}"}) for i in range(5)]
        assert index(docs, records, store, cleanup="full", batch_size=2, key_encoder="sha256")["num_added"] == 5
        outcome = index(docs[:3], records, store, cleanup="full", batch_size=2, key_encoder="sha256")
        assert outcome["num_deleted"] == 2
        assert sorted(d.page_content for d in store.get()) == ["doc 0", "doc 1", "doc 2"]


class TestMetadata:
    def test_non_scalar_values_round_trip_and_stay_out_of_filters(self, store):
        metadata = {"none": None, "tags": ["a", "b"], "nested": {"k": [1, 2.5]}, "n": 3, "ok": True}
        store.add_texts(["text"], [metadata], ids=["1"])
        assert store.get_by_ids(["1"])[0].metadata == metadata
        assert store.similarity_search("text", k=1, filter={"n": 3})[0].metadata == metadata
        with pytest.raises(ValueError, match="cannot compare with list"):
            store.similarity_search("text", filter={"tags": ["a", "b"]})

    def test_unstorable_values_and_reserved_keys_write_nothing(self, store):
        store.add_texts(["keep"], ids=["keep"])
        with pytest.raises(ValueError, match="cannot be stored"):
            store.add_texts(["a", "b"], [{"ok": 1}, {"when": datetime.date(2024, 1, 1)}])
        with pytest.raises(ValueError, match="reserved"):
            store.add_texts(["a"], [{"_lc_id": "forged"}])
        with pytest.raises(ValueError, match="keys must be strings"):
            store.add_texts(["a"], [{1: "x"}])
        assert store.client.list_ids("langchain") == [str(uuid.uuid5(ID_NAMESPACE, "keep"))]

    def test_integers_beyond_64_bits_are_kept_as_json(self, store):
        store.add_texts(["a"], [{"big": 2**70}], ids=["1"])
        assert store.get_by_ids(["1"])[0].metadata == {"big": 2**70}


def _selected(filter):
    """The ns of the documents n = 0..11 ({"k": "abc"[n % 3], "n": n, "even":
    n % 2 == 0}, and one without keys) a Karvalith filter passes."""
    db = Karvalith()
    db.create_collection("c", 2)
    db.batch_insert("c", [{"text": str(n), "embedding": [1.0, n], "metadata": {"k": "abc"[n % 3], "n": n, "even": n % 2 == 0}}
                          for n in range(12)] + [{"text": "none", "embedding": [1.0, 0.0]}])
    return sorted(d["text"] for d in db.get("c", filter=filter))


class TestFilterTranslation:
    @pytest.mark.parametrize(
        "filter,must",
        [
            ({"k": "a"}, [{"field": "k", "op": "eq", "value": "a"}]),
            ({"n": {"$eq": 1}}, [{"field": "n", "op": "eq", "value": 1}]),
            ({"n": {"$gte": 1, "$lt": 5.5}},
             [{"field": "n", "op": "gte", "value": 1}, {"field": "n", "op": "lt", "value": 5.5}]),
            ({"k": {"$in": ["a", "b"]}}, [{"field": "k", "op": "in", "values": ["a", "b"]}]),
            ({"n": {"$nin": [1, 2]}},
             [{"field": "n", "op": "ne", "value": 1}, {"field": "n", "op": "ne", "value": 2}]),
            ({"$and": [{"n": 1}, {"k": {"$ne": True}}]},
             [{"field": "n", "op": "eq", "value": 1}, {"field": "k", "op": "ne", "value": True}]),
            ({"$or": [{"k": "a"}, {"k": {"$in": ["b", "c"]}}, {"k": {"$eq": "d"}}]},
             [{"field": "k", "op": "in", "values": ["a", "b", "c", "d"]}]),
            ({"n": {"$lte": 3}}, [{"field": "n", "op": "lte", "value": 3}]),
            ({"n": {"$gt": 3, "$lte": 7.0}},
             [{"field": "n", "op": "gt", "value": 3}, {"field": "n", "op": "lte", "value": 7.0}]),
            ({"n": {"$lt": 3.5}}, [{"field": "n", "op": "lt", "value": 3.5}]),
            ({"even": True}, [{"field": "even", "op": "eq", "value": True}]),
            ({"even": {"$ne": True}, "n": {"$gte": 6}},
             [{"field": "even", "op": "ne", "value": True}, {"field": "n", "op": "gte", "value": 6}]),
            ({"$or": [{"even": {"$in": [False]}}, {"n": {"$eq": 4}}]},
             [{"field": "even", "op": "in", "values": [False, True]}, {"field": "n", "op": "ne", "value": 0},
              {"field": "n", "op": "ne", "value": 2}, {"field": "n", "op": "ne", "value": 6},
              {"field": "n", "op": "ne", "value": 8}, {"field": "n", "op": "ne", "value": 10}]),
        ],
    )
    def test_filters_mean_their_list_form(self, filter, must):
        translated = translate_filter(filter)
        assert translated == {"$and": [filter]}
        assert _selected(translated) == _selected({"must": must})

    @pytest.mark.parametrize(
        "filter,expected",
        [
            ({"n": {"$lte": 2}}, ["0", "1", "2"]),
            ({"n": {"$gt": 9}}, ["10", "11"]),
            ({"even": True, "n": {"$lt": 5}}, ["0", "2", "4"]),
            # Booleans and integers are different values: True is not 1.
            ({"n": True}, []),
            ({"n": {"$in": [True, 1]}}, ["1"]),
            ({"even": 1}, []),
            ({"$or": [{"k": {"$in": ["b"]}}, {"n": {"$eq": 0}}, {"even": False, "k": "c"}]},
             ["0", "1", "10", "4", "5", "7", "11"]),
        ],
    )
    def test_comparisons_booleans_and_mixed_disjunctions_select_what_they_say(self, filter, expected):
        assert _selected(translate_filter(filter)) == sorted(expected)

    @pytest.mark.parametrize(
        "filter,expected",
        [
            # What a conjunction of conditions cannot say, Karvalith now reads itself.
            ({"$or": [{"n": 1}, {"k": "b"}]}, ["1", "10", "4", "7"]),
            ({"$or": [{"n": {"$gt": 9}}, {"n": 5}]}, ["10", "11", "5"]),
            ({"$not": {"k": "a"}}, ["1", "10", "11", "2", "4", "5", "7", "8", "none"]),
            ({"n": {"$not": {"$lt": 10}}}, ["10", "11", "none"]),
            # A key named like the list form's is a plain key here.
            ({"must": 1}, []),
        ],
    )
    def test_disjunctions_and_negations(self, filter, expected):
        assert _selected(translate_filter(filter)) == expected

    def test_no_filter(self):
        assert translate_filter(None) is None
        assert translate_filter({}) is None

    @pytest.mark.parametrize(
        "filter,message",
        [
            ({"a": {"$exists": True}}, "unknown filter operator '\\$exists' \\(accepted: \\$eq, \\$ne"),
            ({"$nor": [{"a": 1}]}, "unknown filter operator '\\$nor' \\(accepted: \\$and, \\$or, \\$not"),
            ({"a": {"$gt": "x"}}, "needs a number"),
            ({"a": {"$in": "x"}}, "needs a list"),
            ({"a": None}, "cannot compare with NoneType"),
            ({"a": {}}, "empty condition"),
            ({"_lc_id": "x"}, "reserved"),
            ({"$or": [{"a": 1}, {"_lc_json.tags": "x"}]}, "reserved"),
            (["a"], "must be a dict"),
        ],
    )
    def test_inexpressible_filters_raise(self, filter, message):
        with pytest.raises(ValueError, match=message):
            translate_filter(filter)

    def test_filters_select_documents(self):
        store = KarvalithVectorStore(AxisEmbeddings())
        texts = [f"{i} 0" for i in range(10)]
        store.add_texts(texts, [{"n": i, "kind": "even" if i % 2 == 0 else "odd"} for i in range(10)],
                        ids=[str(i) for i in range(10)])
        store.add_texts(["5 5"], [{"other": 1}], ids=["nokey"])

        def ids(filter):
            return sorted(d.id for d in store.similarity_search("1 0", k=20, filter=filter))

        assert ids({"kind": "odd", "n": {"$gt": 4}}) == ["5", "7", "9"]
        assert ids({"$or": [{"n": 1}, {"n": 8}]}) == ["1", "8"]
        assert ids({"n": {"$nin": [0, 1, 2, 3, 4, 5, 6, 7]}}) == ["8", "9"]  # "nokey" lacks n
        assert ids({"n": {"$ne": 3}, "kind": "odd"}) == ["1", "5", "7", "9"]


class TestSearches:
    def test_scores_relevance_mmr_keyword_and_hybrid(self):
        store = KarvalithVectorStore.from_texts(
            ["1 0", "1 0.01", "0 1", "-1 0"], AxisEmbeddings(), ids=["a", "a2", "b", "c"],
        )
        scored = store.similarity_search_with_score("1 0", k=4)
        assert scored[0][0].id == "a" and scored[-1][0].id == "c"
        assert [s for _, s in scored] == sorted((s for _, s in scored), reverse=True)
        relevance = store.similarity_search_with_relevance_scores("1 0", k=4)
        assert all(0.0 <= r <= 1.0 for _, r in relevance)
        # Weighted towards diversity, MMR skips the near-duplicate of the best hit;
        # weighted towards relevance alone, it keeps the plain order.
        picked = store.max_marginal_relevance_search("1 0", k=2, fetch_k=4, lambda_mult=0.25)
        assert picked[0].id == "a" and picked[1].id != "a2"
        picked = store.max_marginal_relevance_search("1 0", k=2, fetch_k=4, lambda_mult=1.0)
        assert [d.id for d in picked] == ["a", "a2"]
        assert [d.id for d in store.similarity_search_by_vector([1.0, 0.0, 1.0], k=2)] == ["a", "a2"]

    def test_keyword_and_hybrid_search(self):
        store = KarvalithVectorStore(DeterministicFakeEmbedding(size=8))
        store.add_texts(["the cat sat", "dogs bark loudly", "a cat and a dog"],
                        [{"n": 1}, {"n": 2}, {"n": 3}], ids=["1", "2", "3"])
        assert {d.id for d in store.keyword_search("cat", k=5)} == {"1", "3"}
        assert [d.id for d in store.keyword_search("cat", k=5, filter={"n": {"$gte": 2}})] == ["3"]
        hits = store.hybrid_search_with_score("dogs bark loudly", k=3, fusion_method="linear", alpha=0.5)
        assert hits[0][0].id == "2"
        with pytest.raises(TypeError, match="unexpected search arguments"):
            store.similarity_search("cat", k=1, fetch_k=3)

    def test_an_empty_store_finds_nothing(self, store):
        assert store.similarity_search("x") == []
        assert store.keyword_search("x") == []
        assert store.max_marginal_relevance_search("x") == []
        assert store.get_by_ids(["x"]) == []


class TestPersistence:
    def test_reopened_store_keeps_ids_metadata_and_replacements(self, tmp_path):
        directory = str(tmp_path / "data")
        embeddings = DeterministicFakeEmbedding(size=8)
        store = KarvalithVectorStore(embeddings, "notes", data_dir=directory)
        store.add_documents([Document(id="n1", page_content="one", metadata={"tags": ["x"]}),
                             Document(id="n2", page_content="two")])
        store.add_documents([Document(id="n1", page_content="one, edited")])
        store.client.compact()
        store.add_texts(["three"], ids=["n3"])
        del store
        reopened = KarvalithVectorStore(embeddings, "notes", data_dir=directory)
        docs = {d.id: d for d in reopened.get_by_ids(["n1", "n2", "n3"])}
        assert docs["n1"].page_content == "one, edited"
        assert docs["n1"].metadata == {}
        assert set(docs) == {"n1", "n2", "n3"}
        assert reopened.client.collection_info("notes").document_count == 3

    def test_shared_client_and_metric_check(self, tmp_path):
        client = Karvalith()
        KarvalithVectorStore(AxisEmbeddings(), "c", client=client, distance_metric="euclidean").add_texts(["1 1"])
        with pytest.raises(ValueError, match="uses 'euclidean'"):
            KarvalithVectorStore(AxisEmbeddings(), "c", client=client, distance_metric="cosine")
        with pytest.raises(ValueError, match="either client or data_dir"):
            KarvalithVectorStore(AxisEmbeddings(), client=client, data_dir=str(tmp_path))
        again = KarvalithVectorStore(AxisEmbeddings(), "c", client=client)
        assert again.similarity_search_with_relevance_scores("1 1", k=1)[0][1] == pytest.approx(1.0, abs=1e-3)


class TestUpdateDocuments:
    def test_update_re_embeds_replaces_and_adds(self):
        store = KarvalithVectorStore(AxisEmbeddings())
        store.add_texts(["1 0 apple", "0 1 pear"], [{"v": 1}, {"v": 1}], ids=["a", "b"])
        store.update_documents(["a", "new"], [Document(page_content="-1 0 plum", metadata={"v": 2}),
                                              Document(id="new", page_content="0 -1 fig")])
        assert [(d.id, d.page_content, d.metadata) for d in store.get(["a", "new", "b"])] == [
            ("a", "-1 0 plum", {"v": 2}), ("new", "0 -1 fig", {}), ("b", "0 1 pear", {"v": 1})]
        # The vector and the keyword index follow the new text.
        assert store.similarity_search("-1 0", k=1)[0].id == "a"
        assert [d.id for d in store.keyword_search("apple")] == []
        assert [d.id for d in store.keyword_search("plum")] == ["a"]
        store.update_document("b", Document(page_content="0 1 quince"))
        assert store.get(["b"])[0].page_content == "0 1 quince"
        assert store.client.collection_info("langchain").document_count == 3

    def test_bad_updates_change_nothing(self, store):
        store.add_texts(["a"], [{"v": 1}], ids=["a"])
        with pytest.raises(ValueError, match="2 ids for 1 documents"):
            store.update_documents(["a", "b"], [Document(page_content="x")])
        with pytest.raises(ValueError, match="'b' given under the id 'a'"):
            store.update_documents(["a"], [Document(id="b", page_content="x")])
        with pytest.raises(TypeError, match="langchain Documents"):
            store.update_documents(["a"], ["x"])
        with pytest.raises(ValueError, match="cannot be stored"):
            store.update_documents(["a"], [Document(page_content="x", metadata={"d": datetime.date(2024, 1, 1)})])
        assert [(d.page_content, d.metadata) for d in store.get()] == [("a", {"v": 1})]


class TestRetrieverSearchTypes:
    @pytest.fixture
    def texts_store(self):
        store = KarvalithVectorStore(DeterministicFakeEmbedding(size=8))
        store.add_texts(["the cat sat", "dogs bark loudly", "a cat and a dog", "fish swim"],
                        [{"n": 1}, {"n": 2}, {"n": 3}, {"n": 4}], ids=["1", "2", "3", "4"])
        return store

    def test_hybrid_and_keyword_retrievers_match_the_store_methods(self, texts_store):
        store = texts_store
        keyword = store.as_retriever(search_type="keyword", search_kwargs={"k": 5})
        assert {d.id for d in keyword.invoke("cat")} == {"1", "3"}
        filtered = store.as_retriever(search_type="keyword", search_kwargs={"filter": {"n": {"$gte": 2}}})
        assert [d.id for d in filtered.invoke("cat")] == ["3"]
        for options in ({"k": 3}, {"k": 2, "alpha": 0.2, "fusion_method": "linear"},
                        {"k": 4, "alpha": 1.0, "fusion_method": "linear", "filter": {"n": {"$ne": 3}}}):
            hybrid = store.as_retriever(search_type="hybrid", search_kwargs=options)
            expected = [d.id for d in store.hybrid_search("cat dog", **options)]
            assert [d.id for d in hybrid.invoke("cat dog")] == expected
        # alpha 1 with linear fusion ranks by the vector side alone.
        by_vector = [d.id for d in store.similarity_search("cat dog", k=4, filter={"n": {"$ne": 3}})]
        assert [d.id for d in store.hybrid_search("cat dog", k=4, alpha=1.0, fusion_method="linear",
                                                  filter={"n": {"$ne": 3}})][:1] == by_vector[:1]

    def test_async_retrievers(self, texts_store):
        import asyncio

        retriever = texts_store.as_retriever(search_type="keyword", search_kwargs={"k": 5})
        assert {d.id for d in asyncio.run(retriever.ainvoke("cat"))} == {"1", "3"}
        hybrid = texts_store.as_retriever(search_type="hybrid", search_kwargs={"k": 2})
        found = asyncio.run(hybrid.ainvoke("dogs"))
        assert [d.id for d in found] == [d.id for d in texts_store.hybrid_search("dogs", k=2)]

    def test_unknown_search_types_and_options_are_refused(self, texts_store):
        with pytest.raises(ValueError, match="hybrid.*keyword"):
            texts_store.as_retriever(search_type="bm25")
        with pytest.raises(TypeError, match="'fetch_k'"):
            texts_store.as_retriever(search_type="keyword", search_kwargs={"fetch_k": 3}).invoke("cat")
        with pytest.raises(TypeError, match="'lambda_mult'"):
            texts_store.as_retriever(search_type="hybrid", search_kwargs={"lambda_mult": 3}).invoke("cat")
        mmr = texts_store.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 4})
        assert len(mmr.invoke("cat")) == 2


class TestLifetime:
    def test_close_and_context_manager(self, tmp_path):
        with KarvalithVectorStore(DeterministicFakeEmbedding(size=8)) as store:
            store.add_texts(["a"], ids=["a"])
            handle = store.client
        with pytest.raises(ValueError, match="is closed"):
            store.get()
        with pytest.raises(ValueError):
            handle.list_collections()  # the store's own in-memory handle is closed
        store.close()  # twice is allowed
        # A handle passed as client belongs to the caller and stays open.
        client = Karvalith()
        with KarvalithVectorStore(DeterministicFakeEmbedding(size=8), client=client) as borrowed:
            borrowed.add_texts(["b"], ids=["b"])
        assert client.collection_info("langchain").document_count == 1

    def test_one_directory_opened_twice_shares_one_handle(self, tmp_path):
        directory = str(tmp_path / "data")
        embeddings = DeterministicFakeEmbedding(size=8)
        first = KarvalithVectorStore(embeddings, data_dir=directory)
        first.add_texts(["one"], ids=["1"])
        # A notebook cell run again: the same directory, spelt another way.
        second = KarvalithVectorStore(embeddings, "other", data_dir=str(tmp_path / "." / "data"))
        assert second.client is first.client
        second.add_texts(["two"], ids=["2"])
        first.close()
        assert [d.id for d in second.get()] == ["2"]
        second.close()
        # The last store closed released the directory.
        with Karvalith(data_dir=directory) as reopened:
            assert sorted(reopened.list_collections()) == ["langchain", "other"]
            # A directory this process opened by hand is not taken over: the error says what to do.
            with pytest.raises(RuntimeError, match="in use.*pass that handle as client="):
                KarvalithVectorStore(embeddings, data_dir=directory)

    def test_a_store_dropped_unclosed_releases_its_handle(self, tmp_path):
        import gc

        directory = str(tmp_path / "data")
        store = KarvalithVectorStore(DeterministicFakeEmbedding(size=8), data_dir=directory)
        store.add_texts(["one"], ids=["1"])
        del store
        gc.collect()
        with Karvalith(data_dir=directory) as reopened:
            assert reopened.collection_info("langchain").document_count == 1

    def test_a_second_key_for_an_open_directory_is_refused(self, tmp_path):
        directory = str(tmp_path / "data")
        key, other = "ab" * 32, "cd" * 32
        store = KarvalithVectorStore(DeterministicFakeEmbedding(size=8), data_dir=directory, encryption_key=key)
        for wrong in (other, None):
            with pytest.raises(ValueError, match="already open in this process"):
                KarvalithVectorStore(DeterministicFakeEmbedding(size=8), data_dir=directory, encryption_key=wrong)
        same = KarvalithVectorStore(DeterministicFakeEmbedding(size=8), data_dir=directory, encryption_key=key.upper())
        assert same.client is store.client
        store.close()
        same.close()


def test_the_langchain_extra_installs_numpy_for_mmr():
    import importlib.metadata
    import re

    requirements = importlib.metadata.requires("karvalith") or []
    extra = [r for r in requirements if re.search(r"""extra\s*==\s*["']langchain["']""", r)]
    assert any(r.startswith("numpy") for r in extra), extra


def test_karvalith_imports_without_langchain():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["langchain_core"] = None  # as if it were not installed
        import karvalith
        assert karvalith.Karvalith
        try:
            import karvalith.langchain
        except ImportError as error:
            print("ImportError:", error)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "needs langchain-core" in out
