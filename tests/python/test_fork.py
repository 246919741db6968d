"""A persistent handle belongs to the process that opened it; a forked child is refused."""

import gc
import os

import pytest

from karvalith import Karvalith

EMBEDDING = [1.0, 0.0]


def in_child(body):
    """Runs body() in a forked child; returns its exit status (0 when body returned True)."""
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            status = 0 if body() else 1
        except BaseException:  # noqa: BLE001 - any failure is a failed check
            status = 2
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def refused(call):
    try:
        call()
    except RuntimeError as error:
        return "cannot be used in process" in str(error) and "Karvalith(data_dir=" in str(error)
    return False


def test_a_forked_child_cannot_use_a_persistent_handle(tmp_path):
    db = Karvalith(str(tmp_path))
    db.create_collection("c", 2)
    kept = db.insert("c", "parent's", EMBEDDING)

    def child():
        calls = [
            lambda: db.insert("c", "child's", EMBEDDING),
            lambda: db.batch_insert("c", [{"text": "child's", "embedding": EMBEDDING}]),
            lambda: db.delete("c", kept),
            lambda: db.search("c", query_embedding=EMBEDDING),
            lambda: db.get("c", kept),
            lambda: db.list_collections(),
            lambda: db.compact(),
            lambda: db.status(),
            lambda: db.__enter__(),
        ]
        if not all(refused(call) for call in calls):
            return False
        db.close()  # detaches the child's copy, touching nothing of the parent's
        try:
            db.insert("c", "child's", EMBEDDING)
        except ValueError as error:
            return "closed" in str(error)
        return False

    assert in_child(child) == 0
    # The parent goes on; its log holds no change from the child.
    db.insert("c", "parent's second", EMBEDDING)
    with pytest.raises(RuntimeError, match="in use by another Karvalith handle"):
        Karvalith(str(tmp_path))  # the child's exit released nothing
    db.compact()
    db.close()
    with Karvalith(str(tmp_path)) as reopened:
        assert sorted(reopened.get("c", i)["text"] for i in reopened.list_ids("c")) == \
            ["parent's", "parent's second"]


def test_a_child_that_drops_the_handle_leaves_the_parent_whole(tmp_path):
    holder = [Karvalith(str(tmp_path))]  # the only reference, so the child can free it
    holder[0].create_collection("c", 2)
    holder[0].insert("c", "parent's", EMBEDDING)

    def child():
        holder.clear()
        gc.collect()
        return True

    assert in_child(child) == 0
    db = holder[0]
    db.insert("c", "after", EMBEDDING)
    db.close()
    with Karvalith(str(tmp_path)) as reopened:
        assert reopened.collection_info("c").document_count == 2


def test_ephemeral_handles_keep_working_after_fork():
    db = Karvalith()
    db.create_collection("c", 2)
    db.insert("c", "parent's", EMBEDDING)

    def child():
        db.insert("c", "child's", EMBEDDING)
        return db.collection_info("c").document_count == 2 and len(db.search("c", query_embedding=EMBEDDING)) == 2

    assert in_child(child) == 0
    assert db.collection_info("c").document_count == 1
