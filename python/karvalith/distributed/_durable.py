"""Small JSON files that must survive a crash whole: the manifest and a
shard's journal of documents in transit."""

from __future__ import annotations

import json
import os
from typing import Any


def write_json_atomically(path: str, value: Any) -> None:
    """Replaces `path` with `value` as JSON, whole or not at all: written to a
    temporary file, synced, renamed into place, and the directory synced so
    the rename itself survives a power loss."""
    temporary = path + ".tmp"
    with open(temporary, "w") as out:
        json.dump(value, out)
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, path)
    if hasattr(os, "O_DIRECTORY"):
        directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
