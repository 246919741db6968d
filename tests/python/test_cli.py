"""The karvalith command-line tool, run as `python -m karvalith` on real data directories."""

import hashlib
import json
import os
import random
import struct
import subprocess
import sys

import pytest

from karvalith import Karvalith

KEY = "ab" * 32
OTHER_KEY = "cd" * 32


def run(*args, env=None, check_status=None):
    environment = dict(os.environ)
    environment.pop("KARVALITH_ENCRYPTION_KEY", None)
    environment.update(env or {})
    done = subprocess.run(
        [sys.executable, "-m", "karvalith", *map(str, args)],
        capture_output=True, text=True, env=environment, timeout=120,
    )
    # A user error is a message, never a traceback.
    assert "Traceback" not in done.stderr, done.stderr
    if check_status is not None:
        assert done.returncode == check_status, (done.stdout, done.stderr)
    return done


def records(count, dimension=4, seed=0, with_ids=True):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        record = {
            "text": f"note {i} about {rng.choice(['cats', 'dogs', 'birds'])}",
            "metadata": {"n": i, "even": i % 2 == 0, "w": i / 4, "tag": f"t{i % 3}"},
            "embedding": [rng.uniform(-1, 1) for _ in range(dimension)],
        }
        if with_ids:
            record["id"] = f"00000000-0000-4000-8000-{i:012d}"
        out.append(record)
    return out


def write_jsonl(path, rows):
    path.write_text("".join(json.dumps(row) + "\n" for row in rows))
    return path


def snapshot_of_files(directory):
    """Name -> (size, mtime, sha256) of every file, to prove a command wrote nothing."""
    state = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        info = os.stat(path)
        with open(path, "rb") as handle:
            state[name] = (info.st_size, info.st_mtime_ns, hashlib.sha256(handle.read()).hexdigest())
    return state


def record_offsets(wal_path):
    """Offsets of the log's records, walked by their length headers."""
    data = wal_path.read_bytes()
    offsets, position = [], 0
    while position + 8 <= len(data):
        offsets.append(position)
        (length,) = struct.unpack(">I", data[position:position + 4])
        position += 8 + length
    return offsets


def flip_byte(path, offset):
    with open(path, "r+b") as handle:
        handle.seek(offset)
        byte = handle.read(1)
        handle.seek(offset)
        handle.write(bytes([byte[0] ^ 0x5A]))


@pytest.fixture
def data(tmp_path):
    """A directory with collection "docs" in a snapshot and "more" in the log only."""
    directory = tmp_path / "data"
    source = write_jsonl(tmp_path / "in.jsonl", records(60))
    run("import", directory, "docs", source, "--batch-size", "25", check_status=0)
    run("compact", directory, check_status=0)
    extra = write_jsonl(tmp_path / "more.jsonl", records(30, seed=1, with_ids=False))
    run("import", directory, "more", extra, "--batch-size", "10", check_status=0)
    return directory


class TestArguments:
    def test_help_lists_every_command_and_the_exit_statuses(self):
        done = run("--help", check_status=0)
        for command in ("info", "verify", "export", "import", "compact", "search"):
            assert command in done.stdout
        text = " ".join(done.stdout.split())
        assert "4 directory locked" in text and "7 not a Karvalith data directory" in text

    def test_usage_errors_exit_2(self, tmp_path):
        assert run().returncode == 2
        assert run("frobnicate").returncode == 2
        assert run("search", tmp_path, "c").returncode == 2  # --text is required
        assert run("search", tmp_path, "c", "--text", "x", "--k", "0").returncode == 2

    def test_keys_are_not_accepted_on_the_command_line(self, tmp_path):
        done = run("info", tmp_path, "--key", KEY)
        assert done.returncode == 2
        assert "unrecognized arguments" in done.stderr

    def test_console_script_entry_point_is_main(self):
        from karvalith import cli

        with pytest.raises(SystemExit) as exited:
            cli.main(["--version"])
        assert exited.value.code == 0


class TestImportExport:
    def test_round_trip_keeps_ids_texts_metadata_and_embeddings(self, tmp_path):
        rows = records(50, dimension=6)
        source = write_jsonl(tmp_path / "in.jsonl", rows)
        run("import", tmp_path / "d", "c", source, "--batch-size", "7", check_status=0)
        out = tmp_path / "out.jsonl"
        run("export", tmp_path / "d", "c", out, check_status=0)
        exported = {row["id"]: row for row in map(json.loads, out.read_text().splitlines())}
        assert len(exported) == 50
        for row in rows:
            got = exported[row["id"]]
            assert got["text"] == row["text"]
            assert got["metadata"] == row["metadata"]
            # Compact collections keep 8-bit codes: each value within half a step.
            step = (max(row["embedding"]) - min(row["embedding"])) / 255
            assert got["embedding"] == pytest.approx(row["embedding"], abs=step / 2 + 1e-6)

    def test_a_keyword_only_collection_round_trips(self, tmp_path):
        rows = [{k: v for k, v in row.items() if k != "embedding"} for row in records(12)]
        run("import", tmp_path / "d", "k", write_jsonl(tmp_path / "in.jsonl", rows), check_status=0)
        out = tmp_path / "out.jsonl"
        run("export", tmp_path / "d", "k", out, check_status=0)
        exported = [json.loads(line) for line in out.read_text().splitlines()]
        assert [row["embedding"] for row in exported] == [[]] * 12
        run("import", tmp_path / "copy", "k", out, check_status=0)
        with Karvalith(data_dir=str(tmp_path / "copy")) as db:
            assert db.collection_info("k").dimension == 0
            assert db.search("k", query_text="cats", k=12)[0].text.endswith("cats")
            assert {d["id"] for d in db.get("k")} == {row["id"] for row in rows}
        run("import", tmp_path / "empty", "k", write_jsonl(tmp_path / "none.jsonl", []), "--dimension", "0",
            check_status=0)
        with Karvalith(data_dir=str(tmp_path / "empty")) as db:
            assert db.collection_info("k").dimension == 0

    def test_export_to_stdout_and_reimport_into_a_new_directory(self, data, tmp_path):
        done = run("export", data, "more", "-", check_status=0)
        lines = done.stdout.splitlines()
        assert len(lines) == 30
        copy = write_jsonl(tmp_path / "copy.jsonl", [json.loads(line) for line in lines])
        run("import", tmp_path / "second", "more", copy, check_status=0)
        again = run("export", tmp_path / "second", "more", "-", check_status=0)
        assert sorted(json.loads(l)["id"] for l in again.stdout.splitlines()) == sorted(
            json.loads(l)["id"] for l in lines
        )

    def test_reimport_replaces_documents_with_the_same_ids(self, tmp_path):
        rows = records(20)
        directory = tmp_path / "d"
        run("import", directory, "c", write_jsonl(tmp_path / "a.jsonl", rows), check_status=0)
        for row in rows[:5]:
            row["text"] = "replaced " + row["text"]
        run("import", directory, "c", write_jsonl(tmp_path / "b.jsonl", rows[:5]), check_status=0)
        db = Karvalith(data_dir=str(directory))
        assert db.collection_info("c").document_count == 20
        assert db.get("c", rows[0]["id"])["text"].startswith("replaced ")
        assert db.get("c", rows[10]["id"])["text"] == rows[10]["text"]

    @pytest.mark.parametrize(
        "bad_line,message",
        [
            ("{not json", "not valid JSON"),
            ('{"text": "x"}', "embedding has 0 values, earlier lines have 4"),
            ('{"embedding": {"a": 1}}', "'embedding' must be a list of numbers"),
            ('{"embedding": [1, 2, 3]}', "embedding has 3 values, earlier lines have 4"),
            ('{"embedding": [1, 2, 3, "x"]}', "finite numbers"),
            ('{"embedding": [1, 2, 3, 4], "metadata": {"a": {"b": 1}}}', "metadata 'a' is dict"),
            ('{"embedding": [1, 2, 3, 4], "metadata": {"a": null}}', "metadata 'a' is null"),
            ('{"embedding": [1, 2, 3, 4], "metadata": {"a": 99999999999999999999}}', "64-bit"),
            ('{"embedding": [1, 2, 3, 4], "id": "nope"}', "not a UUID"),
            ('{"embedding": [1, 2, 3, 4], "vector": []}',
             "unknown key 'vector' (accepted: embedding, id, text, metadata)"),
            ('{"embedding": [1, 2, 3, 4], "meta": {}, "metadatas": {}}', "unknown keys 'meta', 'metadatas'"),
            ('{"embedding": [1, 2, 3, 4], "text": "a\\ud800"}', "'text' is not valid Unicode"),
            ('{"embedding": [1, 2, 3, 4], "metadata": {"k": "\\udc00"}}', "metadata 'k' is not valid Unicode"),
            ('[1, 2]', "must be a JSON object"),
        ],
    )
    def test_a_bad_line_is_reported_with_its_position_and_nothing_is_imported(
        self, tmp_path, bad_line, message
    ):
        rows = records(4)
        source = tmp_path / "in.jsonl"
        source.write_text("".join(json.dumps(r) + "\n" for r in rows[:2]) + bad_line + "\n")
        directory = tmp_path / "d"
        done = run("import", directory, "c", source, check_status=2)
        assert f"{source}:3" in done.stderr and message in done.stderr, done.stderr
        assert not directory.exists()

    def test_repeated_ids_and_dimension_mismatches_change_nothing(self, tmp_path):
        directory = tmp_path / "d"
        run("import", directory, "c", write_jsonl(tmp_path / "a.jsonl", records(3)), check_status=0)
        before = snapshot_of_files(directory)
        repeated = records(3)
        repeated[2]["id"] = repeated[0]["id"]
        done = run("import", directory, "c", write_jsonl(tmp_path / "b.jsonl", repeated), check_status=2)
        assert "repeats" in done.stderr
        wider = records(2, dimension=5)
        done = run("import", directory, "c", write_jsonl(tmp_path / "c.jsonl", wider), check_status=2)
        assert "dimension 4" in done.stderr
        assert snapshot_of_files(directory) == before

    def test_empty_input_needs_a_dimension(self, tmp_path):
        empty = tmp_path / "empty.jsonl"
        empty.write_text("\n")
        done = run("import", tmp_path / "d", "c", empty, check_status=2)
        assert "--dimension" in done.stderr
        run("import", tmp_path / "d", "c", empty, "--dimension", "8", "--metric", "euclidean", check_status=0)
        info = Karvalith(data_dir=str(tmp_path / "d")).collection_info("c")
        assert (info.dimension, info.distance_metric, info.document_count) == (8, "euclidean", 0)
        done = run("import", tmp_path / "d", "c", empty, "--metric", "cosine", check_status=2)
        assert "uses the euclidean metric" in done.stderr

    def test_missing_input_file_and_missing_collection_exit_3(self, data, tmp_path):
        assert "does not exist" in run("import", data, "c", tmp_path / "nope.jsonl", check_status=3).stderr
        done = run("export", data, "nope", tmp_path / "o.jsonl", check_status=3)
        assert "collections: docs, more" in done.stderr
        assert not (tmp_path / "o.jsonl").exists()

    def test_progress_bar_goes_to_stderr_only(self, tmp_path):
        source = write_jsonl(tmp_path / "in.jsonl", records(30))
        done = run("import", tmp_path / "d", "c", source, "--batch-size", "10", "--progress", check_status=0)
        assert "30/30" in done.stderr and "100%" in done.stderr
        done = run("export", tmp_path / "d", "c", "-", "--progress", check_status=0)
        assert "30/30" in done.stderr
        assert all(line.startswith("{") for line in done.stdout.splitlines())


class TestDirectoriesWithoutADatabase:
    @pytest.fixture
    def foreign(self, tmp_path):
        """Directories that hold no database: empty, other files, a lone LOCK, a sharded collection."""
        made = {}
        for name, files in (("empty", []), ("other", ["notes.txt"]), ("lock", ["LOCK"]),
                            ("sharded", ["karvalith-shards.json"])):
            directory = tmp_path / name
            directory.mkdir()
            for file in files:
                (directory / file).write_text("{}")
            made[name] = directory
        return made

    def test_commands_refuse_and_create_nothing(self, foreign, tmp_path):
        for directory in foreign.values():
            before = snapshot_of_files(directory)
            for args in (["compact", directory], ["search", directory, "c", "--text", "x"],
                         ["export", directory, "c", tmp_path / "o.jsonl"]):
                done = run(*args, check_status=7)
                assert f"'{directory}' is not a Karvalith data directory" in done.stderr
            for command in ("info", "verify"):
                done = run(command, directory, check_status=3)
                assert "is not a Karvalith data directory" in done.stderr and "sound" not in done.stdout
            assert snapshot_of_files(directory) == before
        assert "shard-NNN" in run("info", foreign["sharded"], check_status=3).stderr
        assert not (tmp_path / "o.jsonl").exists()

    def test_import_goes_only_into_a_database_or_a_new_or_empty_directory(self, foreign, tmp_path):
        source = write_jsonl(tmp_path / "in.jsonl", records(5))
        for name in ("other", "sharded"):
            before = snapshot_of_files(foreign[name])
            done = run("import", foreign[name], "c", source, check_status=7)
            assert "not empty" in done.stderr
            assert snapshot_of_files(foreign[name]) == before
        for name in ("empty", "lock"):
            run("import", foreign[name], "c", source, check_status=0)
            assert Karvalith(data_dir=str(foreign[name])).collection_info("c").document_count == 5

    def test_a_failed_import_removes_the_database_it_created(self, tmp_path, monkeypatch, capsys):
        from karvalith import cli

        class FailingHandle:
            """A real handle whose second batch fails, as a full disk would make it."""

            def __init__(self, **options):
                self._db = Karvalith(**options)
                self._batches = 0

            def __getattr__(self, name):
                return getattr(self._db, name)

            def batch_insert(self, *args):
                self._batches += 1
                if self._batches == 2:
                    raise RuntimeError("No space left on device")
                return self._db.batch_insert(*args)

        source = write_jsonl(tmp_path / "in.jsonl", records(6))
        existing = tmp_path / "existing"
        run("import", existing, "other", write_jsonl(tmp_path / "a.jsonl", records(2, seed=3, with_ids=False)),
            check_status=0)
        empty = tmp_path / "empty"
        empty.mkdir()
        monkeypatch.setattr(cli, "Karvalith", FailingHandle)
        for directory in (tmp_path / "new" / "deeper", empty):
            assert cli.main(["import", str(directory), "c", str(source), "--batch-size", "2"]) == 6
            assert "stopped after 2 of 6 documents (the new database was removed)" in capsys.readouterr().err
        assert not (tmp_path / "new").exists()
        assert os.listdir(empty) == []
        # Into a database that was there before, what was written stays.
        assert cli.main(["import", str(existing), "c", str(source), "--batch-size", "2"]) == 6
        assert "(those stay imported)" in capsys.readouterr().err
        monkeypatch.undo()
        assert Karvalith(data_dir=str(existing)).collection_info("c").document_count == 2
        # A collection the new database cannot create: nothing is left either.
        empty_input = write_jsonl(tmp_path / "none.jsonl", [])
        run("import", tmp_path / "huge", "c", empty_input, "--dimension", str(2**25), check_status=2)
        assert not (tmp_path / "huge").exists()


class TestInfo:
    def test_reports_collections_snapshots_and_the_pending_log(self, data):
        db = Karvalith(data_dir=str(data))
        db.delete("more", db.list_ids("more")[0])
        del db
        report = json.loads(run("info", data, "--json", check_status=0).stdout)
        collections = {c["name"]: c for c in report["collections"]}
        assert collections["docs"]["documents"] == 60
        assert collections["docs"]["snapshot_file"] == "docs.kvl"
        assert collections["docs"]["pending_records"] == 0
        assert collections["more"]["documents"] == 29
        assert collections["more"]["deleted_slots"] == 1
        assert collections["more"]["snapshot_file"] is None
        assert collections["more"]["pending_records"] == 1 + 3 + 1  # create, 3 batches, delete
        assert report["log"]["records"] == 5 and report["log"]["end"] == "clean"
        assert [s["file"] for s in report["snapshots"]] == ["docs.kvl"]
        text = run("info", data, check_status=0).stdout
        assert "docs.kvl" in text and "cosine" in text and "5 records pending" in text

    def test_info_and_verify_write_nothing_even_where_an_open_would_repair(self, data):
        with open(data / "wal.bin", "ab") as log:
            log.write(b"\x00\x00\x01\x00\x12\x34")  # a torn tail an open would cut off
        before = snapshot_of_files(data)
        run("info", data, check_status=0)
        run("verify", data, check_status=0)
        assert snapshot_of_files(data) == before

    def test_work_while_another_handle_holds_the_lock(self, data, tmp_path):
        holder = Karvalith(data_dir=str(data))
        try:
            assert run("info", data).returncode == 0
            assert run("verify", data).returncode == 0
            done = run("export", data, "docs", tmp_path / "o.jsonl", check_status=4)
            assert "locked" in done.stderr
            assert run("compact", data).returncode == 4
            assert run("search", data, "docs", "--text", "cats").returncode == 4
        finally:
            del holder

    def test_missing_directory_exits_3_and_is_not_created(self, tmp_path):
        missing = tmp_path / "missing"
        for args in (["info", missing], ["verify", missing], ["export", missing, "c", tmp_path / "o"],
                     ["compact", missing], ["search", missing, "c", "--text", "x"]):
            done = run(*args, check_status=3)
            assert "does not exist" in done.stderr
        assert not missing.exists()
        afile = tmp_path / "file"
        afile.write_text("")
        assert "not a directory" in run("info", afile, check_status=3).stderr


class TestVerify:
    def test_sound_directory(self, data):
        done = run("verify", data, check_status=0)
        assert "ok      docs.kvl" in done.stdout and "sound" in done.stdout

    def test_damaged_snapshot_is_reported_by_file(self, data):
        flip_byte(data / "docs.kvl", 100)
        done = run("verify", data, check_status=1)
        assert "DAMAGED docs.kvl" in done.stdout
        assert "docs.kvl: [checksum]" in done.stdout

    def test_truncated_snapshot_is_damage(self, data):
        path = data / "docs.kvl"
        path.write_bytes(path.read_bytes()[:-100])
        done = run("verify", data, check_status=1)
        assert "docs.kvl: [" in done.stdout

    def test_every_damaged_log_record_is_reported_at_its_offset(self, data):
        offsets = record_offsets(data / "wal.bin")
        assert len(offsets) == 4
        flip_byte(data / "wal.bin", offsets[1] + 20)
        flip_byte(data / "wal.bin", offsets[3] + 20)
        report = json.loads(run("verify", data, "--json", check_status=1).stdout)
        damaged = [(p["offset"], p["kind"]) for p in report["problems"] if p["fatal"]]
        assert (offsets[1], "checksum") in damaged
        assert (offsets[3], "checksum") in damaged
        assert (offsets[1], "not_replayed") in damaged  # the intact record between them
        text = run("verify", data, check_status=1).stdout
        assert f"wal.bin @ offset {offsets[3]}: [checksum]" in text

    def test_a_damaged_length_loses_the_framing(self, data):
        offsets = record_offsets(data / "wal.bin")
        flip_byte(data / "wal.bin", offsets[1] + 7)  # the check field: unreadable record
        flip_byte(data / "wal.bin", offsets[2])  # the length's top byte: runs past the end
        report = json.loads(run("verify", data, "--json").stdout)
        kinds = {(p["offset"], p["kind"]) for p in report["problems"]}
        assert (offsets[1], "checksum") in kinds and (offsets[2], "bad_length") in kinds

    def test_torn_tail_is_a_warning(self, data):
        with open(data / "wal.bin", "ab") as log:
            log.write(b"\x00\x00")
        done = run("verify", data, check_status=0)
        assert "warning: wal.bin @ offset" in done.stdout and "[torn_tail]" in done.stdout

    def test_commands_that_open_a_handle_refuse_damaged_directories(self, data, tmp_path):
        flip_byte(data / "docs.kvl", 100)
        before = snapshot_of_files(data)
        done = run("compact", data, check_status=1)
        assert "verify" in done.stderr
        run("export", data, "more", tmp_path / "o.jsonl", check_status=1)
        assert snapshot_of_files(data) == before
        # Asked to, export goes on with what an open recovers.
        run("export", data, "more", tmp_path / "o.jsonl", "--ignore-damage", check_status=0)
        assert len((tmp_path / "o.jsonl").read_text().splitlines()) == 30


class TestKeys:
    @pytest.fixture
    def sealed(self, tmp_path):
        directory = tmp_path / "sealed"
        key_file = tmp_path / "key"
        key_file.write_text(KEY + "\n")
        source = write_jsonl(tmp_path / "in.jsonl", records(20))
        run("import", directory, "c", source, "--key-file", key_file, check_status=0)
        run("compact", directory, "--key-file", key_file, check_status=0)
        run("import", directory, "d", source, "--key-file", key_file, check_status=0)
        return directory, key_file

    def test_right_key_from_file_or_environment(self, sealed):
        directory, key_file = sealed
        report = json.loads(run("info", directory, "--json", "--key-file", key_file, check_status=0).stdout)
        assert report["snapshots"][0]["sealed"] and report["log"]["sealed_records"] == 2
        run("verify", directory, env={"KARVALITH_ENCRYPTION_KEY": KEY}, check_status=0)
        done = run("search", directory, "c", "--text", "cats", "--json", "--key-file", key_file, check_status=0)
        assert json.loads(done.stdout)

    def test_missing_key(self, sealed):
        directory, _ = sealed
        for command in (["info", directory], ["verify", directory], ["compact", directory],
                        ["export", directory, "c", "-"]):
            done = run(*command, check_status=5)
            assert "encrypted" in done.stdout + done.stderr

    def test_wrong_key(self, sealed, tmp_path):
        directory, _ = sealed
        wrong = tmp_path / "wrong"
        wrong.write_text(OTHER_KEY)
        before = snapshot_of_files(directory)
        for command in (["verify", directory], ["compact", directory], ["search", directory, "c", "--text", "x"]):
            done = run(*command, "--key-file", wrong, check_status=5)
            assert "wrong encryption key" in done.stdout + done.stderr
        assert snapshot_of_files(directory) == before

    def test_malformed_or_unreadable_key_file(self, sealed, tmp_path):
        directory, _ = sealed
        short = tmp_path / "short"
        short.write_text("abcd")
        assert "64 hex characters" in run("info", directory, "--key-file", short, check_status=5).stderr
        assert "cannot read key file" in run(
            "info", directory, "--key-file", tmp_path / "absent", check_status=5
        ).stderr
        done = run("info", directory, env={"KARVALITH_ENCRYPTION_KEY": "zz" * 32}, check_status=5)
        assert "KARVALITH_ENCRYPTION_KEY" in done.stderr


class TestCompactAndSearch:
    def test_compact_empties_the_log_and_keeps_everything(self, data):
        done = run("compact", data, check_status=0)
        assert "2 collections" in done.stdout
        report = json.loads(run("info", data, "--json", check_status=0).stdout)
        assert report["log"]["size"] == 0
        assert {c["name"]: c["documents"] for c in report["collections"]} == {"docs": 60, "more": 30}
        assert sorted(s["file"] for s in report["snapshots"]) == ["docs.kvl", "more.kvl"]

    def test_search_prints_ranked_hits(self, data):
        done = run("search", data, "docs", "--text", "cats", "--k", "3", check_status=0)
        lines = [line for line in done.stdout.splitlines() if line[:4].strip().rstrip(".").isdigit()]
        assert len(lines) == 3 and all(line.endswith("about cats") for line in lines)
        hits = json.loads(run("search", data, "docs", "--text", "dogs", "--json", check_status=0).stdout)
        assert len(hits) == 10 and all(hit["text"].endswith("about dogs") for hit in hits)
        assert hits[0]["metadata"]["tag"] in ("t0", "t1", "t2")
        assert run("search", data, "docs", "--text", "zebra", check_status=0).stdout.strip() == (
            "no documents match"
        )
