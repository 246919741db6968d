"""karvalith export: a collection as JSON lines."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import IO

from ._directory import open_handle, require_collection, require_database
from ._errors import EXIT_FAILED, EXIT_NOT_DATABASE, EXIT_OK, fail
from ._inspection import preflight
from ._keys import read_key
from ._output import Progress, progress_enabled


def run(args: argparse.Namespace) -> int:
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
