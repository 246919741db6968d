"""progress= on the long calls, a raising progress callable, the karvalith logger, status()."""

import logging
import os
import sys

import numpy as np
import pytest

import karvalith
from karvalith import Karvalith

DIM = 16


def rows(count, start=0, seed=0):
    vectors = np.random.default_rng(seed + start).standard_normal((count, DIM)).astype(np.float32)
    return [{"text": f"doc {start + i}", "embedding": vectors[i], "metadata": {"n": start + i}}
            for i in range(count)]


class Recorder:
    """A progress callable that keeps what it is given and can raise at a chosen call."""

    def __init__(self, raise_at=None):
        self.calls = []
        self.raise_at = raise_at

    def __call__(self, done, total):
        self.calls.append((done, total))
        if self.raise_at is not None and len(self.calls) > self.raise_at:
            raise ZeroDivisionError("stop here")

    def assert_complete(self):
        assert self.calls, "never called"
        totals = {total for _, total in self.calls}
        assert len(totals) == 1, self.calls
        dones = [done for done, _ in self.calls]
        assert dones == sorted(dones), self.calls
        assert dones[-1] == self.calls[-1][1], self.calls


def notes(error):
    return " ".join(getattr(error, "__notes__", []))


@pytest.fixture
def persistent(tmp_path):
    db = Karvalith(data_dir=str(tmp_path / "data"), auto_checkpoint_records=0, auto_checkpoint_bytes=0)
    db.create_collection("c", DIM)
    yield db
    db.close()


class TestArgument:
    CALLS = {
        "batch_insert": lambda db, p: db.batch_insert("c", rows(3), progress=p),
        "rebuild": lambda db, p: db.rebuild("c", progress=p),
        "save": lambda db, p: db.save("c", progress=p),
        "load": lambda db, p: db.load("c", progress=p),
        "compact": lambda db, p: db.compact(progress=p),
    }

    @pytest.mark.parametrize("call", CALLS, ids=list(CALLS))
    @pytest.mark.parametrize("bad", [1, 0, "yes", [], 2.5])
    def test_anything_but_a_bool_none_or_callable_is_refused_by_name(self, persistent, call, bad):
        persistent.save("c")
        with pytest.raises(TypeError, match="argument 'progress'"):
            self.CALLS[call](persistent, bad)

    def test_the_constructor_refuses_it_too_and_leaves_the_directory_free(self, tmp_path):
        with pytest.raises(TypeError, match="argument 'progress'"):
            Karvalith(data_dir=str(tmp_path), progress="bar")
        Karvalith(data_dir=str(tmp_path)).close()

    @pytest.mark.parametrize("call", CALLS, ids=list(CALLS))
    @pytest.mark.parametrize("quiet", [None, False, True])
    def test_off_or_a_bar_on_a_non_terminal_draws_nothing(self, persistent, capfd, call, quiet):
        persistent.save("c")
        capfd.readouterr()
        self.CALLS[call](persistent, quiet)
        assert capfd.readouterr().err == ""

    def test_true_draws_a_bar_that_ends_its_line_on_a_terminal(self, monkeypatch):
        from karvalith import _progress

        class Terminal:
            def __init__(self):
                self.text = ""

            def isatty(self):
                return True

            def write(self, text):
                self.text += text

            def flush(self):
                pass

        terminal = Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        db = Karvalith()
        db.create_collection("c", DIM)
        db.batch_insert("c", rows(200), progress=True)
        assert terminal.text.startswith("\rbatch_insert [")
        assert "200/200 100%" in terminal.text
        assert terminal.text.endswith("\n") and terminal.text.count("\n") == 1
        assert _progress.terminal_bar("x") is not None


class TestCallable:
    @pytest.mark.parametrize("threads", [1, 2])
    def test_batch_insert_reports_monotone_counts_ending_at_the_batch(self, threads):
        db = Karvalith()
        db.create_collection("c", DIM)
        progress = Recorder()
        db.batch_insert("c", rows(3000), num_threads=threads, progress=progress)
        progress.assert_complete()
        assert progress.calls[0] == (0, 3000)
        assert progress.calls[-1] == (3000, 3000)

    def test_every_long_call_reports_up_to_its_total(self, persistent, tmp_path):
        persistent.batch_insert("c", rows(2000), num_threads=2)
        persistent.create_collection("d", DIM)
        for name, call in [
            ("rebuild", lambda p: persistent.rebuild("c", progress=p)),
            ("save", lambda p: persistent.save("c", progress=p)),
            ("load", lambda p: persistent.load("c", progress=p)),
            ("compact", lambda p: persistent.compact(progress=p)),
        ]:
            progress = Recorder()
            call(progress)
            progress.assert_complete()
            if name == "rebuild":
                assert progress.calls[-1] == (2000, 2000)
            if name == "save":
                assert progress.calls[-1][0] == os.path.getsize(tmp_path / "data" / "c.kvl")
            if name == "load":
                assert progress.calls[-1] == (6, 6)  # five reading steps and staging
            if name == "compact":
                assert progress.calls[-1] == (2, 2)

    def test_the_open_reports_the_logged_documents_it_replays(self, tmp_path):
        with Karvalith(data_dir=str(tmp_path)) as db:
            db.create_collection("c", DIM)
            db.batch_insert("c", rows(500))
            for row in rows(20, start=500):
                db.insert("c", row["text"], row["embedding"])
        progress = Recorder()
        with Karvalith(data_dir=str(tmp_path), progress=progress) as db:
            assert db.collection_info("c").document_count == 520
        progress.assert_complete()
        assert progress.calls[-1] == (521, 521)  # the creation counts one


class TestCallableRaising:
    """An exception from the callable stops the call as Ctrl-C does, and propagates. Only the
    first report reaches the callable at once (later ones at most every 40 ms), so a raise at
    the first call is what stops a call at a known point; the C++ tests stop at every point."""

    def test_before_the_batch_is_logged_nothing_is_inserted(self, persistent, tmp_path):
        before = persistent.status()["log_bytes"]
        with pytest.raises(ZeroDivisionError) as raised:
            persistent.batch_insert("c", rows(500), progress=Recorder(raise_at=0))
        if sys.version_info >= (3, 11):
            assert "none of the 500 documents was inserted" in notes(raised.value)
        assert persistent.status()["log_bytes"] == before
        assert persistent.collection_info("c").document_count == 0
        persistent.close()
        with Karvalith(data_dir=str(tmp_path / "data")) as reopened:
            assert reopened.collection_info("c").document_count == 0

    def test_a_logged_batch_is_rolled_back_or_finished_never_halved(self, persistent, tmp_path):
        # The second report comes 40 ms after the first: while the batch links (it is rolled
        # back) or, on a fast machine, at its end (it is kept).
        with pytest.raises(ZeroDivisionError) as raised:
            persistent.batch_insert("c", rows(3000), num_threads=2, progress=Recorder(raise_at=1))
        in_memory = persistent.collection_info("c").document_count
        assert in_memory in (0, 3000)
        if sys.version_info >= (3, 11):
            expected = "none of its 3000 documents was kept" if in_memory == 0 else "all 3000 documents"
            assert expected in notes(raised.value)
        persistent.close()
        with Karvalith(data_dir=str(tmp_path / "data")) as reopened:
            assert reopened.collection_info("c").document_count == in_memory
            # A rolled-back batch can be inserted again, ids and all.
            if in_memory == 0:
                assert len(reopened.batch_insert("c", rows(3000))) == 3000

    def test_a_stopped_rebuild_keeps_the_old_index(self, persistent):
        data = rows(1500)
        ids = persistent.batch_insert("c", data, num_threads=2)
        for doc_id in ids[::4]:
            persistent.delete("c", doc_id)
        before = persistent.collection_info("c")
        queries = [data[i]["embedding"] for i in range(1, 1500, 97)]
        answers = [[r.id for r in persistent.search("c", query_embedding=q, k=5)] for q in queries]
        with pytest.raises(ZeroDivisionError) as raised:
            persistent.rebuild("c", num_threads=2, progress=Recorder(raise_at=0))
        if sys.version_info >= (3, 11):
            assert "keeps its old indexes" in notes(raised.value)
        after = persistent.collection_info("c")
        assert after.deleted_slots == before.deleted_slots > 0
        assert [[r.id for r in persistent.search("c", query_embedding=q, k=5)] for q in queries] == answers
        assert persistent.rebuild("c") == before.document_count

    def test_a_stopped_save_or_compact_keeps_the_log(self, persistent, tmp_path):
        persistent.batch_insert("c", rows(300))
        records = persistent.status()["log_records"]
        for call in (lambda p: persistent.save("c", progress=p), lambda p: persistent.compact(progress=p)):
            with pytest.raises(ZeroDivisionError):
                call(Recorder(raise_at=0))
            assert persistent.status()["log_records"] == records
        assert not [f for f in os.listdir(tmp_path / "data") if f.endswith(".tmp")]
        persistent.close()
        with Karvalith(data_dir=str(tmp_path / "data")) as reopened:
            assert reopened.collection_info("c").document_count == 300

    def test_a_stopped_load_changes_nothing(self, persistent, tmp_path):
        persistent.batch_insert("c", rows(100))
        persistent.save("c", path=str(tmp_path / "elsewhere"))
        persistent.batch_insert("c", rows(10, start=100))
        with pytest.raises(ZeroDivisionError):
            persistent.load("c", path=str(tmp_path / "elsewhere"), progress=Recorder(raise_at=0))
        assert persistent.collection_info("c").document_count == 110
        assert not [f for f in os.listdir(tmp_path / "data") if f.endswith(".loading")]

    def test_a_stopped_open_frees_the_directory_and_loses_nothing(self, tmp_path):
        with Karvalith(data_dir=str(tmp_path)) as db:
            db.create_collection("c", DIM)
            db.batch_insert("c", rows(400))
        with pytest.raises(ZeroDivisionError) as raised:
            Karvalith(data_dir=str(tmp_path), progress=Recorder(raise_at=0))
        if sys.version_info >= (3, 11):
            assert "nothing in the directory was lost" in notes(raised.value)
        with Karvalith(data_dir=str(tmp_path)) as db:
            assert db.collection_info("c").document_count == 400

    def test_a_raise_at_the_last_report_comes_after_the_work(self):
        db = Karvalith()
        db.create_collection("c", DIM)

        def fail_at_the_end(done, total):
            if done == total:
                raise ZeroDivisionError("late")

        with pytest.raises(ZeroDivisionError) as raised:
            db.batch_insert("c", rows(100), num_threads=1, progress=fail_at_the_end)
        assert db.collection_info("c").document_count == 100
        if sys.version_info >= (3, 11):
            assert "completed" in notes(raised.value)


class TestReentry:
    """A progress callable that calls the handle whose call is in flight would wait for that
    call's locks forever; it gets RuntimeError instead (which then stops the call)."""

    @pytest.mark.parametrize("inner", [
        lambda db: db.insert("c", "x", [0.0] * DIM),
        lambda db: db.compact(),
        lambda db: db.rebuild("c"),
        lambda db: db.close(),
        lambda db: db.search("c", query_text="doc"),
    ], ids=["insert", "compact", "rebuild", "close", "search"])
    @pytest.mark.parametrize("outer", ["batch_insert", "rebuild"])
    def test_the_same_handle_is_refused_from_its_own_progress_callable(self, persistent, inner, outer):
        persistent.batch_insert("c", rows(100))

        def progress(done, total):
            inner(persistent)

        with pytest.raises(RuntimeError, match="cannot be used from the progress callback"):
            if outer == "batch_insert":
                persistent.batch_insert("c", rows(100, start=100), progress=progress)
            else:
                persistent.rebuild("c", progress=progress)
        assert persistent.collection_info("c").document_count == 100
        persistent.insert("c", "after", [0.0] * DIM)  # usable again afterwards

    def test_another_handle_may_be_used(self, persistent):
        other = Karvalith()
        other.create_collection("log", 2)

        def progress(done, total):
            other.insert("log", f"{done}/{total}", [1.0, 0.0])

        persistent.batch_insert("c", rows(500), progress=progress)
        assert other.collection_info("log").document_count >= 2


class TestLogging:
    def test_open_recovery_and_checkpoints_are_logged(self, tmp_path, caplog):
        caplog.set_level(logging.INFO, logger="karvalith")
        with Karvalith(data_dir=str(tmp_path), auto_checkpoint_records=1000) as db:
            db.create_collection("c", DIM)
            db.batch_insert("c", rows(200))
            messages = [r.getMessage() for r in caplog.records if r.name == "karvalith"]
            assert messages == [f"opened {tmp_path}: 0 collections, 0 documents in "
                                f"{caplog.records[0].args[3]:.3f} s"]
            caplog.clear()
            db.compact()
            (record,) = caplog.records
            assert record.levelno == logging.INFO
            assert record.getMessage().startswith(f"compact: 1 snapshots ({os.path.getsize(tmp_path / 'c.kvl')} bytes)")
            assert "log of" in record.getMessage() and "emptied" in record.getMessage()
            db.batch_insert("c", rows(300, start=200))
            caplog.clear()
            db.batch_insert("c", rows(800, start=500))  # past 1000 logged documents
            (record,) = caplog.records
            assert record.getMessage().startswith("automatic checkpoint: 1 snapshots")
            db.batch_insert("c", rows(10, start=1300))
        caplog.clear()
        with Karvalith(data_dir=str(tmp_path)):
            pass
        opened, recovered = [r.getMessage() for r in caplog.records]
        assert opened.startswith(f"opened {tmp_path}: 1 collections, 1310 documents in ")
        assert recovered.startswith(f"recovered {tmp_path}: 1 snapshots loaded, 0 not loadable; "
                                    "1 log records (10 documents) replayed, 0 not applied, 0 torn bytes cut off")

    def test_problems_found_are_warnings_beside_the_runtime_warning(self, tmp_path, caplog):
        with Karvalith(data_dir=str(tmp_path)) as db:
            db.create_collection("c", DIM)
            db.compact()
        (tmp_path / "c.kvl").write_bytes(b"not a snapshot")
        caplog.set_level(logging.INFO, logger="karvalith")
        with pytest.warns(RuntimeWarning, match="with problems"):
            db = Karvalith(data_dir=str(tmp_path))
        db.close()
        warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
        assert len(warnings) == 1
        assert warnings[0].getMessage().startswith("'c.kvl': snapshot did not load")

    def test_a_failing_handler_does_not_fail_the_call(self, tmp_path, monkeypatch):
        class Broken(logging.Handler):
            def emit(self, record):
                raise RuntimeError("handler fails")

        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        logger = logging.getLogger("karvalith")
        handler = Broken()
        logger.addHandler(handler)
        level = logger.level
        logger.setLevel(logging.INFO)
        try:
            with Karvalith(data_dir=str(tmp_path)) as db:
                db.create_collection("c", DIM)
                db.compact()
                assert db.list_collections() == ["c"]
        finally:
            logger.removeHandler(handler)
            logger.setLevel(level)
        assert [str(u.exc_value) for u in unraisable] == ["handler fails"] * 2  # the open, the compact


class TestStatus:
    def test_directory_collections_and_version(self, tmp_path):
        with Karvalith(data_dir=str(tmp_path)) as db:
            db.create_collection("a", DIM)
            db.create_collection("b", DIM)
            ids = db.batch_insert("a", rows(50))
            db.delete("a", ids[0])
            status = db.status()
            assert status["directory"] == str(tmp_path)
            assert status["version"] == karvalith.__version__ != ""
            assert status["collections"] == {
                "a": {"documents": 49, "deleted_slots": 1, "log_records": 52},  # creation, batch, delete
                "b": {"documents": 0, "deleted_slots": 0, "log_records": 1},
            }
            assert sum(c["log_records"] for c in status["collections"].values()) == status["log_records"]
            db.compact()
            status = db.status()
            assert status["collections"]["a"] == {"documents": 49, "deleted_slots": 1, "log_records": 0}
            db.rebuild("a")
            assert db.status()["collections"]["a"]["deleted_slots"] == 0

    def test_an_ephemeral_handle_has_no_directory(self):
        db = Karvalith()
        db.create_collection("c", DIM)
        db.batch_insert("c", rows(5))
        status = db.status()
        assert status["directory"] is None
        assert status["collections"] == {"c": {"documents": 5, "deleted_slots": 0, "log_records": 0}}
