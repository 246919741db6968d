"""Ray Data into and out of a sharded collection: write_dataset routes rows
from the write tasks, to_dataset reads every shard back."""

import json
import os
import random
import signal
import time
import uuid

import numpy as np
import pytest

from karvalith import Karvalith
from karvalith.distributed import SEQUENCE_FIELD, ShardedCollection, ShardWriteError, shard_of

from distributed_cases import DIM, corpus, disagreements, queries


@pytest.fixture
def data(ray_session):
    import ray.data

    return ray.data


def reference(docs, ordered_ids, dimension=DIM, **options):
    """One collection fed the documents in the given order."""
    by_id = {d["id"]: d for d in docs}
    db = Karvalith()
    db.create_collection("c", dimension, **options)
    db.batch_insert("c", [by_id[i] for i in ordered_ids])
    return db


def shard_sequences(sharded):
    """Each shard's sequence numbers in its slot order."""
    parts = sharded._gather([(i, "select", (None, None)) for i in range(sharded.shard_count)])
    return [[seq for seq, _ in part] for part in parts]


def increasing(values):
    return all(a < b for a, b in zip(values, values[1:]))


def stored(sharded):
    return sorted((d["id"], d["text"], d["metadata"]) for d in sharded.get())


def given(docs):
    return sorted((d["id"], d["text"], d.get("metadata", {})) for d in docs)


@pytest.mark.parametrize("shards", [2, 3])
def test_written_collection_ranks_as_one_collection_fed_in_arrival_order(data, tmp_path, shards):
    docs = corpus(51, 300)
    with ShardedCollection.create("c", DIM, shards=shards, data_dir=str(tmp_path / "s")) as sharded:
        # Several blocks and small batches: several write tasks, each sending many batches.
        summary = sharded.write_dataset(data.from_items(docs, override_num_blocks=4), batch_size=16)
        assert summary.written == 300
        assert summary.shard_counts == [sum(shard_of(d["id"], shards) == i for d in docs) for i in range(shards)]
        assert summary.shard_counts == sharded.info().shard_document_counts
        assert stored(sharded) == given(docs)
        # Each shard numbered what it received in arrival order.
        assert all(increasing(seqs) for seqs in shard_sequences(sharded))
        # Ties and fusion then rank as one collection that received the rows
        # in that order (get() lists them by sequence number).
        single = reference(docs, [d["id"] for d in sharded.get()])
        assert disagreements(single, sharded, queries(52, 9)) == []


def test_one_task_into_one_shard_keeps_the_dataset_order(data, tmp_path):
    docs = corpus(61, 200)
    single = reference(docs, [d["id"] for d in docs])
    with ShardedCollection.create("c", DIM, shards=1, data_dir=str(tmp_path / "s")) as sharded:
        sharded.write_dataset(data.from_items(docs, override_num_blocks=1), batch_size=30)
        assert sharded.get() == single.get("c")
        assert disagreements(single, sharded, queries(62, 6)) == []


def test_column_mapping(data, tmp_path):
    rng = np.random.default_rng(71)
    vectors = rng.standard_normal((60, DIM)).astype(np.float32)
    rows = []
    for i in range(60):
        row = {"body": f"row {i}", "vec": vectors[i], "lang": ["en", "it"][i % 2],
               "n": i if i % 3 else None,  # a null is no key
               "extra": json.dumps({"score": i / 2, "ok": i % 5 == 0})}
        rows.append(row)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s"), store_raw_vectors=True) as sharded:
        summary = sharded.write_dataset(data.from_items(rows), text_column="body", embedding_column="vec",
                                        metadata_column="extra", metadata_columns=["lang", "n"], batch_size=7)
        assert summary.written == 60
        documents = {d["text"]: d for d in sharded.get()}
        ids = [documents[r["body"]]["id"] for r in rows]
        assert len(set(ids)) == 60 and all(str(uuid.UUID(i)) == i for i in ids)  # fresh ids
        for i, row in enumerate(rows):
            want = {"lang": row["lang"], "score": i / 2, "ok": i % 5 == 0}
            if i % 3:
                want["n"] = i
            assert documents[row["body"]]["metadata"] == want
        exported = {r["text"]: r["embedding"] for r in sharded.to_dataset().take_all()}
        assert np.array_equal(np.stack([exported[r["body"]] for r in rows]), vectors)
        assert sharded.search(query_embedding=vectors[5], k=1)[0].text == "row 5"


def test_arrow_column_types(data, tmp_path):
    """Fixed-size lists of ints, large strings, a map of metadata and
    variable lists of doubles convert as the same values given as lists."""
    import pyarrow as pa

    rng = random.Random(75)
    count = 40
    vectors = [[rng.randint(-9, 9) for _ in range(DIM)] for _ in range(count)]
    ids = [str(uuid.UUID(int=rng.getrandbits(128))) for _ in range(count)]
    table = pa.table({
        "id": pa.array(ids, pa.large_string()),
        "text": pa.array([f"text {i}" for i in range(count)], pa.large_string()),
        "embedding": pa.FixedSizeListArray.from_arrays(pa.array([v for row in vectors for v in row], pa.int32()),
                                                       DIM),
        "metadata": pa.array([[("k", f"v{i}")] if i % 2 else None for i in range(count)],
                             pa.map_(pa.string(), pa.string())),
    })
    listed = table.set_column(2, "embedding", pa.array(vectors, pa.list_(pa.float64())))
    options = dict(store_raw_vectors=True)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "a"), **options) as fixed, \
            ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "b"), **options) as lists:
        assert fixed.write_dataset(data.from_arrow(table), batch_size=6).written == count
        assert lists.write_dataset(data.from_arrow(listed), batch_size=6).written == count
        want = sorted((ids[i], f"text {i}", {"k": f"v{i}"} if i % 2 else {}) for i in range(count))
        assert stored(fixed) == stored(lists) == want
        for collection in (fixed, lists):
            exported = {r["id"]: r["embedding"] for r in collection.to_dataset().take_all()}
            assert all(np.array_equal(exported[i], np.array(v, np.float32)) for i, v in zip(ids, vectors))


def test_bad_mappings_are_refused_by_name_before_anything_is_written(data, tmp_path):
    docs = corpus(81, 20)
    ds = data.from_items(docs)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        cases = [
            (dict(text_column="body"), ValueError, "no column 'body'"),
            (dict(id_column="key"), ValueError, "no column 'key'"),
            (dict(metadata_columns=["lang"]), ValueError, "no column 'lang'"),
            (dict(metadata_column=None), ValueError, "unmapped dataset columns 'metadata'"),
            (dict(id_column="text"), ValueError, "columns mapped twice: text"),
            (dict(batch_size=0), ValueError, "batch_size"),
            (dict(embedding_column=None), ValueError, "dimension 8: embedding_column must name a column"),
        ]
        for options, error, message in cases:
            with pytest.raises(error, match=message):
                sharded.write_dataset(ds, **options)
        with pytest.raises(ValueError, match="unmapped dataset columns 'note'"):
            sharded.write_dataset(data.from_items([dict(d, note="x") for d in docs]))
        with pytest.raises(ValueError, match="no column 'embedding'"):
            sharded.write_dataset(data.from_items([{"text": d["text"]} for d in docs]))
        with pytest.raises(ValueError, match="dimension 3; the collection's is 8"):
            sharded.write_dataset(data.from_items([{"text": "a", "embedding": np.zeros(3, np.float32)}]))
        with pytest.raises(TypeError, match="column 'text' must hold strings"):
            sharded.write_dataset(data.from_items([{"text": 1, "embedding": np.zeros(DIM, np.float32)}]))
        with pytest.raises(TypeError, match="metadata column 'n' must hold bool, int, float or str"):
            sharded.write_dataset(data.from_items([{"text": "a", "embedding": np.zeros(DIM), "n": [1, 2]}]),
                                  metadata_columns=["n"])
        with pytest.raises(ValueError, match=f"'{SEQUENCE_FIELD}' is reserved"):
            sharded.write_dataset(data.from_items([{"text": "a", "embedding": np.zeros(DIM), SEQUENCE_FIELD: 1}]),
                                  metadata_columns=[SEQUENCE_FIELD])
        with pytest.raises(TypeError, match="unexpected keyword argument 'text_col'"):
            sharded.write_dataset(ds, text_col="text")
        with pytest.raises(TypeError, match="must be a ray.data.Dataset"):
            sharded.write_dataset(docs)
        assert sharded.count() == 0
    with ShardedCollection.create("k", 0, shards=2, data_dir=str(tmp_path / "k")) as keyword_only:
        with pytest.raises(ValueError, match="keyword-only.*column 'embedding'"):
            keyword_only.write_dataset(ds)
        assert keyword_only.count() == 0
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "p"), in_process=True) as local:
        with pytest.raises(TypeError, match="needs shards on Ray actors"):
            local.write_dataset(ds)
        with pytest.raises(TypeError, match="needs shards on Ray actors"):
            local.to_dataset()


def test_refused_rows_are_reported_and_the_rest_written(data, tmp_path):
    docs = corpus(91, 50)
    for d in docs:
        d["embedding"] = list(d["embedding"])
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        present = docs[25]["id"]
        sharded.batch_insert([{"id": present, "text": "already here", "embedding": [0.5] * DIM}])
        rows = [dict(d) for d in docs]
        rows[15]["id"] = rows[12]["id"]  # batch 10-19 repeats an id: refused unsent
        rows[43]["embedding"] = [0.1] * (DIM + 1)  # batch 40-49: a row of the wrong width
        rows[33]["metadata"] = {SEQUENCE_FIELD: 3}  # batch 30-39: the reserved key
        # Batch 20-29 holds an id already stored: its shard refuses its part.
        with pytest.raises(ShardWriteError) as info:
            sharded.write_dataset(data.from_items(rows, override_num_blocks=1), batch_size=10)
        error = info.value
        shard = shard_of(present, 2)
        refused_part = [r["id"] for r in rows[20:30] if shard_of(r["id"], 2) == shard]
        written = [r["id"] for r in rows[:10]] + [r["id"] for r in rows[20:30] if shard_of(r["id"], 2) != shard]
        assert sorted(error.refused) == sorted(refused_part)
        assert "already exists" in str(error.errors[shard])
        assert sorted(error.acknowledged) == sorted(written)
        assert error.unknown == []
        assert error.written == len(written)
        assert error.unsent == 30
        assert len(error.row_errors) == 3
        assert any("repeats in the batch" in m for m in error.row_errors)
        assert any(f"{DIM + 1} values" in m for m in error.row_errors)
        assert any("reserved" in m for m in error.row_errors)
        assert sorted(d["id"] for d in sharded.get()) == sorted(written + [present])


def test_to_dataset_round_trip_and_order(data, tmp_path):
    docs = corpus(101, 240)
    with ShardedCollection.create("c", DIM, shards=3, data_dir=str(tmp_path / "a"), store_raw_vectors=True) as first, \
            ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "b"), store_raw_vectors=True) as second:
        first.batch_insert(docs[:100])
        first.write_dataset(data.from_items(docs[100:], override_num_blocks=3), batch_size=25)
        exported = first.to_dataset(rows_per_block=32)
        assert exported.columns() == ["id", "text", "metadata", "embedding"]
        rows = exported.take_all()
        # Each shard's rows come in sequence order.
        order = {d["id"]: n for n, d in enumerate(first.get())}
        for shard in range(3):
            mine = [order[r["id"]] for r in rows if shard_of(r["id"], 3) == shard]
            assert mine == sorted(mine) and mine
        # Lossless: ids, texts, metadata (JSON), raw embeddings.
        by_id = {d["id"]: d for d in docs}
        assert sorted((r["id"], r["text"], json.loads(r["metadata"])) for r in rows) == given(docs)
        for r in rows:
            assert np.array_equal(r["embedding"], np.asarray(by_id[r["id"]]["embedding"], dtype=np.float32))
        # Into another collection (another shard count) and back out: the same documents.
        assert second.write_dataset(exported).written == 240
        assert stored(second) == given(docs)
        again = {r["id"]: r for r in second.to_dataset().take_all()}
        for r in rows:
            assert np.array_equal(again[r["id"]]["embedding"], r["embedding"])
        # A filter and no embeddings.
        flt = {"lang": "en"}
        picked = first.to_dataset(filter=flt, include_embeddings=False)
        assert picked.columns() == ["id", "text", "metadata"]
        assert sorted(r["id"] for r in picked.take_all()) == sorted(d["id"] for d in first.get(filter=flt))
        with pytest.raises(ValueError, match="reserved"):
            first.to_dataset(filter={SEQUENCE_FIELD: 1})
        # The read runs when the dataset is consumed, and counts what is there then.
        later = first.to_dataset(include_embeddings=False)
        first.insert("written after to_dataset", [0.5] * DIM)
        assert later.count() == 241
        assert not data.DataContext.get_current().execution_options.preserve_order  # set on the dataset only


def test_keyword_only_collections_take_rows_without_embeddings(data, tmp_path):
    rows = [{"text": d["text"], "id": d["id"], "metadata": d["metadata"]} for d in corpus(111, 80)]
    with ShardedCollection.create("k", 0, shards=2, data_dir=str(tmp_path / "k")) as sharded:
        assert sharded.write_dataset(data.from_items(rows, override_num_blocks=2), batch_size=9).written == 80
        assert stored(sharded) == given(rows)
        single = reference(rows, [d["id"] for d in sharded.get()], dimension=0)
        for text in ("apple pear", "fig", "kiwi lime date"):
            want = [(r.id, r.score) for r in single.search("c", query_text=text, k=15)]
            assert [(r.id, r.score) for r in sharded.search(query_text=text, k=15)] == want
        exported = sharded.to_dataset().take_all()
        assert sorted(exported[0]) == ["id", "metadata", "text"]
        assert len(exported) == 80


def test_rows_go_from_the_workers_to_the_shards(data, tmp_path, monkeypatch):
    """The driver sends no shard any row: every actor call made from this
    process is recorded, and none writes or exports documents."""
    import ray.actor

    called = []
    original = ray.actor.ActorMethod._remote

    def recording(self, *args, **kwargs):
        called.append(self._method_name)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(ray.actor.ActorMethod, "_remote", recording)
    docs = corpus(121, 150)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        sharded.write_dataset(data.from_items(docs, override_num_blocks=3), batch_size=20)
        rows = sharded.to_dataset().take_all()
        assert len(rows) == 150
        assert sharded.count() == 150
    assert called  # the recorder sees this process's calls (process_id, info, count)
    assert not {"insert_columns", "batch_insert", "list_ids", "export_rows", "get_many"} & set(called)


def test_a_restarted_shard_numbers_above_what_it_held(data, tmp_path):
    docs = corpus(131, 160)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        sharded.write_dataset(data.from_items(docs[:80]), batch_size=20)
        before = shard_sequences(sharded)
        old = sharded.shard_process_ids()[0]
        os.kill(old, signal.SIGKILL)
        deadline = time.monotonic() + 60
        while sharded.shard_process_ids()[0] == old and time.monotonic() < deadline:
            time.sleep(0.1)  # answered once the new process has replayed its log
        assert sharded.shard_process_ids()[0] != old
        sharded.write_dataset(data.from_items(docs[80:]), batch_size=20)
        after = shard_sequences(sharded)
        for old_seqs, new_seqs in zip(before, after):
            assert new_seqs[:len(old_seqs)] == old_seqs
            assert increasing(new_seqs)
        assert stored(sharded) == given(docs)
        single = reference(docs, [d["id"] for d in sharded.get()])
        assert disagreements(single, sharded, queries(132, 3)) == []


def test_a_shard_killed_during_the_ingest_loses_no_acknowledged_row(data, tmp_path):
    import threading

    victim = 1
    rng = random.Random(141)
    rows = [{"id": str(uuid.UUID(int=rng.getrandbits(128))), "text": f"doc {i}",
             "embedding": np.full(DIM, i % 97, np.float32)} for i in range(20000)]
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        old = sharded.shard_process_ids()[victim]

        def kill_once_writing():
            # Once the victim holds rows, the write tasks have batches in flight to it.
            deadline = time.monotonic() + 120
            while sharded.info().shard_document_counts[victim] == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            os.kill(old, signal.SIGKILL)

        killer = threading.Thread(target=kill_once_writing)
        killer.start()
        with pytest.raises(ShardWriteError) as info:
            sharded.write_dataset(data.from_items(rows, override_num_blocks=2), batch_size=100)
        killer.join()
        error = info.value
        assert error.unknown and set(error.unknown) <= {r["id"] for r in rows if shard_of(r["id"], 2) == victim}
        assert "died" in str(error.errors[victim]) or "Actor" in type(error.errors[victim]).__name__
        assert error.written == len(error.acknowledged)
        assert len(error.acknowledged) + len(error.unknown) + len(error.refused) == len(rows)
        assert error.unsent == 0
        # Recovered from the log: every acknowledged row, and whole parts of the unknown ones.
        present = {d["id"] for d in sharded.get()}
        assert set(error.acknowledged) <= present
        assert len(present) == len(error.acknowledged) + len(set(error.unknown) & present)
