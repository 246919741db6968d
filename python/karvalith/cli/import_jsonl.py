"""karvalith import: JSON lines into a collection.

Only import makes a new database, in a missing or empty directory, and it
removes that database again when the import fails."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Optional

from .._karvalith import Karvalith
from ._directory import LOCK_FILE, LOG_FILE, SNAPSHOT_SUFFIX, database_entries, not_a_database, open_handle
from ._errors import EXIT_FAILED, EXIT_NOT_DATABASE, EXIT_NOT_FOUND, EXIT_OK, EXIT_USAGE, fail
from ._inspection import preflight
from ._keys import read_key
from ._output import Progress, progress_enabled
from ._records import read_records


def run(args: argparse.Namespace) -> int:
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
