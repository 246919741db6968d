"""One shard: a persistent Karvalith handle on its own data directory holding
one collection. The client runs it inside a Ray actor (or in-process); a
restarted actor runs __init__ again and so reopens the directory, which
replays the write-ahead log."""

from __future__ import annotations

import array
import json
import os
import time
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, Optional

from .._karvalith import Karvalith, SearchResult
from ._durable import write_json_atomically
from ._merge import SEQUENCE_FIELD, Hit, shard_of, strip_sequence

if TYPE_CHECKING:  # types the stub alone defines
    from .._karvalith import Bm25Statistics, Document, Embedding


def _hits(results: Iterable[SearchResult]) -> list[Hit]:
    out = []
    for r in results:
        metadata: dict[str, Any] = r.metadata  # a fresh dict on every access: taken apart in place
        seq = metadata.pop(SEQUENCE_FIELD, 0)
        out.append((r.score, seq, r.id, r.text, metadata))
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
        vector = {key: arguments[key] for key in ("query_embedding", "k", "filter", "ef", "exact_threshold")}
        keyword = {key: arguments[key] for key in ("query_text", "k", "filter", "bm25_statistics")}
        return _hits(self._db.search(self._name, **vector)), _hits(self._db.search(self._name, **keyword))

    def keyword_statistics_many(self, texts: list[str]) -> list[Bm25Statistics]:
        return [self._db.keyword_statistics(self._name, text) for text in texts]

    def batch_search(
        self, arguments: dict[str, Any], embeddings: Any, statistics: Optional[list[Bm25Statistics]]
    ) -> tuple[Optional[list[list[Hit]]], Optional[list[list[Hit]]]]:
        """One batch's two lists per query: the k nearest (with this shard's
        threads) and the k best keyword hits (scored with the collection's
        figures, one query at a time since each has its own). A list is None
        when the batch has no queries of that kind; a hybrid batch's vector
        hits ignore min_similarity, which applies to the fused score. The
        embeddings come apart from the other arguments so that Ray hands over
        the stored value, not a reference to it."""
        texts = arguments.get("query_texts")
        hybrid = embeddings is not None and texts is not None
        common = {"k": arguments["k"], "filter": arguments["filter"]}
        if not hybrid:
            common["min_similarity"] = arguments["min_similarity"]
        vector = None
        if embeddings is not None:
            found = self._db.batch_search(self._name, embeddings, ef=arguments["ef"],
                                          num_threads=arguments["num_threads"],
                                          exact_threshold=arguments["exact_threshold"], **common)
            vector = [_hits(results) for results in found]
        keyword = None
        if texts is not None:
            if statistics is None:  # one shard: its own figures are the collection's
                found = self._db.batch_search(self._name, query_texts=texts,
                                              num_threads=arguments["num_threads"], **common)
            else:
                found = [self._db.search(self._name, query_text=text, bm25_statistics=figures, **common)
                         for text, figures in zip(texts, statistics)]
            keyword = [_hits(results) for results in found]
        return vector, keyword

    def info(self) -> tuple[int, int]:
        info = self._db.collection_info(self._name)
        return info.document_count, info.estimated_memory_bytes

    # ---- Ray Data (_dataset.py) ----
    # Rows come from many write tasks at once, so the shard numbers them as
    # they arrive: its slot order stays sequence order. The clock keeps the
    # numbers above those of earlier writes, here or in a process that ran
    # before a restart, as the client's numbering does.
    _last_stamp = 0

    def insert_columns(self, ids: list[str], texts: list[str], embeddings: Any,
                       metadata: list[dict[str, Any]]) -> int:
        """Inserts one batch given by columns (embeddings: a float32 rows x
        dimension array, or None when keyword-only), atomically. Returns the
        number inserted."""
        first = max(self._last_stamp + 1, time.time_ns())
        self._last_stamp = first + len(ids) - 1
        documents = []
        for row, (document_id, text, fields) in enumerate(zip(ids, texts, metadata)):
            stored = dict(fields)
            stored[SEQUENCE_FIELD] = first + row
            document = {"id": document_id, "text": text, "metadata": stored}
            if embeddings is not None:
                document["embedding"] = embeddings[row]
            documents.append(document)
        self._db.batch_insert(self._name, documents)
        return len(documents)

    def list_ids(self) -> list[str]:
        """Every id, oldest placement first (sequence order)."""
        return self._db.list_ids(self._name)

    def export_rows(self, ids: list[str], filter: Optional[Mapping[str, Any]],
                    include_embeddings: bool) -> tuple[list[Document], Optional[bytes]]:
        """The stored documents among the ids (passing the filter), in the
        order given, and their embeddings as float32 bytes, row after row."""
        documents = self.get_many(ids, filter)
        if not include_embeddings:
            return documents, None
        values = array.array("f")
        for document in documents:
            values.extend(self._db.get_embedding(self._name, document["id"]))
        return documents, values.tobytes()

    # ---- maintenance ----
    def compact(self) -> None:
        self._db.compact()

    def rebuild(self) -> int:
        return self._db.rebuild(self._name)

    # ---- resharding: every step can be repeated after a crash ----
    def _stored(self) -> list[Document]:
        """Every document with its stored metadata (sequence number included),
        in placement order."""
        return self._db.get(self._name)

    def _with_embedding(self, document: Document) -> dict[str, Any]:
        embedding = self._db.get_embedding(self._name, document["id"]) or None  # [] when keyword-only
        return {"id": document["id"], "text": document["text"], "embedding": embedding,
                "metadata": document["metadata"]}

    def moving_documents(self, shard_count: int, destination: int) -> list[dict[str, Any]]:
        """This shard's documents that `destination` owns among `shard_count`
        shards: id, text, embedding and stored metadata (with the sequence
        number, which the move keeps)."""
        wanted = [i for i in self._db.list_ids(self._name) if shard_of(i, shard_count) == destination]
        return [self._with_embedding(document) for document in self._db.get(self._name, wanted)] if wanted else []

    def receive(self, documents: list[dict[str, Any]], journal: str) -> int:
        """Stores moved documents so that placement order stays sequence order,
        the order searches break score ties by: the documents already here
        that are newer than the oldest arriving one (or out of order after an
        interrupted receive) are placed again. They are written to `journal`
        (a file, synced) before one log record deletes them, and stored again
        with the arriving ones, in sequence order, by one batch insert; a
        receive repeated after a crash restores them from the journal first.
        Documents already here are not stored twice. Returns how many
        documents were placed."""
        present = self._stored()
        here = {document["id"] for document in present}
        restored = [document for document in _journaled(journal) if document["id"] not in here]
        arriving = {document["id"]: document for document in restored + documents if document["id"] not in here}
        oldest_arriving = min((_sequence(document) for document in arriving.values()), default=None)
        ordered = sorted(enumerate(present), key=lambda pair: (_sequence(pair[1]), pair[0]))
        kept, last = 0, -1
        for position, document in ordered:
            if position < last or (oldest_arriving is not None and _sequence(document) >= oldest_arriving):
                break
            kept, last = kept + 1, position
        again = [self._with_embedding(document) for _, document in ordered[kept:]]
        if again:  # the journal keeps what an earlier attempt took out, too
            write_json_atomically(journal, again + restored)
            self._db.delete(self._name, [document["id"] for document in again])
        placed = sorted(again + list(arriving.values()), key=_sequence)
        if placed:
            if self._db.collection_info(self._name).dimension == 0:
                placed = [{key: value for key, value in document.items() if key != "embedding"}
                          for document in placed]
            self._db.batch_insert(self._name, placed)
        if os.path.exists(journal):
            os.remove(journal)
        return len(placed)

    def drop_moved(self, shard_count: int, index: int) -> int:
        """Deletes, in one log record, the documents that another shard owns
        among `shard_count` shards (this one being number `index`)."""
        moved = [i for i in self._db.list_ids(self._name) if shard_of(i, shard_count) != index]
        return self._db.delete(self._name, moved) if moved else 0

    def close(self) -> None:
        """Releases the directory (a shard a reshard no longer uses)."""
        self._db.close()


def _journaled(journal: str) -> list[dict[str, Any]]:
    """The documents an interrupted receive took out to place again."""
    try:
        with open(journal) as source:
            documents: list[dict[str, Any]] = json.load(source)
    except FileNotFoundError:
        return []
    return documents


def _sequence(document: Mapping[str, Any]) -> int:
    sequence: int = document["metadata"].get(SEQUENCE_FIELD, 0)
    return sequence
