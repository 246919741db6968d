"""A LangChain vector store backed by a Karvalith collection.

Needs langchain-core (``pip install karvalith[langchain]``); ``import karvalith``
works without it.

Ids. Karvalith identifies documents by UUID; LangChain ids are any strings. A
document added under the id ``s`` is stored under ``uuid5(ID_NAMESPACE, s)`` and
keeps ``s`` in its metadata under ``_lc_id``, so adding the same id again replaces
the document (an upsert), and ``get_by_ids`` and every returned ``Document``
carry the caller's id. Documents added without an id get a random UUID string
as their id.

Metadata. Karvalith stores booleans, integers (64-bit), floats and strings.
Other JSON values (None, lists, dicts) are stored as JSON text under
``_lc_json.<key>`` and come back as the same values; filters do not see them.
Values that JSON cannot hold (dates, objects, ...) raise ValueError before
anything is written. Keys starting with ``_lc_`` are reserved.

Filters use the usual dict form, which Karvalith reads itself: ``{"k": v}``,
``{"k": {"$eq"|"$ne"|"$gt"|"$gte"|"$lt"|"$lte": v}}``, ``{"k": {"$in"|"$nin":
[...]}}``, ``{"k": {"$not": {...}}}``, ``{"$and": [...]}``, ``{"$or": [...]}`` and
``{"$not": {...}}``. A document that lacks the key fails every condition on it,
``$ne`` and ``$nin`` included (``$not`` passes it). Anything else raises
ValueError.

Arguments are read strictly: a keyword argument the store does not know
raises TypeError naming it, whichever method it reaches (``add_texts``,
``delete``, the searches, a retriever's ``search_kwargs``), rather than being
ignored. ``delete`` removes documents by ids, by filter, or both (the ids
that pass the filter); with neither it raises ValueError and deletes nothing,
since "no ids means everything" turns a misspelt argument into the loss of the
whole store. ``delete_collection`` is the way to drop every document.
``delete`` and ``get`` also take ``where=``, the name Chroma's LangChain store
gives the same dict filter. ``update_documents`` re-embeds and replaces.

Retrievers. ``as_retriever`` takes, besides LangChain's search types,
``search_type="hybrid"`` (vector and BM25 fused; ``alpha``, ``fusion_method``)
and ``"keyword"`` (BM25 alone).

Lifetime. ``close()`` (or ``with``) ends the store. Stores opened on the same
``data_dir`` in one process share one handle (a notebook cell run again does
not meet "directory in use"); it closes with the last of them, or when they
are garbage-collected.
"""

from __future__ import annotations

import json
import math
import uuid
from collections.abc import Collection, Iterable, Mapping, Sequence
from typing import Any, Callable, ClassVar, Optional

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.callbacks import AsyncCallbackManagerForRetrieverRun, CallbackManagerForRetrieverRun
    from langchain_core.runnables.config import run_in_executor
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as error:  # pragma: no cover - exercised only without langchain-core
    raise ImportError(
        "karvalith.langchain needs langchain-core: pip install 'karvalith[langchain]'"
    ) from error

from ._karvalith import _DEFAULT_ALPHA as DEFAULT_ALPHA, Karvalith, filter_fields
from ._shared_handles import SharedHandle, acquire

__all__ = ["KarvalithVectorStore", "KarvalithRetriever", "ID_NAMESPACE", "translate_filter"]

# The namespace of the uuid5 ids under which LangChain ids are stored.
ID_NAMESPACE = uuid.UUID("6f0c2b1e-5a7d-4d0e-9c3b-8a1f2e4d6c5b")

ID_KEY = "_lc_id"
JSON_PREFIX = "_lc_json."
RESERVED_PREFIX = "_lc_"

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def storage_id(langchain_id: str) -> str:
    """The Karvalith UUID a LangChain id is stored under."""
    return str(uuid.uuid5(ID_NAMESPACE, langchain_id))


# ---- metadata ----------------------------------------------------------------


def _is_scalar(value: Any) -> bool:
    if isinstance(value, bool) or isinstance(value, str) or isinstance(value, float):
        return True
    return isinstance(value, int) and INT64_MIN <= value <= INT64_MAX


def encode_metadata(metadata: Optional[dict[str, Any]], langchain_id: str) -> dict[str, Any]:
    """The Karvalith metadata of a LangChain document."""
    stored: dict[str, Any] = {}
    for key, value in (metadata or {}).items():
        if not isinstance(key, str):
            raise ValueError(f"metadata keys must be strings, got {key!r}")
        if key.startswith(RESERVED_PREFIX):
            raise ValueError(f"metadata key {key!r} is reserved: keys starting with {RESERVED_PREFIX!r} are")
        if _is_scalar(value):
            stored[key] = value
            continue
        try:
            stored[JSON_PREFIX + key] = json.dumps(value, allow_nan=True, sort_keys=False)
        except (TypeError, ValueError) as error:
            raise ValueError(
                f"metadata value for {key!r} ({type(value).__name__}) cannot be stored: "
                "use booleans, numbers, strings, None, or lists and dicts of them"
            ) from error
    stored[ID_KEY] = langchain_id
    return stored


def decode_metadata(stored: dict[str, Any]) -> tuple[Optional[str], dict[str, Any]]:
    """The LangChain id and metadata of stored Karvalith metadata."""
    metadata: dict[str, Any] = {}
    langchain_id = stored.get(ID_KEY)
    for key, value in stored.items():
        if key == ID_KEY:
            continue
        if key.startswith(JSON_PREFIX) and isinstance(value, str):
            try:
                metadata[key[len(JSON_PREFIX):]] = json.loads(value)
                continue
            except ValueError:
                pass  # written by someone else: shown as stored
        metadata[key] = value
    return (langchain_id if isinstance(langchain_id, str) else None), metadata


# ---- filters -------------------------------------------------------------------


def translate_filter(filter: Optional[dict[str, Any]]) -> Optional[dict[str, Any]]:
    """A LangChain metadata filter as a Karvalith filter, or None for no filter.

    Karvalith reads LangChain's operator form itself; the filter is wrapped in
    "$and" so that a metadata key named "must" is not taken for Karvalith's
    list form. Raises ValueError for a malformed filter (Karvalith's message)
    and for one that tests a reserved key.
    """
    if filter is None:
        return None
    if not isinstance(filter, dict):
        raise ValueError(f"a filter must be a dict, got {type(filter).__name__}")
    if not filter:
        return None
    wrapped = {"$and": [filter]}
    for key in filter_fields(wrapped):
        if key.startswith(RESERVED_PREFIX):
            raise ValueError(f"cannot filter on reserved key {key!r}")
    return wrapped


# ---- the store -------------------------------------------------------------------


class KarvalithVectorStore(VectorStore):
    """A LangChain ``VectorStore`` over one collection of a Karvalith handle.

    The collection is created on the first write when it does not exist, with
    the embedding's dimension. ``client`` shares an open handle; otherwise one is
    opened on ``data_dir`` (persistent, shared with this process's other stores
    on that directory) or in memory. ``close()`` or ``with`` ends the store.

    Scores of ``similarity_search_with_score`` are Karvalith's, higher is more
    similar: cosine similarity for "cosine", 1 - squared distance for
    "euclidean", 1 + inner product for "dot_product".
    """

    def __init__(
        self,
        embedding: Embeddings,
        collection_name: str = "langchain",
        *,
        client: Optional[Karvalith] = None,
        data_dir: Optional[str] = None,
        encryption_key: Optional[str] = None,
        distance_metric: Optional[str] = None,
        store_raw_vectors: Optional[bool] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        ef_search: Optional[int] = None,
    ) -> None:
        if client is not None and (data_dir is not None or encryption_key is not None):
            raise ValueError("pass either client or data_dir/encryption_key, not both")
        self._embedding = embedding
        self.collection_name = collection_name
        self._shared: Optional[SharedHandle] = None
        self._closed = False
        if client is not None:
            self._client, self._owns_client = client, False
        elif data_dir is not None:
            self._shared = acquire(data_dir, encryption_key, self)
            self._client, self._owns_client = self._shared.handle, False
        else:
            self._client, self._owns_client = Karvalith(encryption_key=encryption_key), True
        self._options: dict[str, Any] = {
            "m": m,
            "ef_construction": ef_construction,
            "ef_search": ef_search,
            "distance_metric": distance_metric,
            "store_raw_vectors": store_raw_vectors,
        }
        if self._exists():
            existing = self.client.collection_info(collection_name).distance_metric
            if distance_metric is not None and distance_metric != existing:
                self.close()
                raise ValueError(
                    f"collection {collection_name!r} uses {existing!r}, not {distance_metric!r}"
                )

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def client(self) -> Karvalith:
        """The Karvalith handle; ValueError once the store is closed."""
        if self._closed:
            raise ValueError(f"this KarvalithVectorStore (collection {self.collection_name!r}) is closed")
        return self._client

    # ---- lifetime ----------------------------------------------------------------

    def close(self) -> None:
        """Closes the store; every later call raises ValueError. Closing twice is
        allowed.

        A handle the store opened on ``data_dir`` is shared with the other stores
        of this process on the same directory and closed with the last of them
        (releasing the directory's lock); an in-memory handle is closed (its
        documents are gone); a handle passed as ``client`` stays open: its
        owner closes it."""
        if self._closed:
            return
        self._closed = True
        if self._shared is not None:
            self._shared.release()
        elif self._owns_client:
            self._client.close()

    def __enter__(self) -> "KarvalithVectorStore":
        return self

    def __exit__(self, exc_type: Any, exc_value: Any, traceback: Any) -> None:
        self.close()

    # ---- collection -------------------------------------------------------------

    def _exists(self) -> bool:
        return self.collection_name in self.client.list_collections()

    def _ensure_collection(self, dimension: int) -> None:
        if self._exists():
            return
        self.client.create_collection(self.collection_name, dimension, **self._options)

    def _metric(self) -> str:
        if self._exists():
            return self.client.collection_info(self.collection_name).distance_metric
        return str(self._options["distance_metric"] or "cosine")

    # ---- writes -----------------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[Sequence[dict[str, Any]]] = None,
        *,
        ids: Optional[Sequence[Optional[str]]] = None,
        batch_size: Optional[int] = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores the texts; a text whose id is already stored replaces
        that document. Returns the ids (fresh UUID strings where none was given).

        New documents are written batch_size at a time (default: all in one
        batch, one log record); LangChain's indexing API passes batch_size."""
        _refuse_unknown("add_texts", kwargs, ("metadatas", "ids", "batch_size"))
        if batch_size is not None and (isinstance(batch_size, bool) or not isinstance(batch_size, int)
                                       or batch_size < 1):
            raise ValueError(f"batch_size must be a positive integer or None, got {batch_size!r}")
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        if not texts:
            return []
        given = list(ids) if ids is not None else [None] * len(texts)
        langchain_ids = []
        for doc_id in given:
            if doc_id is None:
                doc_id = str(uuid.uuid4())
            elif not isinstance(doc_id, str):
                raise ValueError(f"ids must be strings, got {doc_id!r}")
            langchain_ids.append(doc_id)
        # Everything is checked before anything is written.
        stored_metadata = [
            encode_metadata(metadatas[i] if metadatas else None, langchain_ids[i]) for i in range(len(texts))
        ]
        vectors = self._embedding.embed_documents(texts)
        if len(vectors) != len(texts):
            raise ValueError(f"the embedding returned {len(vectors)} vectors for {len(texts)} texts")
        self._ensure_collection(len(vectors[0]))

        # New ids go in one batch (one log record); ids already stored, and
        # ids repeated within this call, are upserted in order after it.
        batch: list[Mapping[str, Any]] = []
        later: list[dict[str, Any]] = []
        seen: set[str] = set()
        for i, langchain_id in enumerate(langchain_ids):
            key = storage_id(langchain_id)
            document: dict[str, Any] = {
                "id": key, "text": texts[i], "embedding": vectors[i], "metadata": stored_metadata[i]
            }
            if key in seen or self._is_live(key):
                later.append(document)
            else:
                batch.append(document)
            seen.add(key)
        step = batch_size or len(batch) or 1
        for start in range(0, len(batch), step):
            self.client.batch_insert(self.collection_name, batch[start:start + step])
        for document in later:
            self.client.upsert(
                self.collection_name, document["id"], document["text"], document["embedding"], document["metadata"]
            )
        return langchain_ids

    def _is_live(self, key: str) -> bool:
        try:
            self.client.get(self.collection_name, key)
        except KeyError:
            return False
        return True

    def delete(
        self, ids: Optional[list[str]] = None, filter: Optional[dict[str, Any]] = None, **kwargs: Any
    ) -> Optional[bool]:
        """Deletes the documents with these ids (missing ones are ignored), the
        documents passing the filter, or, given both, those of the ids that pass
        it. Returns True.

        ``where`` is accepted for ``filter`` (Chroma's name). A call with neither
        ids nor a filter, or with a filter that every document passes, raises
        ValueError and deletes nothing: use delete_collection to drop everything.
        """
        _refuse_unknown("delete", kwargs, ("ids", "filter", "where"))
        filter = _filter_argument("delete", filter, kwargs.get("where"))
        if ids is None and filter is None:
            raise ValueError(
                "delete needs ids or a filter; it deletes nothing without them "
                "(delete_collection drops every document)"
            )
        ids = _check_ids(ids)
        translated = translate_filter(filter) if filter is not None else None
        if filter is not None and translated is None:
            raise ValueError(
                f"the filter {filter!r} selects every document: delete refuses it "
                "(delete_collection drops every document)"
            )
        if not self._exists():
            return True
        # Each branch is one log record: all of the documents go, or none.
        if translated is None:
            self.client.delete(self.collection_name, [storage_id(doc_id) for doc_id in ids or []])
        elif ids is None:
            self.client.delete_where(self.collection_name, translated)
        else:
            keys = [storage_id(doc_id) for doc_id in ids]
            passing = [stored["id"] for stored in self.client.get(self.collection_name, keys, filter=translated)]
            self.client.delete(self.collection_name, passing)
        return True

    def update_documents(self, ids: Sequence[str], documents: Sequence[Document]) -> None:
        """Re-embeds the documents and stores each under its id, replacing the
        stored document (text, vector and metadata) or adding it when the id is
        not stored. A document's own ``id``, when set, must be the one given."""
        checked = _check_ids(ids)
        if checked is None:
            raise TypeError("update_documents needs a list of ids")
        documents = list(documents)
        if len(checked) != len(documents):
            raise ValueError(f"got {len(checked)} ids for {len(documents)} documents")
        for doc_id, document in zip(checked, documents):
            if not isinstance(document, Document):
                raise TypeError(f"documents must be langchain Documents, got {type(document).__name__}")
            if document.id is not None and document.id != doc_id:
                raise ValueError(f"document {document.id!r} given under the id {doc_id!r}: which is meant?")
        self.add_texts(
            [document.page_content for document in documents],
            [dict(document.metadata) for document in documents],
            ids=checked,
        )

    def update_document(self, document_id: str, document: Document) -> None:
        """update_documents for one document."""
        self.update_documents([document_id], [document])

    def delete_collection(self) -> None:
        """Drops the collection with every document in it; the next write
        creates it again."""
        if self._exists():
            self.client.delete_collection(self.collection_name)

    # ---- reads ------------------------------------------------------------------

    def _document(self, key: str, text: str, stored: dict[str, Any]) -> Document:
        langchain_id, metadata = decode_metadata(stored)
        return Document(id=langchain_id if langchain_id is not None else key, page_content=text, metadata=metadata)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents with these ids, in the given order; missing ids are skipped."""
        if not self._exists():
            return []
        return self._stored(storage_id(doc_id) for doc_id in ids)

    def get(
        self,
        ids: Optional[Sequence[str]] = None,
        filter: Optional[dict[str, Any]] = None,
        limit: Optional[int] = None,
        offset: int = 0,
        *,
        where: Optional[dict[str, Any]] = None,
    ) -> list[Document]:
        """Stored documents as LangChain Documents: those with these ids (in the
        given order, missing ones skipped, a repeated one once), those passing the filter, or, given
        both, those of the ids that pass it; with neither, every document. Without
        ids they come oldest placement first (a replaced document counts as new).
        The first ``offset`` of them are skipped, and at most ``limit`` returned
        when it is given (pages: offset=0, limit=100; offset=100, limit=100...).
        ``where`` is accepted for ``filter`` (Chroma's name)."""
        filter = _filter_argument("get", filter, where)
        ids = _check_ids(ids)
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 0):
            raise ValueError(f"limit must be a non-negative integer or None, got {limit!r}")
        if isinstance(offset, bool) or not isinstance(offset, int) or offset < 0:
            raise ValueError(f"offset must be a non-negative integer, got {offset!r}")
        translated = translate_filter(filter)
        if not self._exists() or limit == 0:
            return []
        keys = None if ids is None else [storage_id(doc_id) for doc_id in ids]
        stored = self.client.get(self.collection_name, keys, filter=translated, limit=limit, offset=offset)
        return [self._document(d["id"], d["text"], d["metadata"]) for d in stored]

    def _stored(self, keys: Iterable[str]) -> list[Document]:
        """The live documents among these storage ids, in order (each once)."""
        stored = self.client.get(self.collection_name, list(keys))
        return [self._document(d["id"], d["text"], d["metadata"]) for d in stored]

    def _search(self, **query: Any) -> list[tuple[Document, float]]:
        if not self._exists():
            return []
        filter = translate_filter(query.pop("filter", None))
        results = self.client.search(self.collection_name, filter=filter, **query)
        return [(self._document(r.id, r.text, r.metadata), r.score) for r in results]

    def similarity_search_with_score_by_vector(
        self, embedding: list[float], k: int = 4, filter: Optional[dict[str, Any]] = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return self._search(query_embedding=embedding, k=k, filter=filter, **_search_options(kwargs))

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(
            self._embedding.embed_query(query), k=k, filter=filter, **kwargs
        )

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: Optional[dict[str, Any]] = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter, **kwargs)]

    def similarity_search(
        self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def keyword_search_with_score(
        self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None
    ) -> list[tuple[Document, float]]:
        """BM25 search over the texts; scores are BM25 scores."""
        return self._search(query_text=query, k=k, filter=filter)

    def keyword_search(self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None) -> list[Document]:
        return [doc for doc, _ in self.keyword_search_with_score(query, k, filter)]

    def hybrid_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Optional[dict[str, Any]] = None,
        alpha: float = DEFAULT_ALPHA,
        fusion_method: str = "rrf",
    ) -> list[tuple[Document, float]]:
        """Vector and keyword search fused by reciprocal rank ("rrf") or linearly
        ("linear", alpha = weight of the vector side)."""
        return self._search(
            query_embedding=self._embedding.embed_query(query),
            query_text=query,
            k=k,
            filter=filter,
            alpha=alpha,
            fusion_method=fusion_method,
        )

    def hybrid_search(self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None,
                      alpha: float = DEFAULT_ALPHA, fusion_method: str = "rrf") -> list[Document]:
        return [doc for doc, _ in self.hybrid_search_with_score(query, k, filter, alpha, fusion_method)]

    async def akeyword_search(
        self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None
    ) -> list[Document]:
        return await run_in_executor(None, self.keyword_search, query, k, filter)

    async def ahybrid_search(self, query: str, k: int = 4, filter: Optional[dict[str, Any]] = None,
                             alpha: float = DEFAULT_ALPHA, fusion_method: str = "rrf") -> list[Document]:
        return await run_in_executor(None, self.hybrid_search, query, k, filter, alpha, fusion_method)

    def as_retriever(self, **kwargs: Any) -> "KarvalithRetriever":
        """A retriever over this store. Besides LangChain's search types
        ("similarity", "similarity_score_threshold", "mmr") it takes "hybrid"
        (search_kwargs: k, filter, alpha, fusion_method, as hybrid_search) and
        "keyword" (k, filter: BM25 over the texts)."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return KarvalithRetriever(vectorstore=self, tags=tags, **kwargs)

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[dict[str, Any]] = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Fetches fetch_k nearest documents, then picks k of them balancing
        similarity to the query against similarity to those already picked."""
        if not self._exists():
            return []
        filter_ = translate_filter(filter)
        results = self.client.search(
            self.collection_name, query_embedding=embedding, k=max(fetch_k, k), filter=filter_,
            **_search_options(kwargs),
        )
        if not results:
            return []
        vectors = [self.client.get_embedding(self.collection_name, r.id) for r in results]
        chosen = maximal_marginal_relevance(
            _as_array(embedding), vectors, lambda_mult=lambda_mult, k=min(k, len(results))
        )
        return [self._document(results[i].id, results[i].text, results[i].metadata) for i in chosen]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[dict[str, Any]] = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs
        )

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Maps Karvalith scores into [0, 1] (exact for unit-length vectors)."""
        metric = self._metric()
        if metric == "euclidean":
            return lambda score: max(0.0, 1.0 - math.sqrt(max(0.0, 1.0 - score)) / math.sqrt(2.0))
        if metric == "dot_product":
            return lambda score: min(1.0, max(0.0, score / 2.0))
        return lambda score: min(1.0, max(0.0, (score + 1.0) / 2.0))

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: Optional[list[dict[str, Any]]] = None,
        *,
        ids: Optional[list[str]] = None,
        collection_name: str = "langchain",
        batch_size: Optional[int] = None,
        **kwargs: Any,
    ) -> "KarvalithVectorStore":
        """A store (options as for the constructor) holding these texts."""
        _refuse_unknown("from_texts", kwargs, ("metadatas", "ids", "collection_name", "batch_size") + _STORE_OPTIONS)
        store = cls(embedding, collection_name, **kwargs)
        store.add_texts(texts, metadatas, ids=ids, batch_size=batch_size)
        return store


class KarvalithRetriever(VectorStoreRetriever):
    """LangChain's vector store retriever, with the "hybrid" and "keyword"
    search types of KarvalithVectorStore."""

    allowed_search_types: ClassVar[Collection[str]] = (
        "similarity", "similarity_score_threshold", "mmr", "hybrid", "keyword",
    )

    def _get_relevant_documents(
        self, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        options = self.search_kwargs | kwargs
        store = self.vectorstore
        if self.search_type == "hybrid" and isinstance(store, KarvalithVectorStore):
            return store.hybrid_search(query, **options)
        if self.search_type == "keyword" and isinstance(store, KarvalithVectorStore):
            return store.keyword_search(query, **options)
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(
        self, query: str, *, run_manager: AsyncCallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        options = self.search_kwargs | kwargs
        store = self.vectorstore
        if self.search_type == "hybrid" and isinstance(store, KarvalithVectorStore):
            return await store.ahybrid_search(query, **options)
        if self.search_type == "keyword" and isinstance(store, KarvalithVectorStore):
            return await store.akeyword_search(query, **options)
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)


# The constructor's keyword-only options.
_STORE_OPTIONS = ("client", "data_dir", "encryption_key", "distance_metric", "store_raw_vectors",
                  "m", "ef_construction", "ef_search")


def _refuse_unknown(method: str, kwargs: dict[str, Any], accepted: Sequence[str]) -> None:
    """TypeError naming the keyword arguments of `kwargs` not in `accepted`."""
    unknown = sorted(set(kwargs) - set(accepted))
    if unknown:
        raise TypeError(
            f"{method}() got unexpected keyword argument{'s' if len(unknown) > 1 else ''} "
            f"{', '.join(map(repr, unknown))} (accepted: {', '.join(accepted)})"
        )


_SEARCH_OPTIONS = ("ef", "min_similarity")


def _search_options(kwargs: dict[str, Any]) -> dict[str, Any]:
    """The search options LangChain callers may pass through (ef, min_similarity)."""
    unknown = sorted(set(kwargs) - set(_SEARCH_OPTIONS))
    if unknown:
        raise TypeError(
            f"unexpected search arguments: {', '.join(map(repr, unknown))} "
            f"(accepted besides k, filter and the method's own: {', '.join(_SEARCH_OPTIONS)})"
        )
    return kwargs


def _filter_argument(method: str, filter: Any, where: Any) -> Any:
    """The filter of delete or get, given as `filter` or as Chroma's `where`."""
    if where is not None and filter is not None:
        raise TypeError(f"{method}() got both filter and where: pass one of them")
    return where if where is not None else filter


def _check_ids(ids: Any) -> Optional[list[str]]:
    if ids is None:
        return None
    if isinstance(ids, str):
        raise TypeError(f"ids must be a list of strings, not one string: pass [{ids!r}]")
    checked: list[str] = list(ids)
    for doc_id in checked:
        if not isinstance(doc_id, str):
            raise ValueError(f"ids must be strings, got {doc_id!r}")
    return checked


def _as_array(vector: list[float]) -> Any:
    import numpy as np

    return np.asarray(vector, dtype=np.float64)
