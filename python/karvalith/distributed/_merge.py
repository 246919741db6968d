"""Routing and result merging of a sharded collection: pure functions, no Ray.

Documents carry a global sequence number (SEQUENCE_FIELD in their stored
metadata), assigned by the client in the order it sends writes. One
collection breaks score ties by its internal slot number, which grows with
insertion order; the sequence number plays that part across shards, so
merged lists order ties as one collection holding the same documents would.
"""

from __future__ import annotations

import array
import hashlib
import uuid
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence

from .._karvalith import fuse

if TYPE_CHECKING:  # types the stub alone defines
    from .._karvalith import Bm25Statistics

# Reserved metadata key holding a document's global sequence number.
SEQUENCE_FIELD = "_karvalith_seq"


# One shard's hit as it crosses the wire: (score, sequence number, id, text,
# metadata). A plain tuple pickles in half the time of a named one, and its
# natural order is the ranking order: score, then sequence number.
Hit = tuple[float, int, str, str, dict[str, Any]]


def shard_of(document_id: str, shard_count: int) -> int:
    """The shard that holds `document_id`: a hash of the UUID's 16 bytes, so
    every spelling of one UUID (case, braces, urn prefix) lands on one shard
    and the mapping never depends on the process (unlike hash())."""
    return shard_of_bytes(uuid.UUID(document_id).bytes, shard_count)


def shard_of_bytes(key: bytes, shard_count: int) -> int:
    """shard_of for an id already parsed to its 16 bytes."""
    return int.from_bytes(hashlib.blake2b(key, digest_size=8).digest(), "big") % shard_count


def to_f32(value: float) -> float:
    """The f32 nearest `value` (infinite beyond the largest), as the binding rounds."""
    return array.array("f", [float(value)])[0]


def merge_ranked(lists: Iterable[Sequence[Hit]], k: int) -> list[Hit]:
    """The k best hits of several shards' lists: by score, then by sequence
    number, larger first on both, which is one collection's order (larger
    slots first among equal scores)."""
    merged = [hit for hits in lists for hit in hits]
    merged.sort(reverse=True)  # sequence numbers are unique: ids are never compared
    return merged[:k]


def fuse_merged(
    vector_hits: Sequence[Hit],
    keyword_hits: Sequence[Hit],
    k: int,
    fusion_method: str,
    alpha: float,
    min_similarity: Optional[float],
) -> list[Hit]:
    """Hybrid fusion of merged lists through the engine's own fusion code.

    Ids given to it are the documents' ranks by sequence number, so among
    equal fused scores the later-inserted document wins, as the larger slot
    does in one collection. min_similarity applies to the fused score.
    """
    by_seq = sorted({hit[1]: hit for hit in (*vector_hits, *keyword_hits)}.items())
    number = {seq: i for i, (seq, _) in enumerate(by_seq)}
    fused = fuse(
        [(number[seq], score) for score, seq, *_ in vector_hits],
        [(number[seq], score) for score, seq, *_ in keyword_hits],
        k,
        fusion_method,
        alpha,
    )
    threshold = None if min_similarity is None else to_f32(min_similarity)
    out = []
    for i, score in fused:
        if threshold is not None and threshold > score:
            continue
        hit = by_seq[i][1]
        out.append((score, *hit[1:]))
    return out


def sum_statistics(parts: Iterable[Mapping[str, Any]]) -> Bm25Statistics:
    """Keyword figures of the whole document set from those of its shards."""
    frequencies: dict[str, int] = {}
    total: Bm25Statistics = {"document_count": 0, "total_length": 0, "document_frequencies": frequencies}
    for part in parts:
        total["document_count"] += part["document_count"]
        total["total_length"] += part["total_length"]
        for term, count in part["document_frequencies"].items():
            frequencies[term] = frequencies.get(term, 0) + count
    return total


def strip_sequence(metadata: Mapping[str, Any]) -> tuple[dict[str, Any], int]:
    """The user's metadata and the sequence number stored beside it."""
    user = dict(metadata)
    seq = user.pop(SEQUENCE_FIELD, 0)
    return user, seq
