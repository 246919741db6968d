"""Sharded collections with the shards in this process: routing, writes and
results identical to one collection. test_distributed_ray.py runs the same
comparisons on Ray actors, plus the fault tests."""

import random
import uuid

import pytest

from karvalith.distributed import SEQUENCE_FIELD, ShardedCollection, ShardWriteError, shard_of

from distributed_cases import DIM, apply_writes, corpus, disagreements, queries, sharded_target, single_collection


def create(tmp_path, shards, **options):
    return ShardedCollection.create("c", DIM, shards=shards, data_dir=str(tmp_path / "sharded"), in_process=True,
                                    **options)


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_every_search_path_matches_one_collection(tmp_path, shards):
    docs = corpus(1, 240)
    single = single_collection(docs, 2)
    sharded = create(tmp_path, shards)
    apply_writes(sharded_target(sharded), docs, 2)
    assert sharded.info().document_count == single.collection_info("c").document_count
    assert disagreements(single, sharded, queries(3, 24)) == []
    figures = single.keyword_statistics("c", "apple fig zzz")
    assert sharded.keyword_statistics("apple fig zzz") == figures


def test_a_threshold_equal_to_a_score_keeps_that_document(tmp_path):
    # min_similarity keeps scores equal to it, on one node and when shard
    # lists are merged or fused: take each search's own scores as thresholds.
    docs = corpus(7, 160)
    single = single_collection(docs, 8)
    sharded = create(tmp_path, 3)
    apply_writes(sharded_target(sharded), docs, 8)
    checked = []
    for kind, arguments in queries(9, 8):
        if kind not in ("vector", "rrf", "linear") or arguments["k"] < 5:
            continue
        scores = [r.score for r in single.search("c", **arguments)]
        if len(scores) < 3:
            continue
        at = dict(arguments, min_similarity=scores[len(scores) // 2])
        want = single.search("c", **at)
        assert want[-1].score == at["min_similarity"]
        checked.append((kind, at))
    assert {kind for kind, _ in checked} >= {"vector", "rrf", "linear"}
    assert disagreements(single, sharded, checked) == []


def test_results_survive_attach(tmp_path):
    docs = corpus(4, 120)
    single = single_collection(docs, 5)
    sharded = create(tmp_path, 3)
    apply_writes(sharded_target(sharded), docs, 5)
    sharded.close()
    with pytest.raises(RuntimeError, match="is closed"):
        sharded.search(query_text="apple")
    with pytest.raises(RuntimeError, match="is closed"):
        sharded.insert("apple", [0.1] * DIM)
    with pytest.raises(ValueError, match="already holds a sharded collection"):
        create(tmp_path, 2)
    reopened = ShardedCollection.attach("c", data_dir=str(tmp_path / "sharded"), in_process=True)
    assert reopened.shard_count == 3
    assert disagreements(single, reopened, queries(6, 6)) == []
    # Writes after the reopen still number upwards: an upsert ranks newest.
    sharded_target(reopened)("upsert", docs[0]["id"], "apple", docs[0]["embedding"], None)
    single.upsert("c", docs[0]["id"], "apple", docs[0]["embedding"], None)
    assert disagreements(single, reopened, [("keyword", dict(query_text="apple", k=50))]) == []
    with pytest.raises(KeyError, match="holds the sharded collection 'c'"):
        ShardedCollection.attach("other", data_dir=str(tmp_path / "sharded"), in_process=True)
    with pytest.raises(KeyError, match="no sharded collection"):
        ShardedCollection.attach("c", data_dir=str(tmp_path / "nothing"), in_process=True)


class TestRouting:
    def test_one_uuid_in_any_spelling_has_one_shard_and_shards_are_used_evenly(self):
        counts = [0] * 4
        rng = random.Random(7)
        for _ in range(4000):
            value = uuid.UUID(int=rng.getrandbits(128))
            shard = shard_of(str(value), 4)
            assert shard_of(str(value).upper(), 4) == shard
            assert shard_of("{" + str(value) + "}", 4) == shard
            counts[shard] += 1
        assert min(counts) > 850, counts

    def test_documents_live_on_their_shard_only(self, tmp_path):
        sharded = create(tmp_path, 3)
        ids = sharded.batch_insert([{"text": "a b", "embedding": [0.5] * DIM} for _ in range(60)])
        counts = sharded.info().shard_document_counts
        assert counts == [sum(1 for i in ids if shard_of(i, 3) == s) for s in range(3)]
        assert all(sharded.get(i)["id"] == i for i in ids)


class TestWrites:
    def test_reserved_sequence_key_is_refused_and_never_shown(self, tmp_path):
        sharded = create(tmp_path, 2)
        doc_id = sharded.insert("apple", [0.1] * DIM, {"a": 1})
        assert sharded.get(doc_id)["metadata"] == {"a": 1}
        assert sharded.search(query_text="apple")[0].metadata == {"a": 1}
        with pytest.raises(ValueError, match="reserved"):
            sharded.insert("x", [0.1] * DIM, {SEQUENCE_FIELD: 1})
        with pytest.raises(ValueError, match="reserved"):
            sharded.update_metadata(doc_id, {SEQUENCE_FIELD: 1})
        with pytest.raises(ValueError, match="reserved"):
            sharded.search(query_text="apple", filter={"must": [{"field": SEQUENCE_FIELD, "op": "gt", "value": 0}]})

    def test_errors_are_those_of_one_collection(self, tmp_path):
        sharded = create(tmp_path, 2)
        doc_id = sharded.insert("apple", [0.1] * DIM)
        with pytest.raises(ValueError):
            sharded.insert("x", [0.1] * (DIM + 1))
        with pytest.raises(ValueError):
            sharded.insert("x", [0.1] * DIM, id=doc_id)
        with pytest.raises(ValueError, match="repeats in the batch"):
            sharded.batch_insert([{"id": doc_id.upper(), "text": "a", "embedding": [0.1] * DIM},
                                  {"id": doc_id, "text": "b", "embedding": [0.1] * DIM}])
        with pytest.raises(ValueError):
            sharded.get("not-a-uuid")
        missing = str(uuid.uuid4())
        with pytest.raises(KeyError):
            sharded.get(missing)
        with pytest.raises(KeyError):
            sharded.update_metadata(missing, {})
        assert sharded.delete(missing) is False
        assert sharded.delete(doc_id) is True
        with pytest.raises(ValueError, match="at least one of"):
            sharded.search()
        with pytest.raises(ValueError, match="shards must be a positive integer"):
            ShardedCollection.create("c", DIM, shards=0, data_dir=str(tmp_path / "zero"), in_process=True)
        # Options are checked before any shard starts or any file is written.
        with pytest.raises(ValueError):
            ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "bad"), distance_metric="nope")
        assert not (tmp_path / "bad").exists()

    def test_documents_and_filter_conditions_are_read_strictly_before_any_shard_is_asked(self, tmp_path):
        sharded = create(tmp_path, 3)
        rng = random.Random(5)
        docs = [{"id": str(uuid.UUID(int=rng.getrandbits(128))), "text": "kiwi", "embedding": [0.1] * DIM,
                 "metadata": {"tenant": "ab"[i % 2]}} for i in range(12)]
        assert len({shard_of(d["id"], 3) for d in docs}) == 3
        slips = [
            ({"meta": {"tenant": "a"}},
             r"documents\[11\] has unknown key 'meta' \(accepted: text, embedding, metadata, id\)"),
            ({"metadatas": {"tenant": "a"}}, "unknown key 'metadatas'"),
            ({"embedding": None, "embeddings": [0.1] * DIM}, "unknown key 'embeddings'"),
            ({"text": None}, "document missing 'text'"),
            ({"embedding": None}, "document missing 'embedding'"),
        ]
        for change, message in slips:
            last = {key: value for key, value in {**docs[-1], **change}.items() if value is not None}
            with pytest.raises(ValueError, match=message):
                sharded.batch_insert(docs[:-1] + [last])
            assert sharded.info().document_count == 0
        with pytest.raises(TypeError, match="'text'"):
            sharded.batch_insert(docs[:-1] + [{**docs[-1], "text": 5}])
        assert sharded.info().document_count == 0

        sharded.batch_insert(docs)

        def search(*must_not):
            return {r.metadata["tenant"] for r in sharded.search(query_text="kiwi", k=20,
                                                                 filter={"must_not": list(must_not)})}
        assert search({"field": "tenant", "op": "eq", "value": "b"}) == {"a"}
        for condition, message in [
            ({"field": "tenant", "op": "eq", "vaule": "b"},
             r"^filter condition on field 'tenant' has unknown key 'vaule' \(accepted: field, op, value\)$"),
            ({"field": "tenant", "op": "eq", "values": ["b"]}, "unknown key 'values'"),
            ({"field": "tenant", "op": "in", "value": "b"}, r"unknown key 'value' \(accepted: field, op, values\)"),
            ({"field": "tenant", "op": "in"}, "filter condition on field 'tenant': operator 'in' needs 'values'"),
            ({"field": "tenant", "op": "ne"}, "operator 'ne' needs 'value'"),
        ]:
            with pytest.raises(ValueError, match=message):
                search(condition)

    def test_a_relative_data_dir_names_the_same_place_from_anywhere(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        sharded = ShardedCollection.create("c", DIM, shards=2, data_dir="rel", in_process=True)
        assert sharded.data_dir == str(tmp_path / "rel")
        doc_id = sharded.insert("apple", [0.1] * DIM)
        sharded.close()
        monkeypatch.chdir("/")
        reopened = ShardedCollection.attach("c", data_dir=str(tmp_path / "rel"), in_process=True)
        assert reopened.get(doc_id)["text"] == "apple"

    def test_a_batch_refused_by_one_shard_reports_what_was_written(self, tmp_path):
        sharded = create(tmp_path, 2)
        rng = random.Random(3)
        docs = [{"id": str(uuid.UUID(int=rng.getrandbits(128))), "text": "t", "embedding": [0.1] * DIM}
                for _ in range(20)]
        bad_shard = shard_of(docs[0]["id"], 2)
        docs[0]["embedding"] = [0.1] * (DIM - 1)
        with pytest.raises(ShardWriteError) as info:
            sharded.batch_insert(docs)
        error = info.value
        assert sorted(error.acknowledged) == sorted(d["id"] for d in docs if shard_of(d["id"], 2) != bad_shard)
        assert sorted(error.refused) == sorted(d["id"] for d in docs if shard_of(d["id"], 2) == bad_shard)
        assert error.unknown == [] and isinstance(error.errors[bad_shard], ValueError)
        assert sharded.info().document_count == len(error.acknowledged)
        # Refused by every shard involved: nothing written, the shard's own error.
        with pytest.raises(ValueError):
            sharded.batch_insert([docs[0]])

    def test_upsert_and_update_metadata_keep_one_collections_tie_order(self, tmp_path):
        # Equal texts score equally: the document written last ranks first.
        sharded = create(tmp_path, 3)
        ids = sharded.batch_insert([{"text": "kiwi", "embedding": [0.1] * DIM} for _ in range(6)])
        assert [r.id for r in sharded.search(query_text="kiwi")] == ids[::-1]
        sharded.upsert(ids[2], "kiwi", [0.1] * DIM, {"v": 2})
        sharded.update_metadata(ids[4], {"v": 4})
        order = [r.id for r in sharded.search(query_text="kiwi")]
        assert order == [ids[2], ids[5], ids[4], ids[3], ids[1], ids[0]]
        assert sharded.get(ids[4])["metadata"] == {"v": 4}


SELECTIONS = [
    None,
    {},
    {"lang": "en"},
    {"n": {"$lt": 150}, "lang": {"$ne": "de"}},
    {"$or": [{"lang": "it"}, {"n": {"$gte": 200}}]},
    {"$not": {"n": {"$in": [1, 2, 3, 1000]}}},
    {"must": [{"field": "n", "op": "gte", "value": 30}], "must_not": [{"field": "lang", "op": "eq", "value": "en"}]},
]


class TestSelection:
    """get, count, delete (many) and delete_where give one collection's answers."""

    @pytest.fixture(scope="class")
    def pair(self, tmp_path_factory):
        docs = corpus(11, 240)
        single = single_collection(docs, 12)
        sharded = ShardedCollection.create("c", DIM, shards=3, data_dir=str(tmp_path_factory.mktemp("sel") / "s"),
                                           in_process=True)
        apply_writes(sharded_target(sharded), docs, 12)
        return docs, single, sharded

    @pytest.mark.parametrize("flt", SELECTIONS)
    def test_get_and_count_by_filter(self, pair, flt):
        _, single, sharded = pair
        assert sharded.count(flt) == single.count("c", flt)
        # Oldest placement first on both (upserted documents last), paged alike.
        assert sharded.get(filter=flt) == single.get("c", filter=flt)
        for offset, limit in ((0, 7), (5, 11), (230, 50), (3, None), (0, 0)):
            assert sharded.get(filter=flt, offset=offset, limit=limit) == single.get(
                "c", filter=flt, offset=offset, limit=limit)

    def test_get_by_ids(self, pair):
        docs, single, sharded = pair
        rng = random.Random(3)
        asked = [d["id"] for d in rng.sample(docs, 40)] + [str(uuid.uuid4())]
        asked += asked[:5]  # repeats
        asked = [i.upper() if n % 3 == 0 else i for n, i in enumerate(asked)]  # any spelling
        for flt in (None, {"lang": "en"}):
            want = single.get("c", asked, filter=flt)
            assert sharded.get(asked, filter=flt) == want
            assert sharded.get(asked, filter=flt, offset=2, limit=5) == want[2:7]
        assert sharded.get([]) == []
        one = docs[0]["id"]
        assert sharded.get(id=one) == sharded.get(one)

    def test_refusals(self, pair):
        _, _, sharded = pair
        hint = r"; ids are UUID strings; make one from a name with str\(uuid.uuid5\(uuid.NAMESPACE_URL, name\)\)$"
        with pytest.raises(ValueError, match=r"^invalid UUID: 'doc-1' \(ids\[1\]\)" + hint):
            sharded.get([str(uuid.uuid4()), "doc-1"])
        with pytest.raises(ValueError, match=r"^invalid UUID: 'doc-1'" + hint):
            sharded.delete("doc-1")
        with pytest.raises(TypeError, match="with one id returns that document"):
            sharded.get(str(uuid.uuid4()), filter={})
        with pytest.raises(TypeError, match="ids or id"):
            sharded.delete([], id=str(uuid.uuid4()))
        with pytest.raises(ValueError, match=r"unknown filter operator '\$foo'"):
            sharded.count({"$foo": 1})
        with pytest.raises(ValueError, match="reserved"):
            sharded.get(filter={"$or": [{"lang": "en"}, {SEQUENCE_FIELD: {"$gt": 0}}]})
        with pytest.raises(TypeError, match="needs a filter dict"):
            sharded.delete_where(None)

    def test_delete_many_and_delete_where(self, tmp_path):
        docs = corpus(21, 150)
        single = single_collection(docs, 22)
        sharded = create(tmp_path, 3)
        apply_writes(sharded_target(sharded), docs, 22)
        rng = random.Random(4)
        victims = [d["id"] for d in rng.sample(docs, 30)] + [str(uuid.uuid4())]
        assert sharded.delete(victims) == single.delete("c", victims)
        assert sharded.delete(victims) == 0
        for flt in ({"$or": [{"lang": "de"}, {"n": {"$lt": 20}}]}, {"n": {"$not": {"$lt": 100}}}):
            assert sharded.delete_where(flt) == single.delete("c", [d["id"] for d in single.get("c", filter=flt)])
        assert sharded.get() == single.get("c")
        assert sharded.count() == single.count("c")
        assert sharded.delete_where({}) == single.count("c")
        assert sharded.count() == 0

    def test_create_with_exist_ok_attaches_to_the_same_definition(self, tmp_path):
        where = str(tmp_path / "s")
        first = ShardedCollection.create("c", DIM, shards=2, data_dir=where, in_process=True,
                                         distance_metric="euclidean")
        doc = first.insert("apple", [0.1] * DIM)
        first.close()
        again = ShardedCollection.create("c", DIM, shards=2, data_dir=where, in_process=True,
                                         distance_metric="euclidean", exist_ok=True)
        assert again.get(doc)["text"] == "apple"
        again.close()
        for kwargs, message in (
            (dict(shards=3, distance_metric="euclidean"), r"with 2 shards \(asked 3\)"),
            (dict(shards=2), r"distance_metric 'euclidean' \(asked 'cosine'\)"),
        ):
            with pytest.raises(ValueError, match=message):
                ShardedCollection.create("c", DIM, data_dir=where, in_process=True, exist_ok=True, **kwargs)
        with pytest.raises(ValueError, match="holds the sharded collection 'c', not 'd'"):
            ShardedCollection.create("d", DIM, shards=2, data_dir=where, in_process=True, exist_ok=True)
        with pytest.raises(ValueError, match="already holds a sharded collection"):
            ShardedCollection.create("c", DIM, shards=2, data_dir=where, in_process=True,
                                     distance_metric="euclidean")


def test_a_keyword_only_collection_matches_one_collection(tmp_path):
    from karvalith import Karvalith

    rng = random.Random(11)
    words = ["apple", "fig", "pear", "plum"] + [f"w{i}" for i in range(30)]
    texts = [" ".join(rng.choice(words) for _ in range(rng.randint(1, 8))) for _ in range(200)]
    ids = [str(uuid.UUID(int=i + 1)) for i in range(len(texts) + 1)]
    single = Karvalith()
    single.create_collection("c", 0)
    sharded = ShardedCollection.create("c", 0, shards=3, data_dir=str(tmp_path / "keywords"), in_process=True)
    for target in (lambda *a, **k: single.batch_insert("c", *a, **k), sharded.batch_insert):
        target([{"text": t, "id": i} for t, i in zip(texts, ids)])
    single.insert("c", "one more apple", id=ids[-1])
    sharded.insert("one more apple", id=ids[-1])
    single.upsert("c", ids[0], "fig fig pear")
    sharded.upsert(ids[0], "fig fig pear")
    checks = [("keyword", {"query_text": q, "k": 8}) for q in ("apple", "fig pear", "w3 w7 plum", "absent")]
    assert disagreements(single, sharded, checks) == []
    with pytest.raises(ValueError, match="has dimension 0 and keeps no vectors"):
        sharded.search(query_embedding=[], k=3)

    vectors = ShardedCollection.create("v", DIM, shards=2, data_dir=str(tmp_path / "vectors"), in_process=True)
    with pytest.raises(TypeError, match=r"insert\(\) missing required argument 'embedding'"):
        vectors.insert("no vector")
    with pytest.raises(TypeError, match=r"upsert\(\) missing required argument 'embedding'"):
        vectors.upsert(ids[0], "no vector")
    with pytest.raises(ValueError, match="document missing 'embedding'"):
        vectors.batch_insert([{"text": "no vector"}])
    assert vectors.info().document_count == 0


@pytest.mark.parametrize("shards", [1, 3])
def test_batch_search_gives_each_query_what_search_gives(tmp_path, shards):
    from distributed_cases import batch_cases, batch_disagreements

    docs = corpus(51, 240)
    single = single_collection(docs, 52)
    sharded = create(tmp_path, shards)
    apply_writes(sharded_target(sharded), docs, 52)
    cases = batch_cases(53, 12)
    # One slice, and slices of 5 (the last one short) merged back in order.
    assert batch_disagreements(single, sharded, cases) == []
    assert batch_disagreements(single, sharded, cases, queries_per_call=5, num_threads=2) == []
    np = pytest.importorskip("numpy")
    rows = np.array(cases[0]["query_embeddings"], dtype=np.float32)
    assert sharded.batch_search(rows, k=5, queries_per_call=4) == sharded.batch_search(rows.tolist(), k=5)


def test_batch_search_refuses_what_one_collection_refuses(tmp_path):
    sharded = create(tmp_path, 2)
    sharded.batch_insert([{"text": "a", "embedding": [0.1] * DIM}])
    good = [[0.5] * DIM] * 6
    with pytest.raises(ValueError, match="at least one of query_embedding or query_text"):
        sharded.batch_search(k=3)
    with pytest.raises(ValueError, match="query_texts has 2 texts for 6 query embeddings"):
        sharded.batch_search(good, query_texts=["a", "b"])
    with pytest.raises(TypeError, match="'query_texts': expected list, got str"):
        sharded.batch_search(query_texts="a b")
    # A wrong row in a later slice is numbered in the whole batch.
    with pytest.raises(ValueError, match=r"has 3 values but collection 'c' has dimension 8 \(query 4 of the batch\)"):
        sharded.batch_search(good[:4] + [[0.1] * 3] + good[:1], queries_per_call=2)
    for bad in (0, -1, True, 1.5):
        with pytest.raises((TypeError, ValueError), match="queries_per_call"):
            sharded.batch_search(good, queries_per_call=bad)
    with pytest.raises(TypeError, match="unexpected keyword argument 'num_thread'"):
        sharded.batch_search(good, num_thread=2)
    assert sharded.batch_search([]) == [] and sharded.batch_search(query_texts=[]) == []
