"""One shard: a persistent Karvalith handle on its own data directory holding
one collection. The client runs it inside a Ray actor (or in-process); a
restarted actor runs __init__ again and so reopens the directory, which
replays the write-ahead log."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, Optional

from .._karvalith import Karvalith, SearchResult
from ._merge import SEQUENCE_FIELD, Hit, strip_sequence

if TYPE_CHECKING:  # types the stub alone defines
    from .._karvalith import Bm25Statistics, Document, Embedding


def _hits(results: Iterable[SearchResult]) -> list[Hit]:
    out = []
    for r in results:
        metadata, seq = strip_sequence(r.metadata)
        out.append(Hit(r.id, r.text, metadata, r.score, seq))
    return out


class Shard:
    def __init__(self, data_dir: str, collection: str, dimension: int, options: dict[str, Any]):
        self._db = Karvalith(data_dir=data_dir)
        self._name = collection
        if collection in self._db.list_collections():
            found = self._db.collection_info(collection).dimension
            if found != dimension:
                raise ValueError(
                    f"shard directory '{data_dir}' holds '{collection}' with dimension {found}, not {dimension}"
                )
        else:
            self._db.create_collection(collection, dimension, **options)

    def process_id(self) -> int:
        return os.getpid()

    # ---- writes: documents arrive with their sequence number in metadata ----
    def batch_insert(self, documents: list[dict[str, Any]]) -> list[str]:
        return self._db.batch_insert(self._name, documents)

    def upsert(self, document_id: str, text: str, embedding: Optional[Embedding], metadata: Mapping[str, Any]) -> str:
        return self._db.upsert(self._name, document_id, text, embedding, metadata)

    def update_metadata(self, document_id: str, metadata: Mapping[str, Any]) -> bool:
        """Replaces the user's metadata and keeps the sequence number, as one
        collection keeps the slot. False when the id is not live."""
        try:
            current = self._db.get(self._name, document_id)
        except KeyError:
            return False
        stored = dict(metadata)
        stored[SEQUENCE_FIELD] = current["metadata"].get(SEQUENCE_FIELD, 0)
        self._db.update_metadata(self._name, document_id, stored)
        return True

    def delete(self, document_id: str) -> bool:
        return self._db.delete(self._name, document_id)

    def delete_many(self, document_ids: list[str]) -> int:
        """One log record for this shard's part of the ids."""
        return self._db.delete(self._name, document_ids)

    def delete_where(self, filter: Mapping[str, Any]) -> int:
        return self._db.delete_where(self._name, filter)

    # ---- reads ----
    def get(self, document_id: str) -> Optional[Document]:
        try:
            document = self._db.get(self._name, document_id)
        except KeyError:
            return None
        document["metadata"], _ = strip_sequence(document["metadata"])
        return document

    def get_many(self, document_ids: list[str], filter: Optional[Mapping[str, Any]]) -> list[Document]:
        """The stored ones among the ids (passing the filter), in the order given."""
        documents = self._db.get(self._name, document_ids, filter=filter)
        for document in documents:
            document["metadata"], _ = strip_sequence(document["metadata"])
        return documents

    def select(self, filter: Optional[Mapping[str, Any]], limit: Optional[int]) -> list[tuple[int, Document]]:
        """(sequence number, document) of the first `limit` documents passing the
        filter in this shard's order, which is sequence order."""
        selected: list[tuple[int, Document]] = []
        for document in self._db.get(self._name, filter=filter, limit=limit):
            document["metadata"], sequence = strip_sequence(document["metadata"])
            selected.append((sequence, document))
        return selected

    def count(self, filter: Optional[Mapping[str, Any]]) -> int:
        return self._db.count(self._name, filter)

    def keyword_statistics(self, text: str) -> Bm25Statistics:
        return self._db.keyword_statistics(self._name, text)

    def search(self, arguments: dict[str, Any]) -> list[Hit]:
        return _hits(self._db.search(self._name, **arguments))

    def search_lists(self, arguments: dict[str, Any]) -> tuple[list[Hit], list[Hit]]:
        """The two lists a hybrid search fuses: the k nearest and the k best
        keyword hits, both among the documents passing the filter."""
        vector = {key: arguments[key] for key in ("query_embedding", "k", "filter", "ef")}
        keyword = {key: arguments[key] for key in ("query_text", "k", "filter", "bm25_statistics")}
        return _hits(self._db.search(self._name, **vector)), _hits(self._db.search(self._name, **keyword))

    def info(self) -> tuple[int, int]:
        info = self._db.collection_info(self._name)
        return info.document_count, info.estimated_memory_bytes

    # ---- maintenance ----
    def compact(self) -> None:
        self._db.compact()

    def rebuild(self) -> int:
        return self._db.rebuild(self._name)
