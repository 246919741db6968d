"""karvalith search: keyword search in a collection."""

from __future__ import annotations

import argparse
import json
import sys

from ._directory import open_handle, require_collection, require_database
from ._errors import EXIT_NOT_DATABASE, EXIT_OK, EXIT_USAGE, fail
from ._inspection import preflight
from ._keys import read_key


def run(args: argparse.Namespace) -> int:
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
