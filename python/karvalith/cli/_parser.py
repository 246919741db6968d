"""The command line: one subcommand per command module."""

from __future__ import annotations

import argparse
from typing import Callable

from .compact import run as run_compact
from .export import run as run_export
from .import_jsonl import run as run_import
from .info import run as run_info
from .search import run as run_search
from .verify import run as run_verify
from ._keys import KEY_ENVIRONMENT_VARIABLE


def int_at_least(minimum: int) -> Callable[[str], int]:
    """An argparse type: an integer no smaller than `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        return value

    return parse


non_negative_int = int_at_least(0)
positive_int = int_at_least(1)


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
    info.set_defaults(run=run_info)

    verify = commands.add_parser(
        "verify", allow_abbrev=False, parents=[keyed], help="check every snapshot and log record (read-only)",
        description="Read every snapshot and every log record, check framing, checksums and seals, and "
                    "replay the log in memory; report each problem with its file and offset. Exit status 0 "
                    "only when all is sound. Reads only: takes no lock and writes nothing.",
    )
    verify.add_argument("directory", metavar="DIR")
    verify.add_argument("--no-replay", action="store_true", help="check the log records without applying them")
    verify.add_argument("--json", action="store_true", help="print the full report as JSON")
    verify.set_defaults(run=run_verify)

    export = commands.add_parser(
        "export", allow_abbrev=False, parents=[keyed, progress, damaged], help="write a collection as JSON lines",
        description="Write every document of COLLECTION to OUT as one JSON object per line: id, text, "
                    "metadata, embedding ('-' writes to stdout). Embeddings of collections without raw "
                    "vectors are the stored 8-bit codes decoded.",
    )
    export.add_argument("directory", metavar="DIR")
    export.add_argument("collection", metavar="COLLECTION")
    export.add_argument("output", metavar="OUT.jsonl")
    export.set_defaults(run=run_export)

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
    imports.add_argument("--dimension", type=non_negative_int, metavar="D",
                         help="dimension of a new collection (default: the first embedding's length; "
                              "0, or documents without embeddings, make a keyword-only one)")
    imports.add_argument("--metric", choices=["cosine", "euclidean", "dot_product"],
                         help="distance metric of a new collection (default: cosine)")
    imports.add_argument("--batch-size", type=positive_int, default=1000, metavar="N",
                         help="documents per log record (default: 1000)")
    imports.set_defaults(run=run_import)

    compact = commands.add_parser(
        "compact", allow_abbrev=False, parents=[keyed], help="write every collection to its snapshot and empty the log",
        description="Write a snapshot of every collection and empty the log.",
    )
    compact.add_argument("directory", metavar="DIR")
    compact.set_defaults(run=run_compact)

    search = commands.add_parser(
        "search", allow_abbrev=False, parents=[keyed, damaged], help="keyword search in a collection",
        description="Keyword (BM25) search of COLLECTION for TEXT.",
    )
    search.add_argument("directory", metavar="DIR")
    search.add_argument("collection", metavar="COLLECTION")
    search.add_argument("--text", required=True, help="the query")
    search.add_argument("--k", type=positive_int, default=10, help="number of results (default: 10)")
    search.add_argument("--json", action="store_true", help="print the results as JSON")
    search.set_defaults(run=run_search)
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
