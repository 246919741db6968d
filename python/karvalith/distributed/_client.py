"""ShardedCollection: one collection split over shards by document id."""

from __future__ import annotations

import json
import os
import threading
import time
import uuid
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple, Optional, Sequence, Union

from .._karvalith import _DEFAULT_ALPHA as DEFAULT_ALPHA, Karvalith, filter_fields
from ._backends import ActorOptions, LocalShards, RayShards, ShardLost, Shards, import_ray
from ._durable import write_json_atomically
from ._merge import SEQUENCE_FIELD, Hit, fuse_merged, merge_ranked, shard_of, sum_statistics
from . import _reshard

if TYPE_CHECKING:  # types the stub alone defines
    from .._karvalith import Bm25Statistics, Embedding

MANIFEST = "karvalith-shards.json"


class ShardUnavailableError(RuntimeError):
    """A shard stayed unreachable for longer than the read timeout."""


class ShardWriteError(RuntimeError):
    """A write reached some shards and not others, or its fate on a shard is
    unknown because the shard's process died while the call was in flight.

    acknowledged: ids every shard involved confirmed (durable: logged and synced).
    unknown: ids sent to a shard that died before answering; each may or may
        not have been written (look them up with get once the shard is back).
    refused: ids a shard refused, with the shard's exception in `errors`.
    """

    def __init__(self, message: str, acknowledged: list[str], unknown: list[str], refused: list[str],
                 errors: dict[int, BaseException]):
        super().__init__(message)
        self.acknowledged = acknowledged
        self.unknown = unknown
        self.refused = refused
        self.errors = errors


class SearchResult(NamedTuple):
    """A hit of a sharded search: the attributes of karvalith.SearchResult."""

    id: str
    text: str
    score: float
    metadata: dict[str, Any]


class ShardedInfo(NamedTuple):
    name: str
    dimension: int
    shards: int
    document_count: int
    estimated_memory_bytes: int
    shard_document_counts: list[int]


def _check_metadata(metadata: Optional[Mapping[str, Any]]) -> dict[str, Any]:
    if metadata is None:
        return {}
    if not isinstance(metadata, dict):
        raise TypeError(f"metadata must be a dict, got {type(metadata).__name__}")
    if SEQUENCE_FIELD in metadata:
        raise ValueError(f"the metadata key '{SEQUENCE_FIELD}' is reserved by sharded collections")
    return metadata


DOCUMENT_KEYS = ("text", "embedding", "metadata", "id")


def _check_document(position: int, document: Any, keyword_only: bool) -> None:
    """A batch_insert document read strictly, as one collection reads it, so
    that a slip is refused before any shard is sent anything (a shard's
    refusal would leave the other shards' parts written). A keyword-only
    collection (dimension 0) takes documents without an embedding."""
    if not isinstance(document, Mapping):
        raise TypeError(f"document {position} must be a dict, got {type(document).__name__}")
    for key in document:
        if key not in DOCUMENT_KEYS:
            raise ValueError(
                f"documents[{position}] has unknown key {key!r} (accepted: {', '.join(DOCUMENT_KEYS)})"
            )
    for key in ("text",) if keyword_only else ("text", "embedding"):
        if key not in document:
            raise ValueError(f"document missing '{key}'")
    if not isinstance(document["text"], str):
        raise TypeError(f"documents[{position}]['text']: expected str, got {type(document['text']).__name__}")


UUID_HINT = "ids are UUID strings; make one from a name with str(uuid.uuid5(uuid.NAMESPACE_URL, name))"


def _check_filter(flt: Any) -> None:
    """Refuses, before any shard is asked, a malformed filter (as one
    collection refuses it) and one that tests the sequence key."""
    if flt is not None and SEQUENCE_FIELD in filter_fields(flt):
        raise ValueError(f"the metadata key '{SEQUENCE_FIELD}' is reserved by sharded collections")


def _canonical_id(document_id: Any, where: str = "") -> str:
    """The id's 36-character form; TypeError or ValueError as one collection
    gives them."""
    if not isinstance(document_id, str):
        raise TypeError(f"ids must be str, got {type(document_id).__name__}{where}")
    try:
        return str(uuid.UUID(document_id))
    except ValueError:
        raise ValueError(f"invalid UUID: {document_id!r}{where}; {UUID_HINT}") from None


def _ids_argument(ids: Any, id: Any, method: str) -> Any:
    """ids, or its older name id; not both."""
    if ids is not None and id is not None:
        raise TypeError(f"{method}() takes ids or id (its older name), not both")
    return ids if ids is not None else id


def _id_list(ids: Any) -> list[str]:
    if not isinstance(ids, (list, tuple)):
        raise TypeError(f"ids must be a str or a list of str, got {type(ids).__name__}")
    return [_canonical_id(one, f" (ids[{i}])") for i, one in enumerate(ids)]


def _count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise TypeError(f"{name} must be a non-negative int, got {value!r}")
    return value


def _query_rows(queries: Any) -> Any:
    """Query embeddings in a form that slices by query: an array stays as it
    is (the shards check its type and shape as one handle does), other
    buffers become one, any other iterable a list."""
    if isinstance(queries, (list, tuple)):
        return list(queries)
    try:
        view = memoryview(queries)
    except TypeError:
        try:
            return list(queries)
        except TypeError:
            raise TypeError(f"argument 'query_embeddings': expected a list of embeddings or a buffer, "
                            f"got {type(queries).__name__}") from None
    try:
        import numpy
    except ImportError:  # without numpy, a buffer's rows as nested lists
        return view.tolist()
    return numpy.asarray(queries)


_make_result = tuple.__new__  # a third of the time of SearchResult(...), whose __new__ is Python


def _result(hit: Hit) -> SearchResult:
    score, _, id, text, metadata = hit
    return _make_result(SearchResult, (id, text, score, metadata))


class ShardedCollection:
    """A collection split over N shards, each a persistent Karvalith database
    in DATA_DIR/shard-NNN, held by a Ray actor (or, with in_process=True, by
    this process). Use create() for a new one and attach() to reopen it.

    Documents go to the shard given by a hash of their id. Searches ask every
    shard and merge: keyword scores use the figures of the whole collection,
    so every path ranks as one collection holding the same documents would
    (see search). Writes are not retried; reads are, while a shard restarts.
    """

    def __init__(self, name: str, data_dir: str, manifest: dict[str, Any], shards: Shards, read_timeout: float):
        self.name = name
        self.data_dir = data_dir
        self.dimension = manifest["dimension"]
        self._shards = shards
        self._count = manifest["shards"]
        self._read_timeout = read_timeout
        # Held from numbering a write to sending it: Ray runs one caller's calls
        # to an actor in the order sent, so every shard receives documents in
        # sequence order and its slot order agrees with the sequence numbers.
        self._write_order = threading.Lock()
        self._last_sequence = 0
        self._closed = False
        # Set while a reshard moves documents: the message reads and writes get.
        self._transition: Optional[str] = None
        self._manifest_seen: Optional[tuple[int, int, int]] = None  # stat of the manifest last checked

    # ---- opening ----
    @classmethod
    def create(
        cls,
        name: str,
        dimension: int,
        *,
        shards: int,
        data_dir: str,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        ef_search: Optional[int] = None,
        distance_metric: Optional[str] = None,
        store_raw_vectors: Optional[bool] = None,
        walk_bits: Optional[int] = None,
        in_process: bool = False,
        actor_options: ActorOptions = None,
        detached: bool = False,
        read_timeout: float = 60.0,
        exist_ok: bool = False,
    ) -> "ShardedCollection":
        """A new sharded collection in `data_dir` (which must not hold one).

        With exist_ok=True a data_dir that holds this collection with the same
        shard count, dimension and distance_metric (and every other option
        given) is attached to instead; a different one raises ValueError.
        The collection options are those of Karvalith.create_collection.
        actor_options (a dict, or a function of the shard number) go to Ray's
        actor .options(), for instance resources or a scheduling strategy
        that pins shard i to a node; detached=True lets the actors outlive
        this driver (attach from another driver in the same namespace).
        """
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError(f"shards must be a positive integer, got {shards!r}")
        options: dict[str, Any] = {key: value for key, value in (("m", m), ("ef_construction", ef_construction),
                                                 ("ef_search", ef_search), ("distance_metric", distance_metric),
                                                 ("store_raw_vectors", store_raw_vectors),
                                                 ("walk_bits", walk_bits)) if value is not None}
        # Refuse bad options here rather than in every actor's constructor.
        Karvalith().create_collection(name, dimension, **options)
        data_dir = os.path.abspath(data_dir)  # actors run in other working directories
        manifest = {"collection": name, "shards": shards, "dimension": dimension, "options": options}
        path = os.path.join(data_dir, MANIFEST)
        if os.path.exists(path):
            if not exist_ok:
                raise ValueError(f"'{data_dir}' already holds a sharded collection: use ShardedCollection.attach")
            with open(path) as source:
                held = json.load(source)
            if held.get("collection") != name:
                raise ValueError(f"'{data_dir}' holds the sharded collection '{held.get('collection')}', not '{name}'")
            if held["shards"] != shards:
                raise ValueError(f"sharded collection '{name}' already exists with {held['shards']} shards "
                                 f"(asked {shards})")
            # The definitions compare as one collection's create_collection compares them.
            probe = Karvalith()
            probe.create_collection(name, held["dimension"], **held["options"])
            probe.create_collection(name, dimension, exist_ok=True, **options)
            return cls.attach(name, data_dir=data_dir, in_process=in_process, actor_options=actor_options,
                              detached=detached, read_timeout=read_timeout)
        # The shards check the options (the first to start refuses bad ones)
        # before the manifest makes the collection attachable.
        os.makedirs(data_dir, exist_ok=True)
        collection = cls._start(name, data_dir, manifest, in_process, actor_options, detached, read_timeout)
        try:
            collection.wait_ready()
        except BaseException:
            collection.close()
            raise
        write_json_atomically(path, manifest)
        return collection

    @classmethod
    def attach(
        cls,
        name: str,
        *,
        data_dir: str,
        in_process: bool = False,
        actor_options: ActorOptions = None,
        detached: bool = False,
        read_timeout: float = 60.0,
    ) -> "ShardedCollection":
        """Reopens the sharded collection kept in `data_dir`: its running
        actors when they exist (same Ray namespace), else new ones, which
        recover their directories."""
        data_dir = os.path.abspath(data_dir)
        path = os.path.join(data_dir, MANIFEST)
        try:
            with open(path) as source:
                manifest = json.load(source)
        except FileNotFoundError:
            raise KeyError(f"no sharded collection in '{data_dir}'") from None
        if manifest.get("collection") != name:
            raise KeyError(f"'{data_dir}' holds the sharded collection '{manifest.get('collection')}', not '{name}'")
        collection = cls._start(name, data_dir, manifest, in_process, actor_options, detached, read_timeout)
        if "resharding" in manifest:  # a reshard was cut short: finish it
            try:
                _reshard.resume(collection)
            except BaseException:
                collection.close()
                raise
        collection.wait_ready()
        return collection

    @classmethod
    def _start(cls, name: str, data_dir: str, manifest: dict[str, Any], in_process: bool,
               actor_options: ActorOptions, detached: bool, read_timeout: float) -> "ShardedCollection":
        shards: Shards
        count, dimension, options = manifest["shards"], manifest["dimension"], manifest["options"]
        if in_process:
            shards = LocalShards(data_dir, name, count, dimension, options)
        else:
            shards = RayShards(import_ray(), data_dir, name, count, dimension, options, actor_options, detached)
        return cls(name, data_dir, manifest, shards, read_timeout)

    def __repr__(self) -> str:
        return f"ShardedCollection(name={self.name!r}, shards={self._count}, data_dir={self.data_dir!r})"

    @property
    def shard_count(self) -> int:
        count: int = self._count
        return count

    def wait_ready(self, timeout: Optional[float] = None) -> None:
        """Returns once every shard answers (after a restart, once its log is replayed)."""
        self._gather([(i, "process_id", ()) for i in range(self._count)], timeout)

    def shard_process_ids(self) -> list[int]:
        """The process id of each shard's actor (to watch restarts, or to test them)."""
        return self._gather([(i, "process_id", ()) for i in range(self._count)])

    def close(self) -> None:
        """Stops the actors (even detached ones); the data stays in data_dir."""
        self._shards.close()
        self._closed = True

    def _require_open(self) -> None:
        if self._closed:
            raise RuntimeError(f"sharded collection '{self.name}' is closed: attach to it again")
        if self._transition is not None:
            raise RuntimeError(self._transition)
        _reshard.check_layout(self)  # another handle may have resharded

    def reshard(self, new_count: int) -> None:
        """Moves the collection to new_count shards (more or fewer): each
        document whose owner changes is copied to its new shard, keeping its
        sequence number, then deleted from the old one. The move is recorded
        in the manifest first and every step can be repeated, so a crash
        loses no acknowledged write and, once attach (or reshard) finishes the
        move, leaves each document in its own shard alone. While the move
        runs (or stays unfinished) this handle refuses reads and writes with
        RuntimeError; other handles on the data directory must be closed.
        The same count is a no-op. Shards that receive documents place again
        their documents newer than the oldest one received, so that score
        ties still rank as in one collection."""
        _reshard.reshard(self, new_count)

    def __enter__(self) -> "ShardedCollection":
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()

    # ---- calls ----
    def _gather(self, calls: Sequence[tuple[int, str, tuple[Any, ...]]], timeout: Optional[float] = None) -> list[Any]:
        """Runs read calls on their shards in parallel and returns their
        results in order. A call whose shard was lost is sent again until it
        answers or `timeout` (default: read_timeout) passes."""
        self._require_open()
        deadline = time.monotonic() + (self._read_timeout if timeout is None else timeout)
        results: list[Any] = [None] * len(calls)
        pending = list(range(len(calls)))
        pause = 0.05
        # A first attempt waits as long as its shard lives (a large batch may
        # take long); a call sent again after a loss waits until the deadline
        # only, as its shard may be restarting on a node that is gone.
        wait: Optional[float] = None
        while True:
            started = [(slot, self._shards.submit(calls[slot][0], calls[slot][1], *calls[slot][2]))
                       for slot in pending]
            if len(started) > 1:
                self._shards.settle([call for _, call in started], wait)
            lost = []
            last_error = None
            for slot, call in started:
                try:
                    results[slot] = self._shards.result(
                        call, None if wait is None else max(0.0, deadline - time.monotonic()))
                except ShardLost as error:
                    lost.append(slot)
                    last_error = error
            if not lost:
                return results
            if time.monotonic() >= deadline:
                shard = calls[lost[0]][0]
                raise ShardUnavailableError(
                    f"shard {shard} of '{self.name}' did not answer {calls[lost[0]][1]} in time: {last_error}"
                )
            time.sleep(min(pause, max(0.0, deadline - time.monotonic())))
            pause = min(pause * 2, 1.0)
            pending = lost
            wait = max(0.0, deadline - time.monotonic())

    def _send(self, method: str, parts: dict[int, tuple[tuple[Any, ...], list[str]]]) -> dict[int, Any]:
        """Starts write calls (shard -> (arguments, ids concerned)), each once."""
        self._require_open()
        return {shard: self._shards.submit(shard, method, *args) for shard, (args, _) in parts.items()}

    def _collect(self, method: str, parts: dict[int, tuple[tuple[Any, ...], list[str]]], started: dict[int, Any]) -> dict[int, Any]:
        """Each shard's answer to the writes `_send` started. Raises the
        shard's own exception when every shard involved refused (nothing was
        written), and ShardWriteError when the write is partial or its fate
        unknown. Writes are never sent again: one whose shard died in flight
        may have been logged, and a second copy would be refused or doubled."""
        answers: dict[int, Any] = {}
        errors: dict[int, BaseException] = {}
        for shard, call in started.items():
            try:
                answers[shard] = self._shards.result(call)
            except Exception as error:  # ShardLost or the shard's refusal
                errors[shard] = error
        if not errors:
            return answers
        lost = {shard for shard, error in errors.items() if isinstance(error, ShardLost)}
        if not answers and not lost:
            raise next(iter(errors.values()))
        acknowledged = [i for shard in answers for i in parts[shard][1]]
        unknown = [i for shard in lost for i in parts[shard][1]]
        refused = [i for shard in errors if shard not in lost for i in parts[shard][1]]
        described = "; ".join(
            f"shard {shard}: {'lost while the call was in flight' if shard in lost else 'refused'} ({error})"
            for shard, error in sorted(errors.items())
        )
        raise ShardWriteError(
            f"{method} on '{self.name}' did not complete on every shard: {described}. "
            f"{len(acknowledged)} documents acknowledged, {len(unknown)} of unknown fate, {len(refused)} refused",
            acknowledged, unknown, refused, errors,
        )

    def _write(self, method: str, parts: dict[int, tuple[tuple[Any, ...], list[str]]]) -> dict[int, Any]:
        return self._collect(method, parts, self._send(method, parts))

    def _next_sequence(self, count: int) -> int:
        """The first of `count` fresh sequence numbers: above every number this
        client gave, and above the clock in nanoseconds, so a later client (or
        this one after a restart) keeps numbering upwards. The caller holds
        the write order."""
        first = max(self._last_sequence + 1, time.time_ns())
        self._last_sequence = first + count - 1
        return first

    def _route(self, document_id: str) -> int:
        return shard_of(_canonical_id(document_id), self._count)

    # ---- documents ----
    def _require_embedding(self, embedding: Optional[Embedding], method: str, position: int) -> None:
        """Refuses a missing embedding, as one collection does, unless the
        collection is keyword-only."""
        if embedding is None and self.dimension != 0:
            raise TypeError(f"{method}() missing required argument 'embedding' (pos {position})")

    def insert(self, text: str, embedding: Optional[Embedding] = None, metadata: Optional[Mapping[str, Any]] = None,
               id: Optional[str] = None) -> str:
        """Inserts one document on its shard. Returns its id. A keyword-only
        collection (dimension 0) takes it without an embedding."""
        self._require_embedding(embedding, "insert", 2)
        document: dict[str, Any] = {"text": text, "metadata": metadata}
        if embedding is not None:
            document["embedding"] = embedding
        if id is not None:
            document["id"] = id
        return self.batch_insert([document])[0]

    def batch_insert(self, documents: Sequence[Mapping[str, Any]]) -> list[str]:
        """Inserts documents, each shard's part in one call, all parts in
        parallel. Returns the ids in the order given. Each shard's part is
        atomic (one log record); the batch as a whole is not: see
        ShardWriteError."""
        if not isinstance(documents, (list, tuple)):
            raise TypeError(f"documents must be a list, got {type(documents).__name__}")
        parts: dict[int, tuple[list[dict[str, Any]], list[int]]] = {}
        seen = set()
        for position, document in enumerate(documents):
            _check_document(position, document, self.dimension == 0)
            prepared = dict(document)
            prepared["metadata"] = dict(_check_metadata(prepared.get("metadata")))
            if prepared.get("id") is None:
                prepared["id"] = str(uuid.uuid4())
            key = uuid.UUID(_canonical_id(prepared["id"], f" (document {position})")).bytes
            if key in seen:
                raise ValueError(f"document id {prepared['id']} repeats in the batch")
            seen.add(key)
            docs, positions = parts.setdefault(self._route(prepared["id"]), ([], []))
            docs.append(prepared)
            positions.append(position)
        given = {shard: ((docs,), [str(d["id"]) for d in docs]) for shard, (docs, _) in parts.items()}
        with self._write_order:
            first = self._next_sequence(len(documents))
            for docs, positions in parts.values():
                for document, position in zip(docs, positions):
                    document["metadata"][SEQUENCE_FIELD] = first + position
            started = self._send("batch_insert", given)
        answers = self._collect("batch_insert", given, started)
        ids: list[str] = [""] * len(documents)
        for shard, stored in answers.items():
            for position, stored_id in zip(parts[shard][1], stored):
                ids[position] = stored_id
        return ids

    def upsert(self, id: str, text: str, embedding: Optional[Embedding] = None,
               metadata: Optional[Mapping[str, Any]] = None) -> str:
        """Inserts the document, or replaces the one with this id (it then
        ranks as the newest document, as in one collection)."""
        self._require_embedding(embedding, "upsert", 3)
        stored = dict(_check_metadata(metadata))
        shard = self._route(id)
        with self._write_order:
            stored[SEQUENCE_FIELD] = self._next_sequence(1)
            parts = {shard: ((id, text, embedding, stored), [id])}
            started = self._send("upsert", parts)
        placed: str = self._collect("upsert", parts, started)[shard]
        return placed

    def update_metadata(self, id: str, metadata: Mapping[str, Any]) -> None:
        """Replaces a document's metadata. KeyError when the id is not live."""
        _check_metadata(metadata)
        shard = self._route(id)
        if not self._write("update_metadata", {shard: ((id, metadata), [id])})[shard]:
            raise KeyError(f"document '{id}' not found")

    def delete(self, ids: Union[str, Sequence[str], None] = None, *, id: Optional[str] = None) -> Union[bool, int]:
        """Deletes documents by id, as Karvalith.delete: one id returns True if
        it existed; a list returns how many existed. Each shard's part is one
        log record (all or nothing on that shard); the parts together are not:
        see ShardWriteError."""
        ids = _ids_argument(ids, id, "delete")
        if isinstance(ids, str):
            shard = self._route(ids)
            existed: bool = self._write("delete", {shard: ((ids,), [ids])})[shard]
            return existed
        parts: dict[int, tuple[tuple[Any, ...], list[str]]] = {}
        for one in _id_list(ids):
            part = parts.setdefault(self._route(one), ((list(),), []))
            part[0][0].append(one)
            part[1].append(one)
        if not parts:
            return 0
        return sum(self._write("delete_many", parts).values())

    def delete_where(self, filter: Mapping[str, Any]) -> int:
        """Deletes the documents passing the filter on every shard; returns how
        many. Each shard's part is one log record; see ShardWriteError."""
        if filter is None:
            raise TypeError("delete_where() needs a filter dict ({} deletes every document)")
        _check_filter(filter)
        parts: dict[int, tuple[tuple[Any, ...], list[str]]] = {
            shard: ((filter,), []) for shard in range(self._count)
        }
        return sum(self._write("delete_where", parts).values())

    def get(
        self,
        ids: Union[str, Sequence[str], None] = None,
        filter: Optional[Mapping[str, Any]] = None,
        limit: Optional[int] = None,
        offset: int = 0,
        *,
        id: Optional[str] = None,
    ) -> Union[dict[str, Any], list[dict[str, Any]]]:
        """Documents as Karvalith.get gives them: one id returns its dict
        (KeyError when missing); a list returns the stored ones in the order
        given (missing ones skipped, repeats once); None returns every document
        in the order one collection would (oldest placement first). filter,
        offset and limit as for Karvalith.get."""
        ids = _ids_argument(ids, id, "get")
        if limit is not None:
            limit = _count(limit, "limit")
        offset = _count(offset if offset is not None else 0, "offset")
        if isinstance(ids, str):
            if filter is not None or limit is not None or offset:
                raise TypeError("get() with one id returns that document: filter, limit and offset need "
                                "ids=None or a list of ids")
            document: Optional[dict[str, Any]] = self._gather([(self._route(ids), "get", (ids,))])[0]
            if document is None:
                raise KeyError(f"document '{ids}' not found")
            return document
        _check_filter(filter)
        if ids is not None:
            wanted = list(dict.fromkeys(_id_list(ids)))  # repeats once, first place kept
            by_shard: dict[int, list[str]] = {}
            for one in wanted:
                by_shard.setdefault(self._route(one), []).append(one)
            shards = list(by_shard)
            found = {}
            for part in self._gather([(shard, "get_many", (by_shard[shard], filter)) for shard in shards]):
                for document in part:
                    found[document["id"]] = document
            selected = [found[one] for one in wanted if one in found]
            return selected[offset:] if limit is None else selected[offset:offset + limit]
        # Each shard's first offset + limit in sequence order hold the
        # collection's first offset + limit.
        reach = None if limit is None else offset + limit
        parts = self._gather([(i, "select", (filter, reach)) for i in range(self._count)])
        merged = sorted((pair for part in parts for pair in part), key=lambda pair: pair[0])
        documents = [document for _, document in merged]
        return documents[offset:] if limit is None else documents[offset:offset + limit]

    def count(self, filter: Optional[Mapping[str, Any]] = None) -> int:
        """The number of documents, or of those passing the filter."""
        _check_filter(filter)
        return sum(self._gather([(i, "count", (filter,)) for i in range(self._count)]))

    # ---- search ----
    def keyword_statistics(self, query_text: str) -> Bm25Statistics:
        """The whole collection's BM25 figures for the terms of query_text."""
        return sum_statistics(self._gather([(i, "keyword_statistics", (query_text,)) for i in range(self._count)]))

    def search(
        self,
        query_embedding: Optional[Embedding] = None,
        query_text: Optional[str] = None,
        k: int = 10,
        min_similarity: Optional[float] = None,
        alpha: float = DEFAULT_ALPHA,
        fusion_method: str = "rrf",
        filter: Optional[Mapping[str, Any]] = None,
        ef: Optional[int] = None,
        exact_threshold: Optional[int] = None,
    ) -> list[SearchResult]:
        """Karvalith.search over every shard, merged.

        Vector: each shard's k nearest (with this ef), merged by score.
        Keyword: the whole collection's figures are gathered first and every
        shard scores with them, so scores are those of one collection.
        Hybrid: both merged lists are fused here by the engine's fusion code.
        Filters apply on every shard. Ties in score go to the document written
        last, as in one collection.
        """
        if query_embedding is None and query_text is None:
            raise ValueError("at least one of query_embedding or query_text is required")
        _check_filter(filter)
        arguments: dict[str, Any] = {"k": k, "filter": filter, "ef": ef, "exact_threshold": exact_threshold}
        if query_text is not None:
            arguments["query_text"] = query_text
            # One shard's own figures are the collection's: no extra round trip.
            arguments["bm25_statistics"] = self.keyword_statistics(query_text) if self._count > 1 else None
        if query_embedding is not None:
            arguments["query_embedding"] = query_embedding
        everywhere = range(self._count)
        if query_embedding is not None and query_text is not None:
            lists = self._gather([(i, "search_lists", (arguments,)) for i in everywhere])
            vector_hits = merge_ranked((vector for vector, _ in lists), k)
            keyword_hits = merge_ranked((keyword for _, keyword in lists), k)
            fused = fuse_merged(vector_hits, keyword_hits, k, fusion_method, alpha, min_similarity)
            return [_result(hit) for hit in fused]
        arguments["min_similarity"] = min_similarity
        if query_embedding is None:
            del arguments["exact_threshold"]  # the keyword path has no exact scan
        lists = self._gather([(i, "search", (arguments,)) for i in everywhere])
        return [_result(hit) for hit in merge_ranked(lists, k)]

    def batch_search(
        self,
        query_embeddings: Any = None,
        k: int = 10,
        min_similarity: Optional[float] = None,
        filter: Optional[Mapping[str, Any]] = None,
        ef: Optional[int] = None,
        num_threads: int = 0,
        query_texts: Optional[Sequence[str]] = None,
        alpha: float = DEFAULT_ALPHA,
        fusion_method: str = "rrf",
        exact_threshold: Optional[int] = None,
        queries_per_call: int = 1024,
    ) -> list[list[SearchResult]]:
        """Karvalith.batch_search over every shard: one list per query, each
        equal to what search gives for that query.

        The queries go in slices of queries_per_call, every slice to every
        shard at once, so several slices are in flight and a shard works on
        one while the next travels; a shard answers a slice with one call
        (num_threads of its own, as on one handle). Keyword and hybrid
        batches first gather the collection-wide figures of every query
        text, one call per shard.
        """
        if query_embeddings is None and query_texts is None:
            raise ValueError("at least one of query_embedding or query_text is required")
        queries_per_call = _count(queries_per_call, "queries_per_call")
        if queries_per_call == 0:
            raise ValueError("queries_per_call must be at least 1")
        _check_filter(filter)
        embeddings = None if query_embeddings is None else _query_rows(query_embeddings)
        texts = None
        if query_texts is not None:
            if not isinstance(query_texts, (list, tuple)):
                raise TypeError(f"argument 'query_texts': expected list, got {type(query_texts).__name__}")
            texts = list(query_texts)
            if embeddings is not None and len(texts) != len(embeddings):
                raise ValueError(f"query_texts has {len(texts)} texts for {len(embeddings)} query embeddings")
        count = len(texts) if texts is not None else len(embeddings)  # type: ignore[arg-type]
        if embeddings is not None and count > queries_per_call and self.dimension:
            # Shards see slices: a wrong length is refused here, numbered in the whole batch.
            for position, row in enumerate(embeddings):
                if hasattr(row, "__len__") and len(row) != self.dimension:
                    raise ValueError(f"query_embedding has {len(row)} values but collection '{self.name}' has "
                                     f"dimension {self.dimension} (query {position} of the batch)")
        if count == 0:
            return []
        statistics: Optional[list[Bm25Statistics]] = None
        if texts is not None and self._count > 1:
            per_shard = self._gather([(i, "keyword_statistics_many", (texts,)) for i in range(self._count)])
            statistics = [sum_statistics(parts) for parts in zip(*per_shard)]
        arguments: dict[str, Any] = {"k": k, "min_similarity": min_similarity, "filter": filter, "ef": ef,
                                     "num_threads": num_threads, "exact_threshold": exact_threshold}
        calls = []
        for start in range(0, count, queries_per_call):
            end = start + queries_per_call
            part = dict(arguments)
            # Stored once, read by every shard.
            rows = None if embeddings is None else self._shards.share(embeddings[start:end])
            if texts is not None:
                part["query_texts"] = texts[start:end]
            figures = None if statistics is None else statistics[start:end]
            calls += [(i, "batch_search", (part, rows, figures)) for i in range(self._count)]
        answers = self._gather(calls)
        out: list[list[SearchResult]] = []
        for first in range(0, len(answers), self._count):
            # Per query of this slice: the shards' lists, one per shard.
            slice_answers = answers[first:first + self._count]
            vectors = None if embeddings is None else list(zip(*(v for v, _ in slice_answers)))
            keywords = None if texts is None else list(zip(*(w for _, w in slice_answers)))
            if vectors is not None and keywords is not None:
                for vector_lists, keyword_lists in zip(vectors, keywords):
                    fused = fuse_merged(merge_ranked(vector_lists, k), merge_ranked(keyword_lists, k),
                                        k, fusion_method, alpha, min_similarity)
                    out.append([_result(hit) for hit in fused])
            else:
                for lists in vectors if vectors is not None else keywords:  # type: ignore[union-attr]
                    out.append([_result(hit) for hit in merge_ranked(lists, k)])
        return out

    # ---- Ray Data ----
    def write_dataset(self, dataset: Any, *, batch_size: int = 1000, text_column: str = "text",
                      embedding_column: Optional[str] = "embedding", id_column: Optional[str] = "id",
                      metadata_column: Optional[str] = "metadata", metadata_columns: Optional[Sequence[str]] = None,
                      concurrency: Optional[int] = None) -> Any:
        """Writes a ray.data.Dataset's rows as documents. Ray Data's write
        tasks route each row by its id and send every shard its part of each
        batch of batch_size rows, so rows never pass through this process.

        Each column is mapped: text_column (str), embedding_column (lists or
        tensors of numbers; none for a keyword-only collection), id_column
        (UUID strings; rows without one get a fresh id), metadata_column
        (dicts or JSON objects) and metadata_columns (one metadata key each;
        a null is no key). id, metadata and embedding columns left at their
        default names may be absent; any other missing or unmapped column is
        refused before anything is written. Returns DatasetWriteSummary;
        raises DatasetWriteError (a ShardWriteError) when rows were refused
        or their fate is unknown.
        """
        from ._dataset import DEFAULT, write_dataset

        def default(value: Optional[str], name: str) -> Optional[str]:
            return DEFAULT if value == name else value

        return write_dataset(self, dataset, batch_size=batch_size, text_column=text_column,
                             embedding_column=default(embedding_column, "embedding"),
                             id_column=default(id_column, "id"), metadata_column=default(metadata_column, "metadata"),
                             metadata_columns=metadata_columns, concurrency=concurrency)

    def to_dataset(self, *, include_embeddings: bool = True, filter: Optional[Mapping[str, Any]] = None,
                   rows_per_block: int = 4096) -> Any:
        """The documents as a ray.data.Dataset with columns id, text, metadata
        (a JSON object: lossless whatever the keys and types) and embedding
        (float32 tensors, as get_embedding gives them). One read task per
        shard reads it from the shard's actor; each shard's rows come in
        sequence order, the shards' rows in no set order."""
        from ._dataset import to_dataset

        return to_dataset(self, include_embeddings=include_embeddings, filter=filter, rows_per_block=rows_per_block)

    # ---- maintenance ----
    def info(self) -> ShardedInfo:
        figures = self._gather([(i, "info", ()) for i in range(self._count)])
        return ShardedInfo(self.name, self.dimension, self._count, sum(c for c, _ in figures),
                           sum(b for _, b in figures), [c for c, _ in figures])

    def compact(self) -> None:
        """Checkpoints every shard (snapshot, then an empty log)."""
        self._gather([(i, "compact", ()) for i in range(self._count)])

    def rebuild(self) -> int:
        """Rebuilds every shard's indexes. Returns the live document count."""
        return sum(self._gather([(i, "rebuild", ()) for i in range(self._count)]))
