"""Sharded collections on a local Ray instance: the same comparisons with one
collection as test_distributed.py, on actors, and what happens when a shard's
process is killed."""

import os
import random
import signal
import threading
import time
import uuid

import pytest

from karvalith.distributed import ShardedCollection, ShardWriteError, shard_of

from distributed_cases import DIM, apply_writes, corpus, disagreements, queries, sharded_target, single_collection


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_every_search_path_matches_one_collection_on_actors(ray_session, tmp_path, shards):
    docs = corpus(11, 200)
    single = single_collection(docs, 12)
    with ShardedCollection.create("c", DIM, shards=shards, data_dir=str(tmp_path / "s")) as sharded:
        apply_writes(sharded_target(sharded), docs, 12)
        assert len(set(sharded.shard_process_ids()) - {os.getpid()}) == shards  # one process per shard
        assert disagreements(single, sharded, queries(13, 9)) == []


def test_selection_and_deletes_on_actors(ray_session, tmp_path):
    docs = corpus(31, 160)
    single = single_collection(docs, 32)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        apply_writes(sharded_target(sharded), docs, 32)
        flt = {"$or": [{"lang": "it"}, {"n": {"$gte": 120}}]}
        assert sharded.count(flt) == single.count("c", flt)
        assert sharded.get(filter=flt, offset=3, limit=20) == single.get("c", filter=flt, offset=3, limit=20)
        asked = [d["id"] for d in docs[::7]]
        assert sharded.get(asked) == single.get("c", asked)
        assert sharded.delete(asked) == single.delete("c", asked)
        assert sharded.delete_where(flt) == single.delete("c", [d["id"] for d in single.get("c", filter=flt)])
        assert sharded.get() == single.get("c")


def wait_for_new_process(collection, shard, old_pid, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pid = collection.shard_process_ids()[shard]
        if pid != old_pid:
            return pid
        time.sleep(0.1)
    raise AssertionError(f"shard {shard} was not restarted")


def documents(rng, count):
    return [{"id": str(uuid.UUID(int=rng.getrandbits(128))), "text": f"doc {rng.random()}",
             "embedding": [rng.uniform(-1, 1) for _ in range(DIM)]} for _ in range(count)]


def test_killed_shard_loses_no_acknowledged_write(ray_session, tmp_path):
    rng = random.Random(21)
    sharded = ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s"))
    try:
        victim = 1
        # A kill while a large batch is certainly in flight: the other shard's
        # part is acknowledged, the victim's is of unknown fate but atomic.
        first = sharded.batch_insert(documents(rng, 40))
        big = documents(rng, 6000)
        old_pid = sharded.shard_process_ids()[victim]
        killer = threading.Timer(0.3, os.kill, (old_pid, signal.SIGKILL))
        killer.start()
        with pytest.raises(ShardWriteError, match="lost while the call was in flight") as info:
            sharded.batch_insert(big)
        killer.join()
        error = info.value
        assert sorted(error.unknown) == sorted(d["id"] for d in big if shard_of(d["id"], 2) == victim)
        assert sorted(error.acknowledged) == sorted(d["id"] for d in big if shard_of(d["id"], 2) != victim)
        acknowledged = first + error.acknowledged
        unknown = list(error.unknown)

        # Then small batches, one fsync each, while the shard is killed again.
        pid = wait_for_new_process(sharded, victim, old_pid)
        killer = threading.Timer(0.5, os.kill, (pid, signal.SIGKILL))
        killer.start()
        failures = 0
        stop = time.monotonic() + 3.0
        while time.monotonic() < stop:
            batch = documents(rng, 10)
            try:
                acknowledged += sharded.batch_insert(batch)
            except ShardWriteError as failed:
                failures += 1
                acknowledged += failed.acknowledged
                unknown += failed.unknown
        killer.join()
        wait_for_new_process(sharded, victim, pid)

        # Every acknowledged document is back, from the recovered log.
        missing = [i for i in acknowledged if sharded._gather([(shard_of(i, 2), "get", (i,))])[0] is None]
        assert missing == []
        present_unknown = sum(sharded._gather([(shard_of(i, 2), "get", (i,))])[0] is not None for i in unknown)
        assert sharded.info().document_count == len(acknowledged) + present_unknown
        # The big batch's part on the victim is one log record: all or nothing.
        big_present = [sharded._gather([(victim, "get", (i,))])[0] is not None for i in error.unknown]
        assert all(big_present) or not any(big_present)
        print(f"acknowledged {len(acknowledged)}, unknown {len(unknown)} ({present_unknown} written), "
              f"failed small batches {failures}")
    finally:
        sharded.close()


def test_reads_are_retried_while_a_shard_restarts(ray_session, tmp_path):
    rng = random.Random(31)
    sharded = ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s"))
    try:
        docs = documents(rng, 50)
        sharded.batch_insert(docs)
        query = dict(query_embedding=[0.2] * DIM, query_text="doc", k=10, ef=500)
        before = sharded.search(**query)
        old_pid = sharded.shard_process_ids()[0]
        os.kill(old_pid, signal.SIGKILL)
        assert sharded.search(**query) == before
        assert sharded.get(docs[0]["id"])["id"] == docs[0]["id"]
        assert sharded.shard_process_ids()[0] != old_pid
    finally:
        sharded.close()


def test_attach_restarts_closed_actors_from_their_directories(ray_session, tmp_path):
    docs = corpus(41, 80)
    single = single_collection(docs, 42)
    sharded = ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s"))
    apply_writes(sharded_target(sharded), docs, 42)
    sharded.close()
    with ShardedCollection.attach("c", data_dir=str(tmp_path / "s")) as reopened:
        assert disagreements(single, reopened, queries(43, 3)) == []


def test_batch_search_on_actors_matches_one_collection_and_survives_a_kill(ray_session, tmp_path):
    from distributed_cases import batch_cases, batch_disagreements

    docs = corpus(61, 200)
    single = single_collection(docs, 62)
    with ShardedCollection.create("c", DIM, shards=2, data_dir=str(tmp_path / "s")) as sharded:
        apply_writes(sharded_target(sharded), docs, 62)
        cases = batch_cases(63, 10)
        # Slices of 3: four slices per shard in flight at once.
        assert batch_disagreements(single, sharded, cases, queries_per_call=3) == []
        hybrid = cases[2]
        before = sharded.batch_search(**hybrid, queries_per_call=3)
        os.kill(sharded.shard_process_ids()[1], signal.SIGKILL)
        # The lost shard's slices are sent again once it is back: same lists.
        assert sharded.batch_search(**hybrid, queries_per_call=3) == before
