"""karvalith info: the collections, snapshot files and log of a directory.

It reads the directory through inspect_directory: it takes no lock and opens
nothing for writing, so it also works beside a program that has it open."""

from __future__ import annotations

import argparse
import json
import sys

from ._directory import require_database
from ._errors import EXIT_NOT_FOUND, EXIT_OK
from ._inspection import inspect, print_problems, status_of
from ._keys import read_key
from ._output import human_bytes, table


def run(args: argparse.Namespace) -> int:
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
