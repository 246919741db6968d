"""karvalith compact: every collection into its snapshot, the log emptied."""

from __future__ import annotations

import argparse

from ._directory import open_handle, require_database
from ._errors import EXIT_FAILED, EXIT_NOT_DATABASE, EXIT_OK, fail
from ._inspection import preflight
from ._keys import read_key


def run(args: argparse.Namespace) -> int:
    require_database(args.directory, EXIT_NOT_DATABASE)
    key = read_key(args)
    report = preflight(args.directory, key)
    db = open_handle(args.directory, key)
    try:
        db.compact()
    except RuntimeError as error:
        fail(f"compact failed: {error}", EXIT_FAILED)
    before = (report["log"] or {}).get("size", 0)
    after = db.status()["log_bytes"]
    collections = db.list_collections()
    print(
        f"compacted '{args.directory}': {len(collections)} collection{'s' if len(collections) != 1 else ''} "
        f"in snapshots, log {before} -> {after} bytes"
    )
    return EXIT_OK
