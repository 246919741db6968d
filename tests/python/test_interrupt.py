"""Ctrl-C in the middle of a long call: a child process is sent SIGINT while it inserts a
large batch or rebuilds, and the state it leaves is checked in memory and after a reopen.

The child tells the parent where it is through a file its progress callable writes, so the
signal arrives while the core works, whatever the machine's speed. Nothing here is timed."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from karvalith import Karvalith

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")

# Runs op ("batch" or "rebuild") on data_dir; writes `marker` once the call is past
# `share` of its work; catches the KeyboardInterrupt and prints what it saw as JSON.
CHILD = textwrap.dedent(
    """
    import json, signal, sys, time
    import numpy as np
    from karvalith import Karvalith

    # A process started with SIGINT ignored (a background job of a shell
    # without job control, as some CI runners start) keeps ignoring it, and
    # Python then raises no KeyboardInterrupt: restore the interactive default.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    op, data_dir, marker, count, share = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
    DIM = 16
    vectors = np.random.default_rng(11).standard_normal((count, DIM)).astype(np.float32)
    docs = [{"text": f"doc {i}", "embedding": vectors[i], "metadata": {"n": i}} for i in range(count)]
    db = Karvalith(data_dir=data_dir, auto_checkpoint_records=0, auto_checkpoint_bytes=0)
    live = [i for i in range(1, count, max(1, count // 500)) if op == "batch" or i % 10 != 0]

    def nearest():
        return [db.search("c", query_embedding=vectors[i], k=1)[0].metadata["n"] for i in live]

    answers_before = []
    if op == "rebuild":
        db.create_collection("c", DIM)
        ids = db.batch_insert("c", docs, num_threads=2)
        for doc_id in ids[::10]:
            db.delete("c", doc_id)
        db.compact()
        answers_before = nearest()
    else:
        db.create_collection("c", DIM)
    before = db.collection_info("c")

    marked = False
    def progress(done, total):
        global marked
        if not marked and done >= total * share:
            marked = True
            open(marker, "w").close()

    outcome = {"interrupted": False, "message": ""}
    try:
        try:
            if op == "rebuild":
                db.rebuild("c", num_threads=2, progress=progress)
            else:
                db.batch_insert("c", docs, num_threads=2, progress=progress)
        except KeyboardInterrupt as error:
            outcome.update(interrupted=True, message=str(error), notes=getattr(error, "__notes__", []))
        else:
            # Finished before the signal came: wait for it, so it lands nowhere else.
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline:
                time.sleep(0.01)
    except KeyboardInterrupt:
        pass
    outcome["caught_at"] = time.time()
    after = db.collection_info("c")
    outcome.update(documents=after.document_count, deleted_slots=after.deleted_slots,
                   deleted_slots_before=before.deleted_slots)
    if after.document_count:
        outcome["same_answers"] = nearest() == answers_before
    print(json.dumps(outcome), flush=True)
    """
)


def interrupt_child(tmp_path, op, count, share):
    """Runs the child until it marks, sends SIGINT, and returns its outcome and the time sent."""
    marker = tmp_path / "marker"
    data_dir = tmp_path / "data"
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, op, str(data_dir), str(marker), str(count), str(share)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + 600
        while not marker.exists():
            assert child.poll() is None, child.communicate()
            assert time.monotonic() < deadline, "the child never reached the middle of the call"
            time.sleep(0.01)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    return json.loads(out.strip().splitlines()[-1]), sent, data_dir


def test_ctrl_c_in_a_100k_batch_insert_leaves_all_or_nothing(tmp_path):
    count = 100_000
    outcome, sent, data_dir = interrupt_child(tmp_path, "batch", count, 0.05)
    print(f"batch_insert: KeyboardInterrupt caught {1000 * (outcome['caught_at'] - sent):.0f} ms after SIGINT")
    assert outcome["interrupted"], "the signal came after the call"
    # Stopped while linking: rolled back, in memory and in the log.
    assert outcome["documents"] == 0
    assert "the batch was rolled back: none of its 100000 documents was kept" in outcome["message"]
    with Karvalith(data_dir=str(data_dir)) as db:
        assert db.collection_info("c").document_count == 0
        assert db.status()["read_only"] is None


def test_ctrl_c_in_a_rebuild_keeps_the_previous_index_with_every_document(tmp_path):
    count = 20_000
    outcome, sent, data_dir = interrupt_child(tmp_path, "rebuild", count, 0.05)
    print(f"rebuild: KeyboardInterrupt caught {1000 * (outcome['caught_at'] - sent):.0f} ms after SIGINT")
    assert outcome["interrupted"], "the signal came after the call"
    assert "keeps its old indexes" in outcome["message"]
    live = count - len(range(0, count, 10))
    assert outcome["documents"] == live
    # The old graph, tombstones and all, still answers, exactly as before the
    # rebuild began: a walk over the same graph is deterministic, where a
    # recall bound would depend on the random levels of the build (the graph's
    # recall is the business of the recall tests).
    assert outcome["deleted_slots"] == outcome["deleted_slots_before"] > 0
    assert outcome["same_answers"]
    with Karvalith(data_dir=str(data_dir)) as db:
        assert db.collection_info("c").document_count == live
        assert db.rebuild("c") == live
