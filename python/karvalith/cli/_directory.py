"""What makes a directory a database, and opening a handle on one.

No command creates or changes anything in a directory that holds no database
(no wal.bin and no snapshot file): a handle opened there would leave LOCK and
wal.bin behind.
"""

from __future__ import annotations

import os
from typing import Optional

from .._karvalith import Karvalith
from .._karvalith import _DirectoryLockedError as DirectoryLockedError
from ._errors import EXIT_FAILED, EXIT_KEY, EXIT_LOCKED, EXIT_NOT_FOUND, fail


# The files that make a directory a Karvalith database: its log and its
# snapshots. A LOCK file alone holds no data (an open that failed can leave
# one): it does not make a database, and import treats it as empty.
# The files that make a directory a Karvalith database: its log and its
# snapshots. A LOCK file alone holds no data (an open that failed can leave
# one): it does not make a database, and import treats it as empty.
LOG_FILE = "wal.bin"



LOCK_FILE = "LOCK"

SNAPSHOT_SUFFIX = ".kvl"

SHARDED_MANIFEST = "karvalith-shards.json"


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
    # The class is the package's Karvalith, looked up at each call, so that
    # replacing it there (with a wrapper that injects faults, say) reaches
    # every command.
    from . import Karvalith as handle_class

    try:
        return handle_class(data_dir=directory, encryption_key=key)
    except DirectoryLockedError:
        fail(
            f"data directory '{directory}' is locked: another program has it open "
            "(info and verify work without the lock)",
            EXIT_LOCKED,
        )
    except RuntimeError as error:
        fail(f"cannot open '{directory}': {error}", EXIT_FAILED)
    except ValueError as error:
        fail(str(error), EXIT_KEY)


def require_collection(db: Karvalith, directory: str, collection: str) -> None:
    names = db.list_collections()
    if collection not in names:
        known = ", ".join(sorted(names)) if names else "none"
        fail(f"no collection '{collection}' in '{directory}' (collections: {known})", EXIT_NOT_FOUND)
