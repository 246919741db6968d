"""Exit statuses and the one way a command fails: CliError, one line on stderr."""

from __future__ import annotations

from typing import NoReturn


# Exit statuses.
EXIT_OK = 0
EXIT_DAMAGED = 1  # verify found damage, or a command refused a damaged directory
EXIT_USAGE = 2  # bad arguments or bad input data
EXIT_NOT_FOUND = 3  # no such directory, collection or input file
EXIT_LOCKED = 4  # another handle has the directory open
EXIT_KEY = 5  # key missing, malformed or wrong
EXIT_FAILED = 6  # any other failure (I/O errors, ...)
EXIT_NOT_DATABASE = 7  # not a database directory: compact, search, export and import leave it as it is


class CliError(Exception):
    """A failure to report as one line on stderr, with its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status



def fail(message: str, status: int) -> NoReturn:
    raise CliError(message, status)
