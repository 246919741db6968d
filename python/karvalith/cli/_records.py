"""The JSON lines import reads, each checked before anything is written, so a
bad file changes nothing."""

from __future__ import annotations

import json
import math
import uuid
from typing import Any, Iterator, Optional

from ._errors import EXIT_FAILED, EXIT_NOT_FOUND, EXIT_USAGE, fail


INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1



def check_metadata(metadata: Any, where: str) -> dict[str, Any]:
    if not isinstance(metadata, dict):
        fail(f"{where}: 'metadata' must be an object", EXIT_USAGE)
    for name, value in metadata.items():
        check_unicode(name, f"{where}: a metadata key")
        if isinstance(value, str):
            check_unicode(value, f"{where}: metadata '{name}'")
            continue
        if isinstance(value, bool):
            continue
        if isinstance(value, int):
            if not INT64_MIN <= value <= INT64_MAX:
                fail(f"{where}: metadata '{name}' does not fit a 64-bit integer", EXIT_USAGE)
            continue
        if isinstance(value, float):
            continue  # NaN and infinities too: exports write them as Python's json does
        kind = "null" if value is None else type(value).__name__
        fail(
            f"{where}: metadata '{name}' is {kind}; values must be booleans, integers, numbers or strings",
            EXIT_USAGE,
        )
    return metadata



def check_unicode(text: str, what: str) -> None:
    """JSON escapes can spell lone surrogates, which UTF-8 cannot hold."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        fail(f"{what} is not valid Unicode ({error.reason} at position {error.start})", EXIT_USAGE)



RECORD_KEYS = ("embedding", "id", "text", "metadata")



def parse_record(line: str, where: str, dimension: Optional[int]) -> dict[str, Any]:
    try:
        record = json.loads(line)
    except json.JSONDecodeError as error:
        fail(f"{where}: not valid JSON: {error.msg} (column {error.colno})", EXIT_USAGE)
    if not isinstance(record, dict):
        fail(f"{where}: each line must be a JSON object", EXIT_USAGE)
    unknown = sorted(set(record) - set(RECORD_KEYS))
    if unknown:
        fail(
            f"{where}: unknown key{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
            f"(accepted: {', '.join(RECORD_KEYS)})",
            EXIT_USAGE,
        )
    text = record.get("text", "")
    if not isinstance(text, str):
        fail(f"{where}: 'text' must be a string", EXIT_USAGE)
    check_unicode(text, f"{where}: 'text'")
    # Empty or left out: a document of a keyword-only collection (dimension 0).
    embedding = record.get("embedding", [])
    if not isinstance(embedding, list):
        fail(f"{where}: 'embedding' must be a list of numbers", EXIT_USAGE)
    for value in embedding:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            fail(f"{where}: 'embedding' must hold finite numbers only", EXIT_USAGE)
    if dimension is not None and len(embedding) != dimension:
        fail(f"{where}: embedding has {len(embedding)} values, the collection's dimension is {dimension}", EXIT_USAGE)
    doc_id = record.get("id")
    if doc_id is not None:
        if not isinstance(doc_id, str):
            fail(f"{where}: 'id' must be a UUID string", EXIT_USAGE)
        try:
            doc_id = str(uuid.UUID(doc_id))
        except ValueError:
            fail(f"{where}: 'id' is not a UUID: {doc_id!r}", EXIT_USAGE)
    metadata = check_metadata(record.get("metadata", {}), where)
    return {"id": doc_id, "text": text, "metadata": metadata, "embedding": embedding}



def read_records(path: str, dimension: Optional[int]) -> Iterator[tuple[str, dict[str, Any]]]:
    """Each non-blank line of `path` as a checked record, with its position."""
    try:
        with open(path, encoding="utf-8") as lines:
            for number, line in enumerate(lines, 1):
                if line.strip():
                    where = f"{path}:{number}"
                    yield where, parse_record(line, where, dimension)
    except FileNotFoundError:
        fail(f"input file '{path}' does not exist", EXIT_NOT_FOUND)
    except UnicodeDecodeError as error:
        fail(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})", EXIT_USAGE)
    except OSError as error:
        fail(f"cannot read '{path}': {error.strerror or error}", EXIT_FAILED)
