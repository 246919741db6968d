"""The karvalith command-line tool: look into, check, move data in and out of, and
compact a data directory.

info and verify read the directory through inspect_directory: they take no lock
and open nothing for writing, so they also work beside a program that has the
directory open. The other commands open a normal handle, which takes the
directory's lock.

No command creates or changes anything in a directory that holds no database
(no wal.bin and no snapshot file): a handle opened there would leave LOCK and
wal.bin behind. import alone makes a new database, in a missing or empty
directory, and removes it again when the import fails.

Keys come from --key-file or the KARVALITH_ENCRYPTION_KEY environment variable,
never from the command line, where other users would see them in `ps`.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
import uuid
from typing import IO, Any, Iterator, NoReturn, Optional

from ._karvalith import Karvalith, inspect_directory

KEY_ENVIRONMENT_VARIABLE = "KARVALITH_ENCRYPTION_KEY"

# Exit statuses.
EXIT_OK = 0
EXIT_DAMAGED = 1  # verify found damage, or a command refused a damaged directory
EXIT_USAGE = 2  # bad arguments or bad input data
EXIT_NOT_FOUND = 3  # no such directory, collection or input file
EXIT_LOCKED = 4  # another handle has the directory open
EXIT_KEY = 5  # key missing, malformed or wrong
EXIT_FAILED = 6  # any other failure (I/O errors, ...)
EXIT_NOT_DATABASE = 7  # not a database directory: compact, search, export and import leave it as it is

# The files that make a directory a Karvalith database: its log and its
# snapshots. A LOCK file alone holds no data (an open that failed can leave
# one): it does not make a database, and import treats it as empty.
LOG_FILE = "wal.bin"
LOCK_FILE = "LOCK"
SNAPSHOT_SUFFIX = ".kvl"
SHARDED_MANIFEST = "karvalith-shards.json"

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class CliError(Exception):
    """A failure to report as one line on stderr, with its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def fail(message: str, status: int) -> NoReturn:
    raise CliError(message, status)


# ---- keys -------------------------------------------------------------------


def read_key(args: argparse.Namespace) -> Optional[str]:
    """The key from --key-file, else from the environment, else None."""
    if args.key_file is not None:
        try:
            with open(args.key_file, encoding="utf-8") as handle:
                text = handle.read().strip()
        except OSError as error:
            fail(f"cannot read key file '{args.key_file}': {error.strerror or error}", EXIT_KEY)
        except UnicodeDecodeError:
            fail(f"key file '{args.key_file}' is not text: it must hold 64 hex characters", EXIT_KEY)
        source = f"key file '{args.key_file}'"
    elif os.environ.get(KEY_ENVIRONMENT_VARIABLE):
        text = os.environ[KEY_ENVIRONMENT_VARIABLE].strip()
        source = f"environment variable {KEY_ENVIRONMENT_VARIABLE}"
    else:
        return None
    if len(text) != 64 or any(c not in "0123456789abcdefABCDEF" for c in text):
        fail(f"the {source} must hold 64 hex characters (a 32-byte key), got {len(text)} characters", EXIT_KEY)
    return text


# ---- inspection -------------------------------------------------------------


def inspect(directory: str, key: Optional[str], replay: bool) -> dict[str, Any]:
    try:
        return inspect_directory(directory, key, replay)
    except FileNotFoundError:
        fail(f"data directory '{directory}' does not exist", EXIT_NOT_FOUND)
    except NotADirectoryError:
        fail(f"'{directory}' is not a directory", EXIT_NOT_FOUND)
    except (RuntimeError, OSError) as error:
        fail(f"cannot inspect '{directory}': {error}", EXIT_FAILED)


def key_trouble(report: dict[str, Any], key: Optional[str]) -> Optional[str]:
    """Why the key does not fit the directory, or None when it does."""
    kinds = {problem["kind"] for problem in report["problems"]}
    if "key_missing" in kinds and key is None:
        return (
            "the directory is encrypted: give its key with --key-file FILE "
            f"or the {KEY_ENVIRONMENT_VARIABLE} environment variable"
        )
    if "unauthenticated" in kinds:
        log = report["log"] or {}
        opened = any(s["sealed"] and s["loaded"] for s in report["snapshots"]) or log.get(
            "sealed_records", 0
        ) > 0
        # Damage spoils single files; a wrong key opens none of them.
        if not opened:
            return "wrong encryption key: no encrypted file of the directory opens with it"
    return None


def fatal_problems(report: dict[str, Any]) -> list[dict[str, Any]]:
    return [problem for problem in report["problems"] if problem["fatal"]]


def describe_problem(problem: dict[str, Any]) -> str:
    where = problem["file"]
    if problem["file"] == "wal.bin" or problem["offset"]:
        where += f" @ offset {problem['offset']}"
    return f"{where}: [{problem['kind']}] {problem['message']}"


def preflight(directory: str, key: Optional[str], ignore_damage: bool = False) -> dict[str, Any]:
    """Checks, read-only, that a handle opened on `directory` with `key` would
    see everything the files hold, before the command opens one."""
    report = inspect(directory, key, replay=False)
    trouble = key_trouble(report, key)
    if trouble:
        fail(trouble, EXIT_KEY)
    damage = fatal_problems(report)
    if damage and not ignore_damage:
        lines = [f"'{directory}' has damaged files; run 'karvalith verify {directory}' for details:"]
        lines += ["  " + describe_problem(problem) for problem in damage[:5]]
        if len(damage) > 5:
            lines.append(f"  ... and {len(damage) - 5} more")
        lines.append("(pass --ignore-damage to go on with what an open recovers)")
        fail("\n".join(lines), EXIT_DAMAGED)
    return report


def require_directory(directory: str) -> None:
    if not os.path.exists(directory):
        fail(f"data directory '{directory}' does not exist", EXIT_NOT_FOUND)
    if not os.path.isdir(directory):
        fail(f"'{directory}' is not a directory", EXIT_NOT_FOUND)


def database_entries(directory: str) -> tuple[bool, list[str]]:
    """Whether `directory` holds a database (a log or a snapshot file), and the
    names of its entries."""
    try:
        names = os.listdir(directory)
    except OSError as error:
        fail(f"cannot read '{directory}': {error.strerror or error}", EXIT_FAILED)
    holds = any(
        (name == LOG_FILE or (name.endswith(SNAPSHOT_SUFFIX) and name != SNAPSHOT_SUFFIX))
        and os.path.isfile(os.path.join(directory, name))
        for name in names
    )
    return holds, names


def not_a_database(directory: str, names: list[str]) -> str:
    message = (f"'{directory}' is not a Karvalith data directory "
               f"(it has no {LOG_FILE} and no *{SNAPSHOT_SUFFIX} snapshot)")
    if SHARDED_MANIFEST in names:
        message += "; it holds a sharded collection, whose shards are its shard-NNN directories"
    return message


def require_database(directory: str, status: int) -> None:
    """Fails with `status` unless `directory` holds a database: commands never
    create or change anything in a directory that does not."""
    require_directory(directory)
    holds, names = database_entries(directory)
    if not holds:
        fail(not_a_database(directory, names), status)


def open_handle(directory: str, key: Optional[str]) -> Karvalith:
    try:
        return Karvalith(data_dir=directory, encryption_key=key)
    except RuntimeError as error:
        message = str(error)
        if "in use by another Karvalith handle" in message:
            fail(
                f"data directory '{directory}' is locked: another program has it open "
                "(info and verify work without the lock)",
                EXIT_LOCKED,
            )
        fail(f"cannot open '{directory}': {message}", EXIT_FAILED)
    except ValueError as error:
        fail(str(error), EXIT_KEY)


def require_collection(db: Karvalith, directory: str, collection: str) -> None:
    names = db.list_collections()
    if collection not in names:
        known = ", ".join(sorted(names)) if names else "none"
        fail(f"no collection '{collection}' in '{directory}' (collections: {known})", EXIT_NOT_FOUND)


# ---- output -----------------------------------------------------------------


def human_bytes(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{count} B"


def table(rows: list[list[str]], out: IO[str]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


class Progress:
    """A one-line progress bar on stderr, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, label: str, total: int, enabled: bool) -> None:
        self.label, self.total, self.enabled = label, total, enabled
        self.done = 0
        self.started = time.monotonic()
        self.drawn = 0.0
        self.drawn_done = -1

    def advance(self, count: int) -> None:
        self.done += count
        now = time.monotonic()
        if self.enabled and (now - self.drawn >= 0.1 or self.done >= self.total):
            self.drawn = now
            self.draw(now)

    def draw(self, now: float) -> None:
        self.drawn_done = self.done
        fraction = self.done / self.total if self.total else 1.0
        filled = int(fraction * self.WIDTH)
        rate = self.done / max(now - self.started, 1e-9)
        sys.stderr.write(
            f"\r{self.label} {fraction:4.0%} [{'#' * filled}{'.' * (self.WIDTH - filled)}] "
            f"{self.done}/{self.total} ({rate:,.0f}/s)"
        )
        sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled:
            if self.drawn_done != self.done:
                self.draw(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()


def progress_enabled(args: argparse.Namespace) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    return sys.stderr.isatty()


# ---- info and verify --------------------------------------------------------


def status_of(report: dict[str, Any], key: Optional[str]) -> int:
    if key_trouble(report, key):
        return EXIT_KEY
    return EXIT_DAMAGED if fatal_problems(report) else EXIT_OK


KEY_KINDS = ("key_missing", "unauthenticated")


def print_problems(report: dict[str, Any], key: Optional[str], out: IO[str]) -> None:
    problems = report["problems"]
    trouble = key_trouble(report, key)
    if trouble:
        # Every sealed file fails alike then: one line says it all.
        sealed = [p for p in problems if p["kind"] in KEY_KINDS]
        problems = [p for p in problems if p["kind"] not in KEY_KINDS]
        files = len({p["file"] for p in sealed})
        out.write(f"key: {trouble} ({len(sealed)} sealed items in {files} file{'s' if files != 1 else ''})\n")
    if not problems:
        return
    out.write("problems:\n")
    for problem in problems:
        label = "damaged" if problem["fatal"] else "warning"
        out.write(f"  {label}: {describe_problem(problem)}\n")


def command_info(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_FOUND)
    key = read_key(args)
    report = inspect(args.directory, key, replay=True)
    if args.json:
        json.dump(report, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return status_of(report, key)
    out = sys.stdout
    out.write(f"data directory {report['path']}\n")
    log = report["log"]
    if log is None:
        out.write("log: none\n")
    else:
        sealed = f", {log['sealed_records']} sealed" if log["sealed_records"] else ""
        out.write(
            f"log: wal.bin, {log['size']} bytes ({human_bytes(log['size'])}), "
            f"{log['records']} records pending{sealed}, end: {log['end'].replace('_', ' ')}\n"
        )
    if report["snapshots"]:
        out.write("snapshots:\n")
        rows = [["FILE", "BYTES", "FRAMING", "COLLECTION", "DOCUMENTS"]]
        for snapshot in report["snapshots"]:
            rows.append([
                snapshot["file"],
                str(snapshot["size"]),
                "sealed" if snapshot["sealed"] else "plain",
                snapshot["collection"] if snapshot["loaded"] else "(did not load)",
                str(snapshot["documents"]) if snapshot["loaded"] else "-",
            ])
        table(rows, out)
    else:
        out.write("snapshots: none\n")
    if report["collections"]:
        out.write("collections (snapshots with the log replayed):\n")
        rows = [["NAME", "DIMENSION", "METRIC", "DOCUMENTS", "DELETED SLOTS", "MEMORY", "SNAPSHOT", "PENDING"]]
        for collection in report["collections"]:
            rows.append([
                collection["name"],
                str(collection["dimension"]),
                collection["distance_metric"],
                str(collection["documents"]),
                str(collection["deleted_slots"]),
                human_bytes(collection["estimated_memory_bytes"]),
                collection["snapshot_file"] or "-",
                str(collection["pending_records"]),
            ])
        table(rows, out)
    else:
        out.write("collections: none\n")
    print_problems(report, key, out)
    status = status_of(report, key)
    if status != EXIT_OK:
        out.write(f"run 'karvalith verify {args.directory}' for a full check\n")
    return status


def command_verify(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_FOUND)
    key = read_key(args)
    report = inspect(args.directory, key, replay=not args.no_replay)
    if args.json:
        json.dump(report, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return status_of(report, key)
    out = sys.stdout
    # With a key that does not fit, sealed files are unread rather than damaged.
    unread = key_trouble(report, key) is not None
    bad_files = {p["file"] for p in report["problems"] if p["fatal"] and not (unread and p["kind"] in KEY_KINDS)}
    locked_files = {p["file"] for p in report["problems"] if unread and p["kind"] in KEY_KINDS}

    def mark(name: str) -> str:
        return "DAMAGED" if name in bad_files else "NO KEY " if name in locked_files else "ok     "

    for snapshot in report["snapshots"]:
        framing = "sealed" if snapshot["sealed"] else "plain"
        detail = f"{snapshot['documents']} documents" if snapshot["loaded"] else "did not load"
        out.write(f"{mark(snapshot['file'])} {snapshot['file']} ({snapshot['size']} bytes, {framing}, {detail})\n")
    log = report["log"]
    if log is not None:
        out.write(
            f"{mark('wal.bin')} wal.bin ({log['size']} bytes, {log['records']} readable records, "
            f"end: {log['end'].replace('_', ' ')})\n"
        )
    print_problems(report, key, out)
    status = status_of(report, key)
    fatal = len(fatal_problems(report))
    warnings = len(report["problems"]) - fatal
    if status == EXIT_OK:
        note = f" ({warnings} warning{'s' if warnings != 1 else ''})" if warnings else ""
        replayed = ", log replayed" if report["replayed"] else ""
        out.write(f"sound: every snapshot and log record checked{replayed}{note}\n")
    elif status == EXIT_KEY:
        out.write("not verified: the key does not fit\n")
    else:
        out.write(f"damaged: {fatal} problem{'s' if fatal != 1 else ''} found\n")
    return status


# ---- export and import ------------------------------------------------------


def command_export(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_DATABASE)
    key = read_key(args)
    preflight(args.directory, key, args.ignore_damage)
    db = open_handle(args.directory, key)
    require_collection(db, args.directory, args.collection)
    ids = db.list_ids(args.collection)
    progress = Progress(f"exporting {args.collection}", len(ids), progress_enabled(args))

    def write_all(out: IO[str]) -> None:
        for doc_id in ids:
            try:
                document = db.get(args.collection, doc_id)
                embedding = db.get_embedding(args.collection, doc_id)
            except KeyError:
                continue  # deleted meanwhile (not possible while this handle holds the lock)
            record = {
                "id": document["id"],
                "text": document["text"],
                "metadata": document["metadata"],
                "embedding": embedding,
            }
            out.write(json.dumps(record, ensure_ascii=False))
            out.write("\n")
            progress.advance(1)

    if args.output == "-":
        write_all(sys.stdout)
    else:
        # Written beside the target and renamed over it: a failed export
        # leaves no half-written file.
        temporary = f"{args.output}.tmp-{os.getpid()}"
        try:
            with open(temporary, "w", encoding="utf-8") as out:
                write_all(out)
            os.replace(temporary, args.output)
        except OSError as error:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            fail(f"cannot write '{args.output}': {error.strerror or error}", EXIT_FAILED)
    progress.finish()
    if args.output != "-":
        print(f"exported {len(ids)} documents of '{args.collection}' to {args.output}", file=sys.stderr)
    return EXIT_OK


def check_metadata(metadata: Any, where: str) -> dict[str, Any]:
    if not isinstance(metadata, dict):
        fail(f"{where}: 'metadata' must be an object", EXIT_USAGE)
    for name, value in metadata.items():
        check_unicode(name, f"{where}: a metadata key")
        if isinstance(value, str):
            check_unicode(value, f"{where}: metadata '{name}'")
            continue
        if isinstance(value, bool):
            continue
        if isinstance(value, int):
            if not INT64_MIN <= value <= INT64_MAX:
                fail(f"{where}: metadata '{name}' does not fit a 64-bit integer", EXIT_USAGE)
            continue
        if isinstance(value, float):
            continue  # NaN and infinities too: exports write them as Python's json does
        kind = "null" if value is None else type(value).__name__
        fail(
            f"{where}: metadata '{name}' is {kind}; values must be booleans, integers, numbers or strings",
            EXIT_USAGE,
        )
    return metadata


def check_unicode(text: str, what: str) -> None:
    """JSON escapes can spell lone surrogates, which UTF-8 cannot hold."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        fail(f"{what} is not valid Unicode ({error.reason} at position {error.start})", EXIT_USAGE)


RECORD_KEYS = ("embedding", "id", "text", "metadata")


def parse_record(line: str, where: str, dimension: Optional[int]) -> dict[str, Any]:
    try:
        record = json.loads(line)
    except json.JSONDecodeError as error:
        fail(f"{where}: not valid JSON: {error.msg} (column {error.colno})", EXIT_USAGE)
    if not isinstance(record, dict):
        fail(f"{where}: each line must be a JSON object", EXIT_USAGE)
    unknown = sorted(set(record) - set(RECORD_KEYS))
    if unknown:
        fail(
            f"{where}: unknown key{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
            f"(accepted: {', '.join(RECORD_KEYS)})",
            EXIT_USAGE,
        )
    text = record.get("text", "")
    if not isinstance(text, str):
        fail(f"{where}: 'text' must be a string", EXIT_USAGE)
    check_unicode(text, f"{where}: 'text'")
    embedding = record.get("embedding")
    if not isinstance(embedding, list) or not embedding:
        fail(f"{where}: 'embedding' must be a non-empty list of numbers", EXIT_USAGE)
    for value in embedding:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            fail(f"{where}: 'embedding' must hold finite numbers only", EXIT_USAGE)
    if dimension is not None and len(embedding) != dimension:
        fail(f"{where}: embedding has {len(embedding)} values, the collection's dimension is {dimension}", EXIT_USAGE)
    doc_id = record.get("id")
    if doc_id is not None:
        if not isinstance(doc_id, str):
            fail(f"{where}: 'id' must be a UUID string", EXIT_USAGE)
        try:
            doc_id = str(uuid.UUID(doc_id))
        except ValueError:
            fail(f"{where}: 'id' is not a UUID: {doc_id!r}", EXIT_USAGE)
    metadata = check_metadata(record.get("metadata", {}), where)
    return {"id": doc_id, "text": text, "metadata": metadata, "embedding": embedding}


def read_records(path: str, dimension: Optional[int]) -> Iterator[tuple[str, dict[str, Any]]]:
    """Each non-blank line of `path` as a checked record, with its position."""
    try:
        with open(path, encoding="utf-8") as lines:
            for number, line in enumerate(lines, 1):
                if line.strip():
                    where = f"{path}:{number}"
                    yield where, parse_record(line, where, dimension)
    except FileNotFoundError:
        fail(f"input file '{path}' does not exist", EXIT_NOT_FOUND)
    except UnicodeDecodeError as error:
        fail(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})", EXIT_USAGE)
    except OSError as error:
        fail(f"cannot read '{path}': {error.strerror or error}", EXIT_FAILED)


def command_import(args: argparse.Namespace) -> int:
    key = read_key(args)
    exists = os.path.exists(args.directory)
    if exists and not os.path.isdir(args.directory):
        fail(f"'{args.directory}' is not a directory", EXIT_NOT_FOUND)
    # A new database goes only where nothing else is: a missing or empty
    # directory (a lone LOCK file counts as empty).
    before: set[str] = set()
    new_database = not exists
    if exists:
        holds, names = database_entries(args.directory)
        before = set(names)
        if holds:
            preflight(args.directory, key)
        elif before - {LOCK_FILE}:
            fail(
                f"{not_a_database(args.directory, names)} and is not empty: import creates a database "
                "only in a new or empty directory",
                EXIT_NOT_DATABASE,
            )
        else:
            new_database = True
    if args.dimension is not None and args.dimension < 1:
        fail("--dimension must be at least 1", EXIT_USAGE)

    # Every line is checked before anything is written, so a bad file
    # changes nothing.
    dimension = args.dimension
    total = 0
    seen_ids: dict[str, str] = {}
    for where, record in read_records(args.input, dimension):
        if dimension is None:
            dimension = len(record["embedding"])
        elif len(record["embedding"]) != dimension:
            fail(f"{where}: embedding has {len(record['embedding'])} values, earlier lines have {dimension}",
                 EXIT_USAGE)
        if record["id"] is not None:
            if record["id"] in seen_ids:
                fail(f"{where}: id {record['id']} repeats the one at {seen_ids[record['id']]}", EXIT_USAGE)
            seen_ids[record["id"]] = where
        total += 1
    del seen_ids

    if not new_database:
        return import_records(args, open_handle(args.directory, key), dimension, total, new_database=False)
    # A failed import into a new database removes what it created: a rerun
    # then starts from nothing rather than from a part of the input.
    created = make_directories(args.directory)
    db: Optional[Karvalith] = None
    try:
        db = open_handle(args.directory, key)
        return import_records(args, db, dimension, total, new_database=True)
    except BaseException:
        remove_new_database(db, args.directory, before, created)
        raise


def make_directories(directory: str) -> list[str]:
    """Creates `directory` and its missing parents; returns those it created, deepest first."""
    missing = []
    current = os.path.abspath(directory)
    while not os.path.exists(current):
        missing.append(current)
        parent = os.path.dirname(current)
        if parent == current:
            break
        current = parent
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        fail(f"cannot create '{directory}': {error.strerror or error}", EXIT_FAILED)
    return missing


def remove_new_database(db: Optional[Karvalith], directory: str, before: set[str], created: list[str]) -> None:
    """Closes `db` and removes the database files and directories that an
    import into a new database created. Without a handle (the open failed,
    perhaps because another program got there first) no file is ours to remove."""
    names = []
    if db is not None:
        db.close()
        try:
            names = os.listdir(directory)
        except OSError:
            pass
    for name in names:
        ours = (name in (LOG_FILE, LOCK_FILE) or name.startswith(LOG_FILE + ".")
                or name.endswith(SNAPSHOT_SUFFIX) or name.endswith(SNAPSHOT_SUFFIX + ".tmp"))
        if ours and name not in before:
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass
    for path in created:
        try:
            os.rmdir(path)
        except OSError:
            break


def import_records(args: argparse.Namespace, db: Karvalith, dimension: Optional[int], total: int,
                   new_database: bool) -> int:
    if args.collection in db.list_collections():
        existing = db.collection_info(args.collection).dimension
        if dimension is not None and existing != dimension:
            fail(
                f"collection '{args.collection}' has dimension {existing}, the input has {dimension}",
                EXIT_USAGE,
            )
        dimension = existing
        metric = db.collection_info(args.collection).distance_metric
        if args.metric is not None and args.metric != metric:
            fail(f"collection '{args.collection}' uses the {metric} metric, not {args.metric}", EXIT_USAGE)
    else:
        if dimension is None:
            fail("the input holds no documents: pass --dimension to create an empty collection", EXIT_USAGE)
        try:
            db.create_collection(args.collection, dimension, distance_metric=args.metric or "cosine")
        except ValueError as error:
            fail(str(error), EXIT_USAGE)

    progress = Progress(f"importing into {args.collection}", total, progress_enabled(args))
    imported = 0
    batch: list[dict[str, Any]] = []

    def flush() -> None:
        nonlocal imported
        if not batch:
            return
        fresh = []
        for document in batch:
            if document["id"] is not None and is_live(db, args.collection, document["id"]):
                db.upsert(args.collection, document["id"], document["text"], document["embedding"],
                          document["metadata"])
                imported += 1
                progress.advance(1)
            else:
                entry = dict(document)
                if entry["id"] is None:
                    del entry["id"]  # the database picks a fresh one
                fresh.append(entry)
        if fresh:
            db.batch_insert(args.collection, fresh)
            imported += len(fresh)
            progress.advance(len(fresh))
        batch.clear()

    try:
        for _, record in read_records(args.input, dimension):
            batch.append(record)
            if len(batch) >= args.batch_size:
                flush()
        flush()
    except (ValueError, RuntimeError) as error:
        progress.finish()
        kept = "the new database was removed" if new_database else "those stay imported"
        fail(
            f"import stopped after {imported} of {total} documents ({kept}): {error}",
            EXIT_USAGE if isinstance(error, ValueError) else EXIT_FAILED,
        )
    progress.finish()
    print(f"imported {imported} documents into '{args.collection}'", file=sys.stderr)
    return EXIT_OK


def is_live(db: Karvalith, collection: str, doc_id: str) -> bool:
    try:
        db.get(collection, doc_id)
    except KeyError:
        return False
    return True


# ---- compact and search -----------------------------------------------------


def command_compact(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_DATABASE)
    key = read_key(args)
    report = preflight(args.directory, key)
    db = open_handle(args.directory, key)
    try:
        db.compact()
    except RuntimeError as error:
        fail(f"compact failed: {error}", EXIT_FAILED)
    before = (report["log"] or {}).get("size", 0)
    try:
        after = os.path.getsize(os.path.join(args.directory, "wal.bin"))
    except OSError:
        after = 0
    collections = db.list_collections()
    print(
        f"compacted '{args.directory}': {len(collections)} collection{'s' if len(collections) != 1 else ''} "
        f"in snapshots, log {before} -> {after} bytes"
    )
    return EXIT_OK


def command_search(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_DATABASE)
    if args.k < 1:
        fail("--k must be at least 1", EXIT_USAGE)
    key = read_key(args)
    preflight(args.directory, key, args.ignore_damage)
    db = open_handle(args.directory, key)
    require_collection(db, args.directory, args.collection)
    results = db.search(args.collection, query_text=args.text, k=args.k)
    if args.json:
        json.dump(
            [{"id": r.id, "score": r.score, "text": r.text, "metadata": r.metadata} for r in results],
            sys.stdout,
            indent=2,
            ensure_ascii=False,
        )
        sys.stdout.write("\n")
        return EXIT_OK
    if not results:
        print("no documents match")
        return EXIT_OK
    for rank, result in enumerate(results, 1):
        text = " ".join(result.text.split())
        if len(text) > 100:
            text = text[:97] + "..."
        print(f"{rank:>3}. {result.score:8.4f}  {result.id}  {text}")
        if result.metadata:
            print(f"     {json.dumps(result.metadata, ensure_ascii=False, sort_keys=True)}")
    return EXIT_OK


# ---- arguments --------------------------------------------------------------


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    # No abbreviated options: "--key KEY" must not pass as "--key-file KEY".
    parser = argparse.ArgumentParser(
        prog="karvalith",
        allow_abbrev=False,
        description="Look into, check, export, import, compact and search Karvalith data directories.",
        epilog=(
            f"Encrypted directories: pass --key-file FILE or set {KEY_ENVIRONMENT_VARIABLE} "
            "(64 hex characters). Exit status: 0 ok, 1 damaged data, 2 bad usage or input, "
            "3 not found (info and verify: also a directory that holds no database), 4 directory locked, "
            "5 key missing or wrong, 6 other failure, 7 not a Karvalith data directory (compact, search, "
            "export; import into a directory that is neither empty nor a database): nothing is created "
            "or changed in it."
        ),
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keyed = argparse.ArgumentParser(add_help=False)
    keyed.add_argument(
        "--key-file", metavar="FILE",
        help=f"file holding the encryption key (default: ${KEY_ENVIRONMENT_VARIABLE}, if set)",
    )
    progress = argparse.ArgumentParser(add_help=False)
    progress.add_argument("--progress", dest="progress", action="store_true", default=None,
                          help="always show a progress bar on stderr (default: when stderr is a terminal)")
    progress.add_argument("--no-progress", dest="progress", action="store_false", help="never show one")
    damaged = argparse.ArgumentParser(add_help=False)
    damaged.add_argument("--ignore-damage", action="store_true",
                         help="go on when files are damaged, with whatever an open recovers")

    info = commands.add_parser(
        "info", allow_abbrev=False, parents=[keyed], help="collections, snapshot files and log of a directory (read-only)",
        description="Show the collections (with the log replayed in memory), snapshot files and log of a "
                    "data directory. Reads only: takes no lock and writes nothing.",
    )
    info.add_argument("directory", metavar="DIR")
    info.add_argument("--json", action="store_true", help="print the full report as JSON")
    info.set_defaults(run=command_info)

    verify = commands.add_parser(
        "verify", allow_abbrev=False, parents=[keyed], help="check every snapshot and log record (read-only)",
        description="Read every snapshot and every log record, check framing, checksums and seals, and "
                    "replay the log in memory; report each problem with its file and offset. Exit status 0 "
                    "only when all is sound. Reads only: takes no lock and writes nothing.",
    )
    verify.add_argument("directory", metavar="DIR")
    verify.add_argument("--no-replay", action="store_true", help="check the log records without applying them")
    verify.add_argument("--json", action="store_true", help="print the full report as JSON")
    verify.set_defaults(run=command_verify)

    export = commands.add_parser(
        "export", allow_abbrev=False, parents=[keyed, progress, damaged], help="write a collection as JSON lines",
        description="Write every document of COLLECTION to OUT as one JSON object per line: id, text, "
                    "metadata, embedding ('-' writes to stdout). Embeddings of collections without raw "
                    "vectors are the stored 8-bit codes decoded.",
    )
    export.add_argument("directory", metavar="DIR")
    export.add_argument("collection", metavar="COLLECTION")
    export.add_argument("output", metavar="OUT.jsonl")
    export.set_defaults(run=command_export)

    imports = commands.add_parser(
        "import", allow_abbrev=False, parents=[keyed, progress], help="add JSON lines to a collection",
        description="Add the documents of IN (one JSON object per line: embedding, and optionally id, "
                    "text, metadata) to COLLECTION, creating the collection and the directory when "
                    "missing. A line whose id is already live replaces that document. Every line is "
                    "checked before anything is written. DIR must hold a database, or be missing or "
                    "empty: then a new database is made, and removed again if the import fails.",
    )
    imports.add_argument("directory", metavar="DIR")
    imports.add_argument("collection", metavar="COLLECTION")
    imports.add_argument("input", metavar="IN.jsonl")
    imports.add_argument("--dimension", type=positive_int, metavar="D",
                         help="dimension of a new collection (default: the first embedding's length)")
    imports.add_argument("--metric", choices=["cosine", "euclidean", "dot_product"],
                         help="distance metric of a new collection (default: cosine)")
    imports.add_argument("--batch-size", type=positive_int, default=1000, metavar="N",
                         help="documents per log record (default: 1000)")
    imports.set_defaults(run=command_import)

    compact = commands.add_parser(
        "compact", allow_abbrev=False, parents=[keyed], help="write every collection to its snapshot and empty the log",
        description="Write a snapshot of every collection and empty the log.",
    )
    compact.add_argument("directory", metavar="DIR")
    compact.set_defaults(run=command_compact)

    search = commands.add_parser(
        "search", allow_abbrev=False, parents=[keyed, damaged], help="keyword search in a collection",
        description="Keyword (BM25) search of COLLECTION for TEXT.",
    )
    search.add_argument("directory", metavar="DIR")
    search.add_argument("collection", metavar="COLLECTION")
    search.add_argument("--text", required=True, help="the query")
    search.add_argument("--k", type=positive_int, default=10, help="number of results (default: 10)")
    search.add_argument("--json", action="store_true", help="print the results as JSON")
    search.set_defaults(run=command_search)
    return parser


def package_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        return "unknown"
    try:
        return version("karvalith")
    except PackageNotFoundError:
        return "(not installed)"


def main(argv: Optional[list[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CliError as error:
        sys.stdout.flush()
        print(f"karvalith {args.command}: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print(f"karvalith {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing more to say.
        try:
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - keeps the exit flush quiet
        except OSError:
            pass
        return EXIT_OK


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
