"""Reading a data directory without opening it (inspect_directory), and the reads export
builds on: list_ids, get_embedding, and the metric and deleted slots in CollectionInfo."""

import os
import pathlib
import zlib

import pytest

from karvalith import Karvalith
from karvalith._karvalith import inspect_directory

def vector(i, dimension=4):
    return [float(i + 1), 0.5, -0.25 * (i % 7), 2.0][:dimension]


@pytest.fixture
def directory(tmp_path):
    """"snap" (5 documents) in a snapshot, then logged: a delete, an upsert and collection "logged"."""
    path = tmp_path / "data"
    db = Karvalith(data_dir=str(path))
    db.create_collection("snap", 4)
    ids = [db.insert("snap", f"text {i}", vector(i)) for i in range(5)]
    db.compact()
    db.delete("snap", ids[0])
    db.upsert("snap", ids[1], "replaced", vector(9), {"v": 2})
    db.create_collection("logged", 4, distance_metric="dot_product")
    db.insert("logged", "only in the log", vector(3))
    del db
    return path


class TestInspectDirectory:
    def test_replayed_view_matches_what_an_open_holds(self, directory):
        report = inspect_directory(directory)
        assert report["replayed"] and report["problems"] == []
        collections = {c["name"]: c for c in report["collections"]}
        db = Karvalith(data_dir=str(directory))
        for name, inspected in collections.items():
            info = db.collection_info(name)
            assert inspected["documents"] == info.document_count
            assert inspected["deleted_slots"] == info.deleted_slots
            assert inspected["distance_metric"] == info.distance_metric
        assert collections["snap"]["deleted_slots"] == 2  # the deleted and the replaced slot
        assert collections["snap"]["pending_records"] == 2
        assert collections["logged"]["snapshot_file"] is None
        assert report["log"]["records"] == 4 and report["log"]["end"] == "clean"
        # Replayed insertions draw fresh graph levels, so memory estimates agree
        # exactly only for what snapshots hold.
        db.compact()
        expected = {name: db.collection_info(name).estimated_memory_bytes for name in collections}
        del db
        compacted = inspect_directory(directory)["collections"]
        assert {c["name"]: c["estimated_memory_bytes"] for c in compacted} == expected

    def test_without_replay_only_snapshots_count(self, directory):
        report = inspect_directory(str(directory), replay=False)
        assert not report["replayed"]
        assert [(c["name"], c["documents"]) for c in report["collections"]] == [("snap", 5)]
        assert report["snapshots"] == [
            {"file": "snap.kvl", "size": os.path.getsize(directory / "snap.kvl"), "sealed": False,
             "loaded": True, "collection": "snap", "documents": 5}
        ]

    def test_leftover_files_are_warnings(self, directory):
        (directory / "snap.kvl.tmp").write_bytes(b"half a snapshot")
        (directory / "snap.kvl.00000000000000aa.loading").write_bytes(b"never logged")
        report = inspect_directory(directory)
        leftovers = {(p["file"], p["kind"], p["fatal"]) for p in report["problems"]}
        assert leftovers == {
            ("snap.kvl.tmp", "leftover", False),
            ("snap.kvl.00000000000000aa.loading", "leftover", False),
        }

    def test_special_files_are_reported_and_never_opened(self, directory):
        (directory / "wal.bin").unlink()
        os.mkfifo(directory / "wal.bin")
        os.mkfifo(directory / "fifo.kvl")
        report = inspect_directory(directory)  # would block forever if either were opened
        assert {(p["file"], p["kind"]) for p in report["problems"]} == {
            ("fifo.kvl", "unreadable"), ("wal.bin", "unreadable"),
        }
        assert report["log"] is None

    def test_a_change_to_a_collection_whose_snapshot_is_gone_is_unapplied(self, directory):
        (directory / "snap.kvl").unlink()
        report = inspect_directory(directory)
        unapplied = [p for p in report["problems"] if p["kind"] == "unapplied"]
        assert len(unapplied) == 2 and all(p["fatal"] and p["file"] == "wal.bin" for p in unapplied)

    def test_an_undecodable_record_is_reported_at_its_offset(self, directory):
        size = os.path.getsize(directory / "wal.bin")
        payload = b"\x00\x00\x00\x63junk"  # variant 99
        with open(directory / "wal.bin", "ab") as log:
            log.write(len(payload).to_bytes(4, "big") + zlib.crc32(payload).to_bytes(4, "big") + payload)
        problems = inspect_directory(directory)["problems"]
        assert [(p["offset"], p["kind"]) for p in problems] == [(size, "undecodable")]

    def test_argument_and_path_errors(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="does not exist"):
            inspect_directory(tmp_path / "missing")
        assert not (tmp_path / "missing").exists()
        (tmp_path / "file").write_text("")
        with pytest.raises(NotADirectoryError):
            inspect_directory(str(tmp_path / "file"))
        with pytest.raises(TypeError, match="argument 'path'"):
            inspect_directory(3)
        with pytest.raises(TypeError, match="argument 'path'"):
            inspect_directory(b"/tmp")
        with pytest.raises(ValueError, match="64 hex characters"):
            inspect_directory(tmp_path, "00")
        with pytest.raises(TypeError, match="argument 'replay'"):
            inspect_directory(tmp_path, replay=1)
        assert inspect_directory(pathlib.Path(tmp_path))["log"] is None


class TestDocumentReads:
    def test_list_ids_holds_live_documents_in_placement_order(self, db4):
        ids = [db4.insert("c", f"t{i}", vector(i)) for i in range(4)]
        db4.delete("c", ids[1])
        db4.upsert("c", ids[0], "moved to the end", vector(0))
        assert db4.list_ids("c") == [ids[2], ids[3], ids[0]]
        db4.rebuild("c")
        assert sorted(db4.list_ids("c")) == sorted([ids[0], ids[2], ids[3]])

    def test_get_embedding_is_exact_with_raw_vectors_and_close_without(self, db):
        db.create_collection("raw", 4, store_raw_vectors=True)
        db.create_collection("compact", 4)
        original = [0.123456789, -3.5, 2.0, 1e-3]
        raw_id = db.insert("raw", "x", original)
        compact_id = db.insert("compact", "x", original)
        assert db.get_embedding("raw", raw_id) == pytest.approx(original, rel=1e-7)
        step = (max(original) - min(original)) / 255
        assert db.get_embedding("compact", compact_id) == pytest.approx(original, abs=step / 2 + 1e-6)

    def test_reads_of_missing_things(self, db4):
        doc = db4.insert("c", "x", vector(1))
        db4.delete("c", doc)
        with pytest.raises(KeyError, match="not found"):
            db4.get_embedding("c", doc)
        with pytest.raises(KeyError):
            db4.list_ids("nope")
        with pytest.raises(KeyError):
            db4.get_embedding("nope", doc)
        with pytest.raises(ValueError, match="invalid UUID"):
            db4.get_embedding("c", "x")

    def test_collection_info_metric_and_deleted_slots(self, db):
        db.create_collection("e", 4, distance_metric="euclidean")
        ids = [db.insert("e", "x", vector(i)) for i in range(3)]
        db.delete("e", ids[0])
        db.upsert("e", ids[1], "y", vector(5))
        info = db.collection_info("e")
        assert (info.distance_metric, info.document_count, info.deleted_slots) == ("euclidean", 2, 2)
        db.rebuild("e")
        assert db.collection_info("e").deleted_slots == 0
