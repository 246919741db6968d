"""Damaged files, keys, names, special files, closing and bounded recovery, as a user meets them."""

import os
import pathlib
import struct
import threading
import warnings

import pytest

from karvalith import Karvalith

KEY = "3f" * 32
OTHER_KEY = "a5" * 32
CLOSED = "the Karvalith handle is closed"


def record_offsets(path):
    data = pathlib.Path(path).read_bytes()
    offsets, at = [], 0
    while at < len(data):
        offsets.append(at)
        (length,) = struct.unpack_from(">I", data, at)
        at += 8 + length
    return offsets


def fill(path, count, key=None):
    with Karvalith(str(path), key, auto_checkpoint_records=0, auto_checkpoint_bytes=0) as db:
        db.create_collection("c", 2)
        return [db.insert("c", f"doc {i}", [1.0, float(i)]) for i in range(count)]


class TestDamagedLog:
    @pytest.mark.parametrize("key", [None, KEY])
    def test_a_flipped_length_bit_opens_read_only_and_keeps_the_file(self, tmp_path, key):
        ids = fill(tmp_path, 100, key)
        wal = tmp_path / "wal.bin"
        data = bytearray(wal.read_bytes())
        offsets = record_offsets(wal)
        data[offsets[51] + 1] ^= 0x10  # the 50th insert's length now runs past the end
        wal.write_bytes(bytes(data))
        with pytest.warns(RuntimeWarning, match="read-only"):
            db = Karvalith(str(tmp_path), key)
        assert wal.read_bytes() == bytes(data)
        status = db.status()
        assert "length field is damaged" in status["read_only"]
        assert "salvage_log()" in status["read_only"] and "move the file aside" not in status["read_only"]
        damaged = [i for i in status["issues"] if i["data_missing"]]
        assert damaged[0]["file"] == "wal.bin" and damaged[0]["offset"] == offsets[51]
        assert db.collection_info("c").document_count == 50
        with pytest.raises(RuntimeError, match="salvage_log"):
            db.insert("c", "x", [0.0, 1.0])

        # Salvage keeps the readable records and the damaged file beside them.
        kept = db.salvage_log()
        assert pathlib.Path(kept).read_bytes() == bytes(data)
        assert db.status()["read_only"] is None
        new_id = db.insert("c", "after salvage", [0.0, 1.0])
        db.close()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            db = Karvalith(str(tmp_path), key)
        assert db.collection_info("c").document_count == 51
        assert db.get("c", ids[49])["text"] == "doc 49" and db.get("c", new_id)["text"] == "after salvage"
        with pytest.raises(ValueError, match="nothing to salvage"):
            db.salvage_log()

    def test_a_zeroed_final_record_is_a_torn_tail_not_read_only(self, tmp_path):
        fill(tmp_path, 10)
        wal = tmp_path / "wal.bin"
        data = bytearray(wal.read_bytes())
        last = record_offsets(wal)[-1]
        data[last + 8:] = bytes(len(data) - last - 8)
        wal.write_bytes(bytes(data))
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a torn tail is normal crash recovery
            db = Karvalith(str(tmp_path))
        assert db.status()["read_only"] is None
        assert db.collection_info("c").document_count == 9
        assert any("torn tail" in issue["reason"] for issue in db.status()["issues"])
        db.insert("c", "again", [1.0, 0.0])


class TestKeys:
    def test_sealed_directory_without_or_with_the_wrong_key_raises(self, tmp_path):
        fill(tmp_path, 3, KEY)
        with Karvalith(str(tmp_path), KEY) as db:
            db.compact()  # sealed snapshot, empty log
        for key, message in ((None, "no encryption key was provided"), (OTHER_KEY, "does not open")):
            with pytest.raises(ValueError, match=message):
                Karvalith(str(tmp_path), key)
        # The refusal released the directory.
        with Karvalith(str(tmp_path), KEY) as db:
            assert db.collection_info("c").document_count == 3

    def test_save_into_the_data_directory_with_another_key_is_refused(self, tmp_path):
        with Karvalith(str(tmp_path / "data"), KEY) as db:
            db.create_collection("c", 2)
            with pytest.raises(ValueError, match="differs from the key the database was opened with"):
                db.save("c", encryption_key=OTHER_KEY)
            with pytest.raises(ValueError):
                db.save("c", path=str(tmp_path / "data"), encryption_key=OTHER_KEY)
            assert not (tmp_path / "data" / "c.kvl").exists()
            db.save("c", path=str(tmp_path / "elsewhere"), encryption_key=OTHER_KEY)
            db.save("c", encryption_key=KEY)
        with Karvalith(str(tmp_path / "data"), KEY) as db:
            assert db.list_collections() == ["c"]


class TestRefusals:
    def test_names_too_long_for_a_file_name_are_refused_before_logging(self, tmp_path):
        with Karvalith(str(tmp_path)) as db:
            size = (tmp_path / "wal.bin").stat().st_size
            with pytest.raises(ValueError, match="too long"):
                db.create_collection("n" * 240, 2)
            with pytest.raises(ValueError, match="too long"):
                db.create_collection("é" * 120, 2)
            assert (tmp_path / "wal.bin").stat().st_size == size
            db.create_collection("n" * 200, 2)
            db.compact()  # every accepted name can be checkpointed

    def test_a_fifo_in_the_directory_does_not_hang(self, tmp_path):
        os.mkfifo(tmp_path / "pipe.kvl")
        with pytest.warns(RuntimeWarning, match="not a regular file"):
            db = Karvalith(str(tmp_path))
        issue = db.status()["issues"][0]
        assert issue["file"] == "pipe.kvl" and "not a regular file" in issue["reason"]
        with pytest.raises(RuntimeError, match="not a regular file"):
            db.load("pipe")

    @pytest.mark.parametrize("bad", ["", "a\0b"])
    def test_empty_and_nul_paths(self, tmp_path, bad, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(ValueError, match="data_dir"):
            Karvalith(bad)
        db = Karvalith()
        db.create_collection("c", 2)
        with pytest.raises(ValueError, match="path"):
            db.save("c", path=bad)
        with pytest.raises(ValueError, match="path"):
            db.load("c", path=bad)
        assert list(tmp_path.iterdir()) == []

    def test_messages_name_what_failed(self, tmp_path):
        db = Karvalith()
        db.create_collection("c", 2)
        with pytest.raises(OverflowError, match="metadata 'big'"):
            db.insert("c", "t", [1.0, 0.0], metadata={"big": 2**70})
        with pytest.raises(OverflowError, match="field 'n'"):
            db.search("c", [1.0, 0.0], filter={"must": [{"field": "n", "op": "eq", "value": -(2**70)}]})
        (tmp_path / "g.kvl").write_bytes(os.urandom(64))
        with pytest.raises(RuntimeError) as garbage:
            db.load("g", path=str(tmp_path))
        assert "g.kvl" in str(garbage.value)
        (tmp_path / "blocked").write_text("a file where a directory should be")
        with pytest.raises(RuntimeError) as failed:
            db.save("c", path=str(tmp_path / "blocked" / "sub"))
        assert "c.kvl" in str(failed.value) and "creating its directory" in str(failed.value)


class TestClose:
    def test_with_block_releases_the_directory_even_on_error(self, tmp_path):
        with pytest.raises(KeyError):
            with Karvalith(str(tmp_path)) as db:
                db.create_collection("c", 2)
                db.get("c", "00000000-0000-0000-0000-000000000000")
        # The traceback still holds db, but the directory is free.
        with Karvalith(str(tmp_path)) as again:
            assert again.list_collections() == ["c"]
        assert repr(db) == "Karvalith(closed)"

    def test_every_method_raises_after_close(self, tmp_path):
        db = Karvalith(str(tmp_path))
        db.create_collection("c", 2)
        db.close()
        db.close()
        calls = [
            lambda: db.create_collection("d", 2), lambda: db.list_collections(), lambda: db.insert("c", "t", [1, 2]),
            lambda: db.search("c", [1.0, 0.0]), lambda: db.compact(), lambda: db.save("c"), lambda: db.status(),
            lambda: db.total_memory_bytes(), lambda: db.__enter__(),
        ]
        for call in calls:
            with pytest.raises(ValueError, match=CLOSED):
                call()

    def test_removing_the_lock_file_lets_no_second_writer_in(self, tmp_path):
        db = Karvalith(str(tmp_path))
        (tmp_path / "LOCK").unlink()
        with pytest.raises(RuntimeError, match="in use"):
            Karvalith(str(tmp_path))
        db.close()
        Karvalith(str(tmp_path)).close()

    def test_close_racing_writers_never_crashes_or_loses_an_acknowledged_insert(self, tmp_path):
        db = Karvalith(str(tmp_path))
        db.create_collection("c", 2)
        acknowledged, errors = [], []

        def write():
            for i in range(300):
                try:
                    acknowledged.append(db.insert("c", f"t{i}", [1.0, float(i)]))
                except ValueError as error:
                    errors.append(str(error))
                    return

        threads = [threading.Thread(target=write) for _ in range(3)]
        for thread in threads:
            thread.start()
        while len(acknowledged) < 30:
            pass
        db.close()
        for thread in threads:
            thread.join()
        assert errors and all(e == CLOSED for e in errors)
        with Karvalith(str(tmp_path)) as again:
            assert again.collection_info("c").document_count == len(acknowledged)

    def test_closing_while_arguments_convert_is_safe(self, tmp_path):
        db = Karvalith(str(tmp_path))
        db.create_collection("c", 2)

        class Closing:
            def __index__(self):
                db.close()
                return 1

            def __float__(self):
                db.close()
                return 1.0

        with pytest.raises(ValueError, match=CLOSED):
            db.insert("c", "t", [Closing(), 0.0])
        assert repr(db) == "Karvalith(closed)"


class TestAutomaticCheckpoint:
    def test_the_log_stays_below_the_threshold_and_nothing_is_lost(self, tmp_path):
        with Karvalith(str(tmp_path), auto_checkpoint_records=25) as db:
            db.create_collection("c", 2)
            for i in range(60):
                db.insert("c", f"t{i}", [1.0, float(i)])
                assert db.status()["log_records"] < 25
            db.batch_insert("c", [{"text": "b", "embedding": [0.0, 1.0]}] * 30)
            assert db.status()["log_records"] == 0
        assert (tmp_path / "c.kvl").exists()
        with Karvalith(str(tmp_path), auto_checkpoint_records=0) as db:
            assert db.collection_info("c").document_count == 90

    def test_turned_off_the_log_keeps_every_record(self, tmp_path):
        with Karvalith(str(tmp_path), auto_checkpoint_records=0, auto_checkpoint_bytes=0) as db:
            db.create_collection("c", 2)
            for i in range(40):
                db.insert("c", f"t{i}", [1.0, float(i)])
            assert db.status()["log_records"] == 41
        assert not (tmp_path / "c.kvl").exists()
