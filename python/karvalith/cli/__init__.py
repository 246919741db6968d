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

import os
import sys
from typing import Optional

from .._karvalith import Karvalith
from ._errors import EXIT_OK, CliError
from ._parser import build_parser

# Karvalith: the handle class every command opens (see _directory.open_handle).
__all__ = ["Karvalith", "main"]


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
