"""karvalith verify: every snapshot and log record checked, read-only like info."""

from __future__ import annotations

import argparse
import json
import sys

from ._directory import require_database
from ._errors import EXIT_KEY, EXIT_NOT_FOUND, EXIT_OK
from ._inspection import KEY_KINDS, fatal_problems, inspect, key_trouble, print_problems, status_of
from ._keys import read_key


def run(args: argparse.Namespace) -> int:
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
