"""Persistent handles: restarts, checkpoints, sealed files, the directory lock and crashes."""

import json
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

import karvalith
from karvalith import Karvalith

KEY = "3f" * 32
OTHER_KEY = "a5" * 32
DIM = 8
NO_PATH = "no path specified and Karvalith was created without data_dir"


def child_env():
    """The environment of a child process that imports this very package."""
    env = dict(os.environ)
    package_root = str(pathlib.Path(karvalith.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    return env


def run_child(code, *args):
    """Runs `code` in a fresh interpreter (a real restart); returns its stdout."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        env=child_env(), capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def vector(i, dim=DIM):
    rng = random.Random(i)
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


def wal_records(path):
    """(check, payload) of every record of a log file."""
    data = pathlib.Path(path).read_bytes()
    records, at = [], 0
    while at < len(data):
        length, check = struct.unpack_from(">II", data, at)
        records.append((check, data[at + 8:at + 8 + length]))
        at += 8 + length
    assert at == len(data)
    return records


# Builds three collections covering every metric, raw vectors, every metadata
# type, batch and single inserts and deletes; prints everything it can read
# back, and the answers of every kind of search.
FILL = """
import random, sys
from karvalith import Karvalith
DIM = 8
def vector(i):
    rng = random.Random(i)
    return [rng.uniform(-1.0, 1.0) for _ in range(DIM)]
db = Karvalith(sys.argv[1])
db.create_collection("cos", DIM)
db.create_collection("l2", DIM, m=8, ef_construction=50, distance_metric="euclidean")
db.create_collection("dot", DIM, distance_metric="dot_product", store_raw_vectors=True)
words = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot"]
for name in ("cos", "l2", "dot"):
    docs = [{"text": f"{words[i % 6]} {words[(i * 7) % 6]} item{i} shared", "embedding": vector(i),
             "metadata": {"n": i, "even": i % 2 == 0, "ratio": i / 4, "lang": ["en", "it"][i % 2]}}
            for i in range(60)]
    ids = db.batch_insert(name, docs)
    for i in range(60, 80):
        ids.append(db.insert(name, f"{words[i % 6]} single{i} shared", vector(i), {"n": i}))
    for gone in ids[::9]:
        db.delete(name, gone)
"""

DUMP = """
import json, random, sys
from karvalith import Karvalith
DIM = 8
def vector(i):
    rng = random.Random(i)
    return [rng.uniform(-1.0, 1.0) for _ in range(DIM)]
def dump(db):
    out = {}
    flt = {"must": [{"field": "lang", "op": "eq", "value": "en"}],
           "must_not": [{"field": "n", "op": "lt", "value": 10}]}
    for name in sorted(db.list_collections()):
        info = db.collection_info(name)
        searches = []
        for q in range(5):
            for kwargs in ({"query_embedding": vector(1000 + q)},
                           {"query_text": ["alpha", "bravo delta", "echo", "item3", "single70"][q]},
                           {"query_embedding": vector(2000 + q), "query_text": "charlie"},
                           {"query_embedding": vector(2000 + q), "query_text": "charlie", "fusion_method": "linear"},
                           {"query_embedding": vector(3000 + q), "filter": flt}):
                hits = db.search(name, k=7, **kwargs)
                kind = "text" if list(kwargs) == ["query_text"] else "vector"
                searches.append([kind, [(h.id, round(h.score, 5), h.text, h.metadata) for h in hits]])
        # Every text holds "shared": this keyword search lists every live document.
        ids = sorted(h.id for h in db.search(name, query_text="shared", k=1000))
        assert len(ids) == info.document_count
        out[name] = {"dimension": info.dimension, "count": info.document_count,
                     "docs": [db.get(name, i) for i in ids], "searches": searches}
    return out
"""


class TestRestart:
    def test_compact_and_reopen_answers_every_search_the_same(self, tmp_path):
        before = run_child(FILL + DUMP + """
print(json.dumps(dump(db)))
db.compact()
""", tmp_path)
        assert (tmp_path / "wal.bin").stat().st_size == 0
        assert sorted(p.name for p in tmp_path.glob("*.kvl")) == ["cos.kvl", "dot.kvl", "l2.kvl"]
        after = run_child(DUMP + """
db = Karvalith(sys.argv[1])
print(json.dumps(dump(db)))
""", tmp_path)
        before, after = json.loads(before), json.loads(after)
        assert set(before) == {"cos", "l2", "dot"}
        assert all(c["count"] == 71 for c in before.values())
        assert after == before

    def test_the_log_alone_brings_back_every_change(self, tmp_path):
        before = run_child(FILL + DUMP + "print(json.dumps(dump(db)))", tmp_path)
        assert not list(tmp_path.glob("*.kvl"))
        after = run_child(DUMP + "print(json.dumps(dump(Karvalith(sys.argv[1]))))", tmp_path)
        before, after = json.loads(before), json.loads(after)
        # Replay rebuilds the graphs with fresh random levels, so only the
        # documents and the keyword rankings are bound to be identical.
        for state in (before, after):
            for collection in state.values():
                collection["searches"] = [s for s in collection["searches"] if s[0] == "text"]
        assert after == before

    def test_two_inserts_without_checkpoint_survive(self, tmp_path):
        ids = run_child("""
import sys
from karvalith import Karvalith
db = Karvalith(sys.argv[1])
db.create_collection("c", 2)
print(db.insert("c", "one", [1.0, 0.0]))
print(db.insert("c", "two", [0.0, 1.0], {"k": "v"}))
""", tmp_path).split()
        db = Karvalith(str(tmp_path))
        assert [db.get("c", i)["text"] for i in ids] == ["one", "two"]
        assert db.get("c", ids[1])["metadata"] == {"k": "v"}

    def test_save_then_more_inserts_then_reopen(self, tmp_path):
        run_child("""
import sys
from karvalith import Karvalith
db = Karvalith(sys.argv[1])
db.create_collection("a", 2)
db.create_collection("b", 2)
db.insert("a", "saved", [1.0, 0.0], id="00000000-0000-4000-8000-000000000001")
db.insert("b", "logged only", [1.0, 0.0], id="00000000-0000-4000-8000-000000000002")
db.save("a")
db.insert("a", "after save", [0.0, 1.0], id="00000000-0000-4000-8000-000000000003")
db.delete_collection("b")
""", tmp_path)
        assert (tmp_path / "a.kvl").exists()
        db = Karvalith(str(tmp_path))
        assert db.list_collections() == ["a"]
        assert db.collection_info("a").document_count == 2
        assert db.get("a", "00000000-0000-4000-8000-000000000003")["text"] == "after save"

    def test_missing_directory_is_created_with_an_empty_log(self, tmp_path):
        target = tmp_path / "x" / "y"
        db = Karvalith(data_dir=str(target))
        assert db.list_collections() == []
        assert (target / "wal.bin").stat().st_size == 0
        assert (target / "wal.bin").stat().st_mode & 0o777 == 0o600

    def test_ephemeral_handle_touches_no_file(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        db = Karvalith()
        db.create_collection("c", 2)
        db.insert("c", "x", [1.0, 2.0])
        assert list(tmp_path.iterdir()) == []


class TestEveryAcknowledgedChangeSurvivesAReopen:
    def test_a_loaded_collection_and_the_inserts_after_it(self, tmp_path):
        data, elsewhere = str(tmp_path / "data"), str(tmp_path / "elsewhere")
        source = Karvalith()
        source.create_collection("c", DIM)
        source.insert("c", "from the file", vector(1), id="00000000-0000-4000-8000-000000000001")
        source.save("c", elsewhere)

        db = Karvalith(data_dir=data)
        db.create_collection("c", DIM)
        db.insert("c", "replaced by the load", vector(2))
        db.load("c", elsewhere)
        db.insert("c", "after the load", vector(3), id="00000000-0000-4000-8000-000000000003")
        del db
        # A new process: nothing but the directory carries the state over.
        out = run_child("""
            import sys
            from karvalith import Karvalith
            db = Karvalith(data_dir=sys.argv[1])
            hits = db.search("c", query_text="file load", k=10)
            print(sorted(h.text for h in hits), db.collection_info("c").document_count)
            db.compact()
        """, data)
        assert out.split("\n")[0] == "['after the load', 'from the file'] 2"
        reopened = Karvalith(data_dir=data)
        assert reopened.get("c", "00000000-0000-4000-8000-000000000001")["text"] == "from the file"
        assert reopened.collection_info("c").document_count == 2
        assert not any(name.endswith(".loading") for name in os.listdir(data))

    def test_a_refused_create_leaves_no_trace(self, tmp_path):
        data = str(tmp_path / "data")
        db = Karvalith(data_dir=data)
        db.create_collection("c", DIM)
        size = os.path.getsize(os.path.join(data, "wal.bin"))
        with pytest.raises(ValueError, match="^Collection 'c' already exists$"):
            db.create_collection("c", DIM + 4)
        with pytest.raises(ValueError):
            db.create_collection("bad", DIM, distance_metric="Cosine")
        assert os.path.getsize(os.path.join(data, "wal.bin")) == size
        doc = db.insert("c", "kept", vector(1))
        del db
        reopened = Karvalith(data_dir=data)
        assert reopened.collection_info("c").dimension == DIM
        assert reopened.get("c", doc)["text"] == "kept"

    def test_refused_documents_log_nothing(self, tmp_path):
        data = str(tmp_path / "data")
        db = Karvalith(data_dir=data)
        db.create_collection("c", DIM)
        doc = db.insert("c", "one", vector(1))
        size = os.path.getsize(os.path.join(data, "wal.bin"))
        for call in (lambda: db.insert("c", "short", vector(1)[:3]),
                     lambda: db.insert("c", "taken", vector(2), id=doc),
                     lambda: db.batch_insert("c", [{"text": "a", "embedding": vector(3), "id": doc}])):
            with pytest.raises(ValueError):
                call()
        assert os.path.getsize(os.path.join(data, "wal.bin")) == size


class TestLock:
    def test_second_handle_on_the_same_directory_is_refused(self, tmp_path):
        db = Karvalith(str(tmp_path))
        with pytest.raises(RuntimeError, match=r"^data directory '.*' is in use by another Karvalith handle"):
            Karvalith(str(tmp_path))
        out = run_child("""
import sys
from karvalith import Karvalith
try:
    Karvalith(sys.argv[1])
except RuntimeError as e:
    print(e)
""", tmp_path)
        assert out.startswith("data directory ") and "in use" in out
        del db
        Karvalith(str(tmp_path))

    def test_the_refusal_has_its_own_class_and_other_open_failures_do_not(self, tmp_path):
        # Callers (the CLI's exit status 4) tell a held directory from other
        # failures by class, not by message.
        db = Karvalith(str(tmp_path / "held"))
        with pytest.raises(karvalith.DirectoryLockedError) as refused:
            Karvalith(str(tmp_path / "held"))
        assert isinstance(refused.value, RuntimeError) and "in use by another Karvalith handle" in str(refused.value)
        assert type(refused.value).__module__ == "karvalith"
        (tmp_path / "file").write_text("x")
        with pytest.raises(RuntimeError) as failed:
            Karvalith(str(tmp_path / "file"))
        assert not isinstance(failed.value, karvalith.DirectoryLockedError)
        db.close()
        Karvalith(str(tmp_path / "held")).close()

    def test_directory_that_is_a_file(self, tmp_path):
        path = tmp_path / "file"
        path.write_text("x")
        with pytest.raises(RuntimeError, match=f"^failed to load snapshots from '{path}': "):
            Karvalith(str(path))


class TestCheckpointMethods:
    def test_ephemeral_save_and_load_need_a_path(self, db4, tmp_path):
        with pytest.raises(ValueError) as err:
            db4.save("c")
        assert err.value.args == (NO_PATH,)
        with pytest.raises(ValueError) as err:
            db4.load("c")
        assert err.value.args == (NO_PATH,)
        with pytest.raises(KeyError) as err:
            db4.save("missing", encryption_key="bad")
        assert err.value.args == ("collection 'missing' not found",)
        with pytest.raises(ValueError) as err:
            db4.compact()
        assert err.value.args == ("compact requires data_dir to be set",)
        assert db4.save("c", str(tmp_path)) is None
        assert (tmp_path / "c.kvl").exists()

    def test_bad_key_text_is_a_value_error(self, db4, tmp_path):
        with pytest.raises(ValueError, match="encryption key must be 64 hex characters"):
            db4.save("c", str(tmp_path), encryption_key="00")
        with pytest.raises(ValueError, match="invalid hex"):
            db4.load("c", str(tmp_path), encryption_key="zz" * 32)
        assert not (tmp_path / "c.kvl").exists()

    def test_load_replaces_the_collection(self, tmp_path):
        db = Karvalith()
        db.create_collection("c", 2)
        db.insert("c", "saved", [1.0, 0.0], id="00000000-0000-4000-8000-000000000001")
        db.save("c", str(tmp_path))
        db.insert("c", "later", [0.0, 1.0])
        db.create_collection("other", 3)
        db.insert("other", "x", [1.0, 2.0, 3.0])
        assert db.load("c", str(tmp_path)) is None
        assert db.collection_info("c").document_count == 1
        assert db.get("c", "00000000-0000-4000-8000-000000000001")["text"] == "saved"
        (tmp_path / "c.kvl").rename(tmp_path / "other.kvl")
        db.load("other", str(tmp_path))
        assert sorted(db.list_collections()) == ["c", "other"]
        assert db.collection_info("other").name == "other"
        assert db.collection_info("other").dimension == 2
        with pytest.raises(RuntimeError, match="^failed to load 'nope': "):
            db.load("nope", str(tmp_path))
        assert sorted(db.list_collections()) == ["c", "other"]

    def test_compact_without_collections_only_empties_the_log(self, tmp_path):
        db = Karvalith(str(tmp_path))
        db.create_collection("c", 2)
        db.delete_collection("c")
        assert (tmp_path / "wal.bin").stat().st_size > 0
        db.compact()
        assert (tmp_path / "wal.bin").stat().st_size == 0
        assert not list(tmp_path.glob("*.kvl"))

    def test_corrupt_snapshot_is_skipped_and_never_overwritten(self, tmp_path):
        (tmp_path / "x.kvl").write_bytes(b"garbage")
        with pytest.warns(RuntimeWarning, match="x.kvl"):
            db = Karvalith(str(tmp_path))
        assert db.list_collections() == []
        db.create_collection("x", 2)
        with pytest.raises(RuntimeError, match="x.kvl"):
            db.save("x")
        with pytest.raises(RuntimeError, match="^save 'x' failed: .*x.kvl"):
            db.compact()
        assert (tmp_path / "x.kvl").read_bytes() == b"garbage"


class TestSealed:
    def test_sealed_snapshots_and_log_need_the_key(self, tmp_path):
        db = Karvalith(str(tmp_path), KEY)
        db.create_collection("c", 2)
        doc_id = db.insert("c", "secret", [1.0, 0.0])
        db.compact()
        db.insert("c", "logged", [0.0, 1.0])
        del db
        assert (tmp_path / "c.kvl").read_bytes()[:4] == b"KCE1"
        assert all(check == 0xFFFFFFFF for check, _ in wal_records(tmp_path / "wal.bin"))
        log = (tmp_path / "wal.bin").read_bytes()

        # No empty database: a missing or wrong key fails the open.
        with pytest.raises(ValueError, match="holds sealed data .* but no encryption key was provided"):
            Karvalith(str(tmp_path))
        with pytest.raises(ValueError, match="the encryption key does not open the sealed data"):
            Karvalith(str(tmp_path), OTHER_KEY)
        assert (tmp_path / "wal.bin").read_bytes() == log

        db = Karvalith(str(tmp_path), KEY)
        assert db.get("c", doc_id)["text"] == "secret"
        assert db.collection_info("c").document_count == 2
        with pytest.raises(RuntimeError, match="^failed to load 'c': decryption failed"):
            db.load("c", encryption_key=OTHER_KEY)
        db.load("c", encryption_key=KEY)
        assert db.collection_info("c").document_count == 1

    def test_load_reads_with_the_key_save_sealed_with(self, tmp_path):
        elsewhere = tmp_path / "elsewhere"
        db = Karvalith(str(tmp_path / "data"), KEY)
        db.create_collection("c", 2)
        doc_id = db.insert("c", "secret", [1.0, 0.0])
        db.save("c", str(elsewhere))
        db.save("c")
        db.insert("c", "later", [0.0, 1.0])
        db.load("c", str(elsewhere))  # the handle's key, as save used
        assert db.list_ids("c") == [doc_id]
        db.insert("c", "again", [0.0, 1.0])
        db.load("c")  # its own data directory too
        assert db.list_ids("c") == [doc_id]
        db.close()
        # The load was logged: the reopened handle has the loaded collection.
        with Karvalith(str(tmp_path / "data"), KEY) as reopened:
            assert reopened.list_ids("c") == [doc_id]
        ephemeral = Karvalith(encryption_key=KEY)
        ephemeral.load("c", str(elsewhere))
        assert ephemeral.get("c", doc_id)["text"] == "secret"
        with pytest.raises(RuntimeError, match="is encrypted but no encryption key was provided"):
            Karvalith().load("c", str(elsewhere))

    def test_ephemeral_key_is_the_default_save_key(self, tmp_path):
        db = Karvalith(encryption_key=KEY)
        db.create_collection("c", 2)
        db.save("c", str(tmp_path))
        assert (tmp_path / "c.kvl").read_bytes()[:4] == b"KCE1"
        db.save("c", str(tmp_path / "other"), encryption_key=OTHER_KEY)
        plain = Karvalith()
        with pytest.raises(RuntimeError, match="is encrypted but no encryption key was provided"):
            plain.load("c", str(tmp_path))
        plain.load("c", str(tmp_path / "other"), OTHER_KEY)


class TestFormatsAgainstIndependentImplementations:
    def fill(self, db):
        db.create_collection("c", 3)
        db.insert("c", "first", [1.0, 2.0, 3.0], {"a": 1}, id="00000000-0000-4000-8000-000000000001")
        db.batch_insert("c", [{"text": "second", "embedding": [3.0, 2.0, 1.0],
                               "id": "00000000-0000-4000-8000-000000000002"}])
        db.delete("c", "00000000-0000-4000-8000-000000000001")

    def test_crc32_and_aes_gcm(self, tmp_path):
        aesgcm = pytest.importorskip("cryptography.hazmat.primitives.ciphers.aead")
        plain_dir, sealed_dir = tmp_path / "plain", tmp_path / "sealed"
        plain, sealed = Karvalith(str(plain_dir)), Karvalith(str(sealed_dir), KEY)
        self.fill(plain)
        self.fill(sealed)
        gcm = aesgcm.AESGCM(bytes.fromhex(KEY))

        plain_log, sealed_log = wal_records(plain_dir / "wal.bin"), wal_records(sealed_dir / "wal.bin")
        assert len(plain_log) == len(sealed_log) == 4
        for (check, payload), (sealed_check, blob) in zip(plain_log, sealed_log):
            assert check == zlib.crc32(payload)
            assert sealed_check == 0xFFFFFFFF and len(blob) == len(payload) + 28
            assert gcm.decrypt(blob[:12], blob[12:], None) == payload

        plain.save("c")
        sealed.save("c")
        data = (plain_dir / "c.kvl").read_bytes()
        assert data[-8:-4] == b"KCR1"
        assert struct.unpack(">I", data[-4:])[0] == zlib.crc32(data[:-8])
        blob = (sealed_dir / "c.kvl").read_bytes()
        assert blob[:4] == b"KCE1"
        payload = gcm.decrypt(blob[4:16], blob[16:], None)
        # Framed here with zlib's CRC, the opened payload loads as a plain snapshot.
        rewrapped = tmp_path / "rewrapped"
        rewrapped.mkdir()
        (rewrapped / "c.kvl").write_bytes(payload + b"KCR1" + struct.pack(">I", zlib.crc32(payload)))
        reader = Karvalith()
        reader.load("c", str(rewrapped))
        assert reader.get("c", "00000000-0000-4000-8000-000000000002")["text"] == "second"
        assert reader.collection_info("c").document_count == 1


CRASH_CHILD = """
import sys
from karvalith import Karvalith
db = Karvalith(sys.argv[1])
if "c" not in db.list_collections():
    db.create_collection("c", 4)
i = 0
while True:
    if i % 7 == 0:
        ids = db.batch_insert("c", [{"text": f"b{i} {j}", "embedding": [1.0, j, i, 2.0]} for j in range(3)])
    else:
        ids = [db.insert("c", f"doc {i}", [float(i), 1.0, 2.0, 3.0])]
    if i % 11 == 5:
        db.compact()
    print(" ".join(ids), flush=True)
    i += 1
"""


def test_sigkill_at_random_moments_loses_no_acknowledged_insert(tmp_path):
    rng = random.Random(20261208)
    acknowledged = []
    for _ in range(10):
        child = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, str(tmp_path)], env=child_env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Killed only once it inserts, however slowly a loaded machine starts it.
        first = child.stdout.readline()
        time.sleep(rng.uniform(0.15, 0.5))
        child.send_signal(signal.SIGKILL)
        out, err = child.communicate(timeout=30)
        assert child.returncode == -signal.SIGKILL, err
        # A line cut short by the kill was never fully acknowledged.
        lines = (first + out).split("\n")[:-1]
        acknowledged += [i for line in lines for i in line.split()]
        db = Karvalith(str(tmp_path))
        missing = []
        for doc_id in acknowledged:
            try:
                db.get("c", doc_id)
            except KeyError:
                missing.append(doc_id)
        assert not missing, f"{len(missing)} acknowledged inserts lost"
        del db
    assert len(acknowledged) > 10


def mapped_snapshots():
    """The snapshot files this process has mapped (blocks read in place)."""
    with open("/proc/self/maps") as maps:
        return sorted({line.split(None, 5)[5].strip() for line in maps
                       if len(line.split(None, 5)) == 6 and ".kvl" in line})


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
class TestReadInPlace:
    def test_a_compacted_collection_is_read_in_place_changed_and_compacted_again(self, tmp_path):
        # 3,000 documents of 384 dimensions: a block array of 1.5 MB, which
        # a plain snapshot maps instead of copying.
        rng = random.Random(3)
        vectors = [[rng.gauss(0, 1) for _ in range(384)] for _ in range(3600)]
        queries = [[rng.gauss(0, 1) for _ in range(384)] for _ in range(20)]

        def dump(db):
            hits = [[(h.id, round(h.score, 5)) for h in db.search("big", query_embedding=q, k=10)]
                    for q in queries]
            return db.collection_info("big").document_count, hits

        db = Karvalith(str(tmp_path))
        db.create_collection("big", 384)
        ids = db.batch_insert("big", [{"text": f"doc {i}", "embedding": vectors[i]} for i in range(3000)])
        db.compact()
        before = dump(db)
        db.close()
        assert mapped_snapshots() == []

        db = Karvalith(str(tmp_path))
        assert mapped_snapshots() == [str(tmp_path / "big.kvl")]
        assert dump(db) == before
        # Changes land in private copies of the mapped pages; compacting
        # renames a new file over the mapped one.
        db.batch_insert("big", [{"text": f"doc {i}", "embedding": vectors[i]} for i in range(3000, 3600)])
        db.delete("big", ids[:100])
        db.compact()
        changed = dump(db)
        assert changed[0] == 3500
        db.close()
        assert mapped_snapshots() == []

        db = Karvalith(str(tmp_path))
        assert dump(db) == changed
        assert db.get("big", ids[100])["text"] == "doc 100"
        with pytest.raises(KeyError):
            db.get("big", ids[0])
        # A snapshot loaded from outside the directory is copied (nothing
        # keeps the caller from rewriting that file), and the collection it
        # replaces lets go of its mapping.
        backup = tmp_path.parent / (tmp_path.name + "-backup")
        db.save("big", str(backup))
        db.load("big", str(backup))
        assert mapped_snapshots() == []
        assert dump(db) == changed
        db.close()
