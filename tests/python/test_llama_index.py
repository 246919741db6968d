"""karvalith.llama_index.KarvalithVectorStore: nodes in and out, every query mode,
LlamaIndex's metadata filters against LlamaIndex's own filter function, persistence,
and an index built end to end through StorageContext."""

import math
import random
import subprocess
import sys
import textwrap
import uuid

import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import BaseEmbedding  # noqa: E402
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)
from llama_index.core.vector_stores.utils import build_metadata_filter_fn  # noqa: E402

from karvalith import Karvalith  # noqa: E402
from karvalith.llama_index import NODE_NAMESPACE, KarvalithVectorStore  # noqa: E402


def node(node_id, text, embedding, metadata=None, doc=None):
    n = TextNode(id_=node_id, text=text, embedding=list(embedding), metadata=metadata or {})
    if doc is not None:
        n.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=doc)
    return n


def ids_of(result):
    return list(result.ids)


def vector_query(embedding, k=10, **options):
    return VectorStoreQuery(query_embedding=list(embedding), similarity_top_k=k, **options)


@pytest.fixture
def store():
    return KarvalithVectorStore()


@pytest.fixture
def animals(store):
    """Four nodes of two source documents: texts for BM25, 3-vectors for similarity."""
    store.add([
        node("cat", "the cat sat on the mat", [1, 0, 0], {"n": 1, "kind": "pet"}, doc="doc-a"),
        node("cat2", "a cat purrs", [0.99, 0.1, 0], {"n": 2, "kind": "pet"}, doc="doc-a"),
        node("dog", "dogs bark at the mailman", [0, 1, 0], {"n": 3, "kind": "pet"}, doc="doc-b"),
        node("fish", "fish swim in the sea", [0, 0, 1], {"n": 4, "kind": "wild"}, doc="doc-b"),
    ])
    return store


class TestNodesInAndOut:
    def test_round_trip_keeps_ids_text_metadata_and_relationships(self, store):
        plain = str(uuid.uuid4())
        metadata = {"n": 3, "x": 0.5, "s": "a", "ok": True, "none": None, "tags": ["a", "b"], "big": 2**70}
        added = store.add([node("chunk-1", "first", [1, 0, 0], metadata, doc="source"),
                           node(plain, "second", [0, 1, 0])])
        assert added == ["chunk-1", plain]
        # A UUID id is stored as it is, any other under uuid5.
        assert sorted(store.client.list_ids("llama_index")) == sorted(
            [str(uuid.uuid5(NODE_NAMESPACE, "chunk-1")), plain])
        got = store.get_nodes(["missing", plain, "chunk-1"])
        assert [n.node_id for n in got] == [plain, "chunk-1"]
        first = got[1]
        assert first.get_content() == "first" and first.metadata == metadata
        assert first.ref_doc_id == "source"
        # Only filterable values are stored as filterable metadata.
        stored = store.client.get("llama_index", str(uuid.uuid5(NODE_NAMESPACE, "chunk-1")))["metadata"]
        assert {k: stored[k] for k in ("n", "x", "s", "ok", "_node_id", "ref_doc_id")} == {
            "n": 3, "x": 0.5, "s": "a", "ok": True, "_node_id": "chunk-1", "ref_doc_id": "source"}
        assert not {"none", "tags", "big"} & set(stored)
        assert [n.node_id for n in store.get_nodes()] == ["chunk-1", plain]

    def test_adding_a_stored_id_replaces_it(self, store):
        store.add([node("a", "old", [1, 0, 0], {"v": 1}), node("b", "bee", [0, 1, 0])])
        store.add([node("a", "new", [0, 0, 1], {"v": 2}), node("c", "one", [0, 1, 0]),
                   node("c", "two", [0, 1, 1])])
        assert [(n.node_id, n.get_content(), n.metadata) for n in store.get_nodes()] == [
            ("b", "bee", {}), ("a", "new", {"v": 2}), ("c", "two", {})]
        assert ids_of(store.query(vector_query([0, 0, 1], k=1))) == ["a"]

    def test_bad_nodes_and_arguments_write_nothing(self, store):
        store.add([node("keep", "keep", [1, 0, 0])])
        bad = [
            ([node("x", "x", [1, 0, 0]), TextNode(id_="y", text="no vector")], ValueError, "'y' has no embedding"),
            ([node("x", "x", [1, 0, 0], {"_node_id": "forged"})], ValueError, "'_node_id' is reserved"),
            ([node("x", "x", [1, 0, 0]), node("y", "y", [1, 0])], ValueError, "2 values, the collection 3"),
            (["text"], TypeError, "LlamaIndex nodes"),
        ]
        for nodes, error, message in bad:
            with pytest.raises(error, match=message):
                store.add(nodes)
        with pytest.raises(TypeError, match="'batch'"):
            store.add([node("x", "x", [1, 0, 0])], batch=2)
        assert [n.node_id for n in store.get_nodes()] == ["keep"]

    def test_delete_by_source_document_ids_and_filters(self, animals):
        def remaining():
            return sorted(n.node_id for n in animals.get_nodes())

        animals.delete("doc-a")
        assert remaining() == ["dog", "fish"]
        animals.delete("no-such-doc")
        with pytest.raises(TypeError, match="'delete_from_docstore'"):
            animals.delete("doc-b", delete_from_docstore=True)
        with pytest.raises(ValueError, match="needs node_ids or filters"):
            animals.delete_nodes()
        with pytest.raises(TypeError, match="not one string"):
            animals.delete_nodes("dog")
        assert remaining() == ["dog", "fish"]
        pets = MetadataFilters(filters=[MetadataFilter(key="kind", value="pet")])
        animals.delete_nodes(["fish"], filters=pets)  # fish is wild: it stays
        assert remaining() == ["dog", "fish"]
        animals.delete_nodes(filters=pets)
        assert remaining() == ["fish"]
        animals.delete_nodes(["fish", "missing"])
        assert remaining() == []
        animals.add([node("back", "back", [1, 0, 0])])
        animals.clear()
        assert animals.get_nodes() == [] and animals.client.list_collections() == []
        animals.clear()  # nothing to clear
        assert ids_of(animals.query(vector_query([1, 0, 0]))) == []

    def test_get_nodes_by_ids_and_filters(self, animals):
        wild_or_first = MetadataFilters(filters=[MetadataFilter(key="kind", value="wild"),
                                                 MetadataFilter(key="n", value=1)], condition="or")
        assert [n.node_id for n in animals.get_nodes(filters=wild_or_first)] == ["cat", "fish"]
        assert [n.node_id for n in animals.get_nodes(["fish", "dog", "cat"], filters=wild_or_first)] == [
            "fish", "cat"]


def random_metadata(rng):
    """Metadata drawn so that keys are sometimes missing and values repeat."""
    metadata = {}
    if rng.random() < 0.8:
        metadata["n"] = rng.randrange(6)
    if rng.random() < 0.8:
        metadata["x"] = rng.choice([0.5, 1.5, 2.0, 2.5, -1.0])
    if rng.random() < 0.8:
        metadata["s"] = rng.choice(["red", "green", "blue"])
    return metadata


F = MetadataFilter
OP = FilterOperator
FLAT_FILTERS = [
    F(key="n", value=2), F(key="n", value=2.0), F(key="s", value="red"),
    F(key="n", value=2, operator=OP.NE), F(key="s", value="red", operator=OP.NE),
    F(key="n", value=2, operator=OP.GT), F(key="x", value=1.5, operator=OP.GTE),
    F(key="x", value=2, operator=OP.LT), F(key="n", value=3, operator=OP.LTE),
    F(key="n", value=[1, 4], operator=OP.IN), F(key="s", value=["red", "blue"], operator=OP.IN),
    F(key="n", value=[1, 4], operator=OP.NIN), F(key="s", value=["green"], operator=OP.NIN),
    F(key="absent", value=1, operator=OP.NE),
]


def model_holds(filters, metadata):
    """LlamaIndex's own filter function on each flat group, combined recursively."""
    parts = []
    for f in filters.filters:
        if isinstance(f, MetadataFilters):
            parts.append(model_holds(f, metadata))
        else:
            parts.append(build_metadata_filter_fn(lambda _: metadata, MetadataFilters(filters=[f]))("id"))
    if not parts:
        return True
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return all(parts)
    if condition == FilterCondition.OR:
        return any(parts)
    return not any(parts)


def nested_filters():
    group = MetadataFilters
    return [
        group(filters=[FLAT_FILTERS[5], FLAT_FILTERS[2]]),  # and
        group(filters=[FLAT_FILTERS[0], FLAT_FILTERS[10], FLAT_FILTERS[7]], condition="or"),
        group(filters=[FLAT_FILTERS[2], FLAT_FILTERS[9]], condition="not"),
        group(filters=[FLAT_FILTERS[3], FLAT_FILTERS[11]], condition="not"),  # not of negations
        group(filters=[F(key="n", value=1), F(key="n", value=[3, 5], operator=OP.IN)], condition="or"),
        group(filters=[FLAT_FILTERS[6], group(filters=[FLAT_FILTERS[0], FLAT_FILTERS[4]], condition="or")]),
        group(filters=[group(filters=[FLAT_FILTERS[5], FLAT_FILTERS[2]]),
                       group(filters=[FLAT_FILTERS[8]], condition="not")], condition="or"),
        group(filters=[group(filters=[FLAT_FILTERS[12], FLAT_FILTERS[1]], condition="or")], condition="not"),
        group(filters=[FLAT_FILTERS[0], group(filters=[FLAT_FILTERS[2], FLAT_FILTERS[7]], condition="or")],
              condition="not"),
        group(filters=[], condition="or"),
        # A group of no filters passes everything: in an or, and under a not.
        group(filters=[FLAT_FILTERS[0], group(filters=[])], condition="or"),
        group(filters=[FLAT_FILTERS[5], group(filters=[])], condition="not"),
    ]


class TestFilters:
    @pytest.fixture(scope="class")
    def populated(self):
        rng = random.Random(22)
        store = KarvalithVectorStore()
        metadata = {f"node-{i}": random_metadata(rng) for i in range(60)}
        store.add([node(key, f"text {key}", [rng.uniform(-1, 1) for _ in range(4)], m)
                   for key, m in metadata.items()])
        return store, metadata

    @pytest.mark.parametrize("filters", [MetadataFilters(filters=[f]) for f in FLAT_FILTERS] + nested_filters(),
                             ids=lambda f: repr(f)[:80])
    def test_every_operator_and_combination_agrees_with_llama_index(self, populated, filters):
        store, metadata = populated
        expected = sorted(key for key, m in metadata.items() if model_holds(filters, m))
        assert sorted(n.node_id for n in store.get_nodes(filters=filters)) == expected
        found = store.query(vector_query([0.1, 0.2, 0.3, 0.4], k=100, filters=filters))
        assert sorted(ids_of(found)) == expected
        assert found.similarities == sorted(found.similarities, reverse=True)
        by_text = store.query(VectorStoreQuery(query_str="text", similarity_top_k=100, filters=filters,
                                               mode=VectorStoreQueryMode.TEXT_SEARCH))
        assert sorted(ids_of(by_text)) == expected

    @pytest.mark.parametrize("filters", [f for f in nested_filters()[1:] if f.filters], ids=lambda f: repr(f)[:80])
    def test_deleting_by_filters_removes_exactly_the_passing_nodes(self, filters):
        rng = random.Random(23)
        store = KarvalithVectorStore()
        metadata = {f"node-{i}": random_metadata(rng) for i in range(40)}
        store.add([node(key, f"text {key}", [rng.uniform(-1, 1) for _ in range(4)], m)
                   for key, m in metadata.items()])
        store.delete_nodes(filters=filters)
        kept = sorted(key for key, m in metadata.items() if not model_holds(filters, m))
        assert sorted(n.node_id for n in store.get_nodes()) == kept
        # By ids as well: only the named nodes that pass go.
        store.add([node(key, f"text {key}", [0.5] * 4, m) for key, m in metadata.items()])
        named = [f"node-{i}" for i in range(0, 40, 3)]
        store.delete_nodes(named, filters=filters)
        gone = {key for key in named if model_holds(filters, metadata[key])}
        assert sorted(n.node_id for n in store.get_nodes()) == sorted(set(metadata) - gone)

    def test_keys_the_engine_reads_as_operators_are_refused(self, animals):
        with pytest.raises(ValueError, match="keys starting with '\\$' cannot be filtered on"):
            animals.get_nodes(filters=MetadataFilters(filters=[F(key="$and", value=1)]))

    @pytest.mark.parametrize("operator", [OP.ANY, OP.ALL, OP.CONTAINS, OP.TEXT_MATCH,
                                          OP.TEXT_MATCH_INSENSITIVE, OP.IS_EMPTY])
    def test_unsupported_operators_are_refused_by_name(self, animals, operator):
        value = ["a"] if operator in (OP.ANY, OP.ALL) else "a"
        filters = MetadataFilters(filters=[F(key="n", value=1),
                                           MetadataFilters(filters=[F(key="s", value=value, operator=operator)])])
        with pytest.raises(ValueError, match=f"operator '{operator.value}' is not supported"):
            animals.query(vector_query([1, 0, 0], filters=filters))
        with pytest.raises(ValueError, match=f"'{operator.value}'"):
            animals.delete_nodes(filters=filters)
        assert len(animals.get_nodes()) == 4

    @pytest.mark.parametrize("condition,message", [
        (F(key="n", value="x", operator=OP.GT), "needs a number"),
        (F(key="n", value=1, operator=OP.IN), "needs a list"),
        (F(key="n", value=[1, 2]), "needs one value"),
        (F(key="n", value=None), "cannot compare with NoneType"),
        (F(key="n", value=math.nan, operator=OP.LT), "NaN"),
    ])
    def test_operands_that_cannot_match_as_meant_are_refused(self, animals, condition, message):
        with pytest.raises(ValueError, match=message):
            animals.get_nodes(filters=MetadataFilters(filters=[condition]))


class TestQueryModes:
    def test_default_mode_with_source_and_node_restrictions(self, animals):
        assert ids_of(animals.query(vector_query([1, 0, 0], k=2))) == ["cat", "cat2"]
        assert ids_of(animals.query(vector_query([1, 0, 0], k=2, doc_ids=["doc-b"]))) == ["dog", "fish"]
        assert ids_of(animals.query(vector_query([1, 0, 0], k=4, node_ids=["fish", "cat2"]))) == ["cat2", "fish"]
        # Empty lists restrict nothing (LlamaIndex's retriever passes node_ids=[]).
        assert len(animals.query(vector_query([1, 0, 0], k=4, node_ids=[], doc_ids=[])).ids) == 4
        result = animals.query(vector_query([0, 1, 0], k=1))
        assert result.nodes[0].get_content() == "dogs bark at the mailman"
        assert result.similarities[0] == pytest.approx(1.0)
        assert ids_of(animals.query(vector_query([1, 0, 0], k=0))) == []

    def test_keyword_modes(self, animals):
        for mode in (VectorStoreQueryMode.TEXT_SEARCH, VectorStoreQueryMode.SPARSE):
            found = animals.query(VectorStoreQuery(query_str="cat", similarity_top_k=5, mode=mode))
            assert sorted(ids_of(found)) == ["cat", "cat2"]
        sparse = animals.query(VectorStoreQuery(query_str="cat", similarity_top_k=5, sparse_top_k=1,
                                                mode=VectorStoreQueryMode.SPARSE))
        assert ids_of(sparse) == ["cat2"]  # the shorter text scores higher

    def test_hybrid_alpha_weighs_the_vector_side_as_in_llama_index(self, animals):
        def hybrid(alpha, **options):
            query = VectorStoreQuery(query_embedding=[0, 0, 1], query_str="cat", similarity_top_k=4,
                                     mode=VectorStoreQueryMode.HYBRID, alpha=alpha)
            return ids_of(animals.query(query, **options))

        keyword_first = ids_of(animals.query(VectorStoreQuery(query_str="cat", mode="text_search")))
        assert keyword_first == ["cat2"]
        assert hybrid(1.0)[0] == "fish"  # the vector side alone
        assert hybrid(0.0)[0] == "cat2"  # the keyword side alone
        assert set(hybrid(None)) == {"cat", "cat2", "dog", "fish"}
        assert hybrid(None) == hybrid(None, fusion_method="rrf")
        assert hybrid(None, fusion_method="linear") == hybrid(0.7)  # our default alpha
        with pytest.raises(ValueError, match="alpha weighs linear fusion"):
            hybrid(0.5, fusion_method="rrf")
        top_two = VectorStoreQuery(query_embedding=[0, 0, 1], query_str="cat", similarity_top_k=4,
                                   hybrid_top_k=2, mode=VectorStoreQueryMode.HYBRID)
        assert len(animals.query(top_two).ids) == 2

    def test_mmr_trades_relevance_for_diversity(self, animals):
        def mmr(threshold, **options):
            query = vector_query([1, 0.05, 0], k=2, mode=VectorStoreQueryMode.MMR)
            return ids_of(animals.query(query, mmr_threshold=threshold, **options))

        assert mmr(1.0) == ["cat", "cat2"]  # relevance alone: the near-duplicate stays
        assert mmr(0.3)[0] == "cat" and mmr(0.3)[1] != "cat2"
        assert mmr(1.0, mmr_prefetch_k=2) == ["cat", "cat2"]
        assert ids_of(animals.query(vector_query([1, 0, 0], k=3, mode="mmr"))) [0] == "cat"
        for options, message in (({"mmr_prefetch_k": 1}, "at least similarity_top_k"),
                                 ({"mmr_prefetch_k": 4, "mmr_prefetch_factor": 2.0}, "not both"),
                                 ({"mmr_prefetch_factor": 0.5}, "at least 1")):
            with pytest.raises(ValueError, match=message):
                mmr(0.5, **options)
        with pytest.raises(ValueError, match="between 0 and 1"):
            mmr(1.5)

    def test_slips_are_refused_by_name(self, animals):
        with pytest.raises(TypeError, match="'mmr_treshold'"):
            animals.query(vector_query([1, 0, 0], mode="mmr"), mmr_treshold=0.2)
        with pytest.raises(ValueError, match="mmr_threshold apply to the mmr mode only"):
            animals.query(vector_query([1, 0, 0]), mmr_threshold=0.2)
        with pytest.raises(ValueError, match="fusion_method applies to the hybrid mode only"):
            animals.query(vector_query([1, 0, 0]), fusion_method="linear")
        with pytest.raises(ValueError, match="'svm' is not supported"):
            animals.query(vector_query([1, 0, 0], mode="svm"))
        with pytest.raises(ValueError, match="needs query_str"):
            animals.query(vector_query([1, 0, 0], mode="hybrid"))
        with pytest.raises(ValueError, match="needs query_embedding"):
            animals.query(VectorStoreQuery(query_str="cat"))
        with pytest.raises(TypeError, match="'data_dri'"):
            KarvalithVectorStore(data_dri="x")

    def test_an_empty_store_finds_nothing(self, store):
        assert ids_of(store.query(vector_query([1, 0, 0]))) == []
        assert ids_of(store.query(vector_query([1, 0, 0], mode="mmr"))) == []
        assert store.get_nodes(["x"]) == [] and store.get_nodes() == []
        store.delete("x")
        store.delete_nodes(["x"])


class TestPersistence:
    def test_a_reopened_directory_answers_as_before(self, tmp_path):
        directory = tmp_path / "data"
        with KarvalithVectorStore("notes", data_dir=directory, distance_metric="cosine") as store:
            store.add([node("a", "alpha", [1, 0, 0], {"n": 1}, doc="d"), node("b", "beta", [0, 1, 0])])
            store.delete_nodes(["b"])
            store.add([node("a", "alpha two", [1, 0, 0], {"n": 2}, doc="d")])
            store.persist(str(tmp_path / "ignored" / "default__vector_store.json"))
            assert store.client.status()["log_records"] == 0  # folded into snapshots
            store.add([node("c", "gamma", [0, 0, 1])])
        with KarvalithVectorStore("notes", data_dir=directory) as reopened:
            assert [(n.node_id, n.get_content(), n.metadata) for n in reopened.get_nodes()] == [
                ("a", "alpha two", {"n": 2}), ("c", "gamma", {})]
            assert ids_of(reopened.query(vector_query([0, 0, 1], k=1))) == ["c"]
            with pytest.raises(ValueError, match="uses 'cosine'"):
                KarvalithVectorStore("notes", data_dir=directory, distance_metric="euclidean")
            # A second store on the directory shares the open handle.
            other = KarvalithVectorStore("other", data_dir=directory)
            assert other.client is reopened.client
            other.close()
            assert reopened.get_nodes(["a"])[0].ref_doc_id == "d"

    def test_an_in_memory_store_persists_into_the_storage_directory(self, tmp_path):
        store = KarvalithVectorStore()
        store.add([node("a", "alpha", [1, 0, 0])])
        store.persist(str(tmp_path / "storage" / "default__vector_store.json"))
        with KarvalithVectorStore(data_dir=tmp_path / "storage") as reopened:
            assert [n.get_content() for n in reopened.get_nodes(["a"])] == ["alpha"]

    def test_a_sealed_directory_needs_its_key(self, tmp_path):
        key = "5a" * 32
        with KarvalithVectorStore(data_dir=tmp_path, encryption_key=key) as store:
            store.add([node("a", "alpha", [1, 0, 0])])
        with pytest.raises(ValueError, match="sealed data.*no encryption key"):
            KarvalithVectorStore(data_dir=tmp_path)
        with KarvalithVectorStore(data_dir=tmp_path, encryption_key=key) as store:
            assert [n.get_content() for n in store.get_nodes()] == ["alpha"]

    def test_closed_stores_refuse_calls_and_a_client_stays_open(self):
        client = Karvalith()
        with KarvalithVectorStore(client=client) as store:
            store.add([node("a", "alpha", [1, 0, 0])])
        with pytest.raises(ValueError, match="is closed"):
            store.get_nodes()
        assert client.collection_info("llama_index").document_count == 1


class BagOfWords(BaseEmbedding):
    """Deterministic, offline: word counts hashed into 16 buckets."""

    def _vector(self, text):
        vector = [0.0] * 16
        for word in text.lower().split():
            vector[sum(map(ord, word.strip(".,?"))) % 16] += 1.0
        return vector

    def _get_text_embedding(self, text):
        return self._vector(text)

    def _get_query_embedding(self, query):
        return self._vector(query)

    async def _aget_query_embedding(self, query):
        return self._vector(query)


class TestEndToEnd:
    def test_index_from_documents_then_retrieve_filter_and_delete(self, tmp_path):
        store = KarvalithVectorStore(data_dir=tmp_path / "data")
        documents = [
            Document(text="Karvalith keeps vectors on disk.", doc_id="d1", metadata={"topic": "storage"}),
            Document(text="Cats sleep most of the day.", doc_id="d2", metadata={"topic": "animals"}),
            Document(text="Dogs bark at night.", doc_id="d3", metadata={"topic": "animals"}),
        ]
        index = VectorStoreIndex.from_documents(
            documents, storage_context=StorageContext.from_defaults(vector_store=store), embed_model=BagOfWords())
        hits = index.as_retriever(similarity_top_k=1).retrieve("cats sleep")
        assert [h.node.ref_doc_id for h in hits] == ["d2"]
        assert hits[0].node.get_content() == "Cats sleep most of the day."
        animals = MetadataFilters(filters=[F(key="topic", value="animals")])
        found = index.as_retriever(similarity_top_k=3, filters=animals).retrieve("vectors on disk")
        assert sorted(h.node.ref_doc_id for h in found) == ["d2", "d3"]
        hybrid = index.as_retriever(similarity_top_k=1, vector_store_query_mode="hybrid", alpha=0.0)
        assert [h.node.ref_doc_id for h in hybrid.retrieve("bark")] == ["d3"]
        index.delete_ref_doc("d2")
        assert sorted(n.ref_doc_id for n in store.get_nodes()) == ["d1", "d3"]
        store.close()

    def test_an_in_memory_index_persisted_by_its_storage_context_loads_again(self, tmp_path):
        documents = [Document(text="Cats sleep most of the day.", doc_id="d1"),
                     Document(text="Dogs bark at night.", doc_id="d2")]
        context = StorageContext.from_defaults(vector_store=KarvalithVectorStore())
        VectorStoreIndex.from_documents(documents, storage_context=context, embed_model=BagOfWords())
        context.persist(persist_dir=str(tmp_path / "storage"))
        with KarvalithVectorStore(data_dir=tmp_path / "storage") as store:
            index = VectorStoreIndex.from_vector_store(store, embed_model=BagOfWords())
            assert [h.node.ref_doc_id for h in index.as_retriever(similarity_top_k=1).retrieve("dogs bark")] == [
                "d2"]


def test_karvalith_imports_without_llama_index():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["llama_index"] = None  # as if it were not installed
        import karvalith
        assert karvalith.Karvalith
        try:
            import karvalith.llama_index
        except ImportError as error:
            print("ImportError:", error)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "needs llama-index-core" in out
