"""Smoke test of an installed wheel: every public entry once, with only the
standard library (the bare environment has no numpy and no pytest).

    python smoke.py            # exits 0 when every check passed
"""

from __future__ import annotations

import array
import importlib.metadata
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import karvalith
from karvalith import CollectionInfo, Karvalith, SearchResult
from karvalith._karvalith import filter_fields, fuse, inspect_directory

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
checks = 0


def check(condition: bool, what: str) -> None:
    global checks
    if not condition:
        raise AssertionError(what)
    checks += 1


def ids(results: list[SearchResult]) -> list[str]:
    return [r.id for r in results]


def fill(db: Karvalith) -> dict[str, str]:
    db.create_collection("fruit", 3, distance_metric="cosine")
    named = {
        "apple": db.insert("fruit", "red apple from the orchard", [1.0, 0.0, 0.0], {"colour": "red", "year": 2020}),
        "pear": db.insert("fruit", "green pear, soft and sweet", array.array("f", [0.0, 1.0, 0.0]),
                          {"colour": "green", "year": 2022}),
    }
    more = db.batch_insert("fruit", [
        {"text": "yellow banana", "embedding": (0.0, 0.0, 1.0), "metadata": {"colour": "yellow", "year": 2024}},
        {"text": "red cherry and red apple", "embedding": [0.9, 0.1, 0.0], "metadata": {"colour": "red"}},
    ])
    named["banana"], named["cherry"] = more
    return named


def handle_and_search() -> None:
    db = Karvalith()
    named = fill(db)
    info = db.collection_info("fruit")
    check(isinstance(info, CollectionInfo) and info.document_count == 4 and info.dimension == 3, "collection_info")
    check(db.list_collections() == ["fruit"], "list_collections")

    vector = db.search("fruit", query_embedding=[1.0, 0.0, 0.0], k=2)
    check(ids(vector) == [named["apple"], named["cherry"]], f"vector search: {vector}")
    check(abs(vector[0].score - 1.0) < 1e-3, "cosine score of an identical vector")
    keyword = db.search("fruit", query_text="banana", k=3)
    check(ids(keyword) == [named["banana"]], f"keyword search: {keyword}")
    for method in ("rrf", "linear"):
        hybrid = db.search("fruit", query_embedding=[1.0, 0.0, 0.0], query_text="cherry", k=2, fusion_method=method)
        check(set(ids(hybrid)) == {named["apple"], named["cherry"]}, f"{method} hybrid search: {hybrid}")
    filtered = db.search("fruit", query_embedding=[1.0, 0.0, 0.0], k=4,
                         filter={"must": [{"field": "year", "op": "gte", "value": 2022}],
                                 "must_not": [{"field": "colour", "op": "eq", "value": "yellow"}]})
    check(ids(filtered) == [named["pear"]], f"filtered search: {filtered}")
    batches = db.batch_search("fruit", [array.array("d", [0.0, 1.0, 0.0]), [0.0, 0.0, 1.0]], k=1, num_threads=2)
    check([ids(b) for b in batches] == [[named["pear"]], [named["banana"]]], "batch_search")
    check(ids(db.batch_search("fruit", query_texts=["pear", "banana"], k=1)[1]) == [named["banana"]],
          "keyword batch_search")

    operator_form = {"$or": [{"colour": "yellow"}, {"year": {"$lt": 2021}}]}
    check(sorted(ids(db.search("fruit", query_embedding=[1.0, 0.0, 0.0], k=4, filter=operator_form)))
          == sorted([named["apple"], named["banana"]]), "operator-form filter")
    check(filter_fields(operator_form) == ["colour", "year"], "filter_fields")
    check(db.count("fruit") == 4 and db.count("fruit", {"colour": "red"}) == 2, "count")
    check([d["text"] for d in db.get("fruit", [named["pear"], named["apple"]])]
          == ["green pear, soft and sweet", "red apple from the orchard"], "get of several ids")
    check([d["id"] for d in db.get("fruit", filter={"colour": "red"}, limit=1)] == [named["apple"]], "get by filter")
    db.create_collection("fruit", 3, distance_metric="cosine", exist_ok=True)

    db.upsert("fruit", named["pear"], "ripe pear", [0.0, 1.0, 0.0], {"colour": "green"})
    db.update_metadata("fruit", named["pear"], {"colour": "brown"})
    got = db.get("fruit", named["pear"])
    check(got["text"] == "ripe pear" and got["metadata"] == {"colour": "brown"}, f"get after upsert: {got}")
    check(len(db.get_embedding("fruit", named["pear"])) == 3, "get_embedding")
    check(db.delete("fruit", named["banana"]) and named["banana"] not in db.list_ids("fruit"), "delete")
    check(db.rebuild("fruit", num_threads=1) >= 0 and db.total_memory_bytes() > 0, "rebuild, memory")
    check(fuse([(1, 0.1), (2, 0.2)], [(2, 3.0)], k=2)[0][0] == 2, "fuse")
    try:
        db.insert("fruit", "too short", [1.0, 0.0], None)
    except ValueError as error:
        check("dimension" in str(error), f"dimension message: {error}")
    else:
        check(False, "a short embedding was accepted")
    check(db.delete("fruit", [named["apple"], named["apple"]]) == 1, "delete of several ids")
    check(db.delete_where("fruit", {"colour": "red"}) == 1 and db.count("fruit") == 1, "delete_where")
    check(db.delete_collection("fruit") and db.list_collections() == [], "delete_collection")


def tokenizer_uses_unicode_data() -> None:
    # Lower-casing and letter/number classes come from ICU: a wheel whose ICU
    # data lacked something the tokenizer needs would change these terms.
    db = Karvalith()
    db.create_collection("words", 2)
    text = "\u03a3\u039f\u03a6\u039f\u03a3 \u00c5NGSTR\u00d6M \u216b \u2460\u2461 \u01c5emal STRASSE"
    db.insert("words", text, [1.0, 0.0])
    terms = set(db.keyword_statistics("words", text)["document_frequencies"])
    expected = {"\u03c3\u03bf\u03c6\u03bf\u03c2",  # final sigma
                "\u00e5ngstr\u00f6m", "\u217b", "\u2460\u2461", "\u01c6emal", "strasse"}
    check(terms == expected, f"tokens {sorted(terms)} != {sorted(expected)}")


def persistence_with_sealing(root: Path) -> None:
    data = root / "sealed"
    with Karvalith(data_dir=str(data), encryption_key=KEY) as db:
        named = fill(db)
        db.compact()
        db.delete("fruit", named["pear"])  # in the log only, replayed on open
        db.save("fruit", str(root / "fruit.snapshot"), encryption_key=KEY)
    check(b"orchard" not in b"".join(p.read_bytes() for p in data.iterdir() if p.is_file()),
          "sealed files hold plain text")
    with Karvalith(data_dir=str(data), encryption_key=KEY) as db:
        check(db.status()["read_only"] is None and db.status()["issues"] == [], f"clean reopen: {db.status()}")
        check(sorted(db.list_ids("fruit")) == sorted(v for k, v in named.items() if k != "pear"), "recovered ids")
    try:
        Karvalith(data_dir=str(data), encryption_key="11" * 32)
    except Exception as error:  # wrong key: refused, nothing opened
        check("key" in str(error).lower() or "authentic" in str(error).lower(), f"wrong-key message: {error}")
    else:
        check(False, "a wrong key opened sealed files")
    report = inspect_directory(str(data), encryption_key=KEY)
    check("fruit" in str(report), "inspect_directory")
    other = Karvalith()
    other.load("fruit", str(root / "fruit.snapshot"), encryption_key=KEY)
    check(other.collection_info("fruit").document_count == 3, "load of a saved snapshot")


def command_line(root: Path) -> None:
    data = root / "cli"
    with Karvalith(data_dir=str(data)) as db:
        fill(db)
    script = Path(sys.executable).parent / "karvalith"
    for command in ([str(script)], [sys.executable, "-m", "karvalith"]):
        run = subprocess.run(command + ["search", str(data), "fruit", "--text", "banana", "--k", "1"],
                             capture_output=True, text=True)
        check(run.returncode == 0 and "yellow banana" in run.stdout, f"{command} search: {run}")
    run = subprocess.run([str(script), "verify", str(data)], capture_output=True, text=True)
    check(run.returncode == 0, f"verify: {run}")
    run = subprocess.run([str(script), "info", str(root / "missing")], capture_output=True, text=True)
    check(run.returncode == 3, f"info of a missing directory: {run}")


def optional_extras(root: Path) -> None:
    for module, extra in (("langchain", "langchain"), ("llama_index", "llama-index")):
        try:
            __import__(f"karvalith.{module}")
        except ImportError as error:
            check(f"karvalith[{extra}]" in str(error), f"{module} message: {error}")
    from karvalith.distributed import ShardedCollection

    with ShardedCollection.create("notes", 3, shards=2, data_dir=str(root / "shards"), in_process=True) as notes:
        notes.batch_insert([{"text": f"note {i}", "embedding": [1.0, float(i), 0.0]} for i in range(6)])
        check(len(notes.search(query_text="note", k=10)) == 6, "sharded keyword search")


def main() -> int:
    warnings.simplefilter("error")
    check(karvalith.__version__ == importlib.metadata.version("karvalith"), "__version__")
    handle_and_search()
    tokenizer_uses_unicode_data()
    with tempfile.TemporaryDirectory() as scratch:
        persistence_with_sealing(Path(scratch))
        command_line(Path(scratch))
        optional_extras(Path(scratch))
    print(f"wheel smoke test: {checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
