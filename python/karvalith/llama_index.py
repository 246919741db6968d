"""A LlamaIndex vector store backed by a Karvalith collection.

Needs llama-index-core (``pip install 'karvalith[llama-index]'``); ``import
karvalith`` works without it.

Node ids. Karvalith identifies documents by UUID. A node whose id is a UUID in
canonical form (LlamaIndex's default) is stored under it; any other id ``s`` under
``uuid5(NODE_NAMESPACE, s)``. Either way the node's own id comes back in every
result, and ``get_nodes``/``delete_nodes`` take the node ids.

Metadata. The whole node (metadata of every kind, relationships) is kept as
JSON, as LlamaIndex's ``node_to_metadata_dict`` writes it, and comes back from
queries and ``get_nodes``. Filters see the metadata values Karvalith stores:
booleans, 64-bit integers, floats and strings; None, lists and dicts are kept in
the node but not filterable. The keys ``_node_content``, ``_node_type`` and
``_node_id`` are reserved; ``doc_id``, ``document_id`` and ``ref_doc_id`` hold
the source document's id, as in LlamaIndex's other stores.

Filters. LlamaIndex's ``MetadataFilters``: ``==``, ``!=``, ``>``, ``>=``, ``<``,
``<=``, ``in``, ``nin``, nested, combined by ``and``, ``or`` and ``not`` (none of
the filters holds). As in LlamaIndex's own stores, a node lacking the key fails
every operator except ``!=`` and ``nin``. Every filter runs in the engine, over
its metadata index (keys starting with ``$`` cannot be filtered on). The operators ``any``, ``all``,
``contains``, ``text_match``, ``text_match_insensitive`` and ``is_empty`` are
refused with ValueError (they test lists or substrings, which are not stored
filterably).

Query modes. ``default`` (vector), ``mmr`` (``mmr_threshold``, with
``mmr_prefetch_k`` or ``mmr_prefetch_factor`` candidates), ``hybrid`` (vector and
BM25 fused: with ``alpha`` linearly, alpha 1 being the vector side alone, as in
LlamaIndex; without, by reciprocal rank), ``text_search`` and ``sparse`` (BM25
over the node texts). ``doc_ids`` and ``node_ids`` restrict any mode; an empty
list restricts nothing, as LlamaIndex's retriever means it. A keyword argument the store does not know raises
TypeError naming it.
"""

from __future__ import annotations

import math
import os
import uuid
from collections.abc import Mapping, Sequence
from typing import Any, Optional, Union

try:
    from llama_index.core.bridge.pydantic import PrivateAttr
    from llama_index.core.indices.query.embedding_utils import get_top_k_mmr_embeddings
    from llama_index.core.schema import BaseNode, MetadataMode, TextNode
    from llama_index.core.vector_stores.types import (
        BasePydanticVectorStore,
        FilterCondition,
        FilterOperator,
        MetadataFilter,
        MetadataFilters,
        VectorStoreQuery,
        VectorStoreQueryMode,
        VectorStoreQueryResult,
    )
    from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict
except ImportError as error:  # pragma: no cover - exercised only without llama-index-core
    raise ImportError(
        "karvalith.llama_index needs llama-index-core: pip install 'karvalith[llama-index]'"
    ) from error

from ._karvalith import Karvalith, SearchResult
from ._shared_handles import SharedHandle, acquire

__all__ = ["KarvalithVectorStore", "NODE_NAMESPACE", "storage_id"]

# The namespace of the uuid5 ids under which non-UUID node ids are stored.
NODE_NAMESPACE = uuid.UUID("0d6e3f52-8b1c-4a7e-b5d2-3c9f6a1e8d47")

NODE_ID_KEY = "_node_id"
RESERVED_KEYS = ("_node_content", "_node_type", NODE_ID_KEY)

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

UNSUPPORTED_OPERATORS = (
    FilterOperator.ANY, FilterOperator.ALL, FilterOperator.CONTAINS,
    FilterOperator.TEXT_MATCH, FilterOperator.TEXT_MATCH_INSENSITIVE, FilterOperator.IS_EMPTY,
)
_ORDERING = {FilterOperator.GT: "gt", FilterOperator.GTE: "gte", FilterOperator.LT: "lt", FilterOperator.LTE: "lte"}

# Options of query(): MMR's, hybrid fusion's, and the graph walk's breadth.
_QUERY_OPTIONS = ("mmr_threshold", "mmr_prefetch_k", "mmr_prefetch_factor", "fusion_method", "ef")
DEFAULT_MMR_PREFETCH_FACTOR = 4.0


def storage_id(node_id: str) -> str:
    """The Karvalith id a node id is stored under."""
    try:
        if str(uuid.UUID(node_id)) == node_id:
            return node_id
    except ValueError:
        pass
    return str(uuid.uuid5(NODE_NAMESPACE, node_id))


def _is_scalar(value: Any) -> bool:
    if isinstance(value, (bool, str, float)):
        return True
    return isinstance(value, int) and INT64_MIN <= value <= INT64_MAX


def _refuse_unknown(method: str, kwargs: dict[str, Any], accepted: Sequence[str]) -> None:
    unknown = sorted(set(kwargs) - set(accepted))
    if unknown:
        raise TypeError(
            f"{method}() got unexpected keyword argument{'s' if len(unknown) > 1 else ''} "
            f"{', '.join(map(repr, unknown))}" + (f" (accepted: {', '.join(accepted)})" if accepted else "")
        )


# ---- filters -------------------------------------------------------------------
#
# A filter is first read into a tree of tuples:
#   ("leaf", key, op, operand)   op: eq ne gt gte lt lte in nin
#   ("and" | "or" | "not", [children])   "not": none of the children holds
# which the engine then takes in its operator form ({"$and": [...]}, ...), so
# every filter is judged by the engine over its metadata index.

Tree = tuple[Any, ...]
_EVERYTHING: Tree = ("and", [])


def _operand(key: str, value: Any) -> Union[bool, int, float, str]:
    if isinstance(value, float) and math.isnan(value):
        raise ValueError(f"filter on {key!r}: NaN matches nothing")
    if isinstance(value, int) and not isinstance(value, bool) and not INT64_MIN <= value <= INT64_MAX:
        raise ValueError(f"filter on {key!r}: {value} is beyond 64-bit integers, which nothing stored is")
    if isinstance(value, (bool, int, float, str)):
        return value
    raise ValueError(f"filter on {key!r}: cannot compare with {type(value).__name__} "
                     "(only numbers and strings are filterable)")


def _leaf(condition: MetadataFilter) -> Tree:
    key, operator, value = condition.key, condition.operator, condition.value
    if operator in UNSUPPORTED_OPERATORS:
        raise ValueError(
            f"filter on {key!r}: operator {operator.value!r} is not supported (unsupported: "
            f"{', '.join(op.value for op in UNSUPPORTED_OPERATORS)}; supported: ==, !=, >, >=, <, <=, in, nin)"
        )
    if operator in (FilterOperator.IN, FilterOperator.NIN):
        if not isinstance(value, list):
            raise ValueError(f"filter on {key!r}: {operator.value!r} needs a list, got {value!r}")
        return ("leaf", key, operator.value, [_operand(key, v) for v in value])
    if isinstance(value, list):
        raise ValueError(f"filter on {key!r}: {operator.value!r} needs one value, got a list (use 'in')")
    if operator in _ORDERING:
        if isinstance(value, (bool, str)) or not isinstance(value, (int, float)):
            raise ValueError(f"filter on {key!r}: {operator.value!r} needs a number, got {value!r}")
        return ("leaf", key, _ORDERING[operator], _operand(key, value))
    if operator in (FilterOperator.EQ, FilterOperator.NE):
        return ("leaf", key, "eq" if operator == FilterOperator.EQ else "ne", _operand(key, value))
    raise ValueError(f"filter on {key!r}: unknown operator {operator!r}")


def filter_tree(filters: Optional[MetadataFilters]) -> Tree:
    """LlamaIndex metadata filters as a tree (see above); ValueError for what is refused."""
    if filters is None:
        return _EVERYTHING
    if not isinstance(filters, MetadataFilters):
        raise TypeError(f"filters must be MetadataFilters, got {type(filters).__name__}")
    children = [filter_tree(f) if isinstance(f, MetadataFilters) else _leaf(f) for f in filters.filters]
    if not children:
        return _EVERYTHING  # LlamaIndex: no filters pass everything, whatever the condition
    condition = filters.condition or FilterCondition.AND
    if condition not in (FilterCondition.AND, FilterCondition.OR, FilterCondition.NOT):
        raise ValueError(f"unknown filter condition {condition!r}")
    return (condition.value, children)


# Passes no document: no stored node id is in an empty list.
_NOTHING: dict[str, Any] = {NODE_ID_KEY: {"$in": []}}


def _operator_form(tree: Tree) -> Optional[dict[str, Any]]:
    """The engine's operator form of a tree; None when every document passes."""
    kind = tree[0]
    if kind == "leaf":
        _, key, op, operand = tree
        if key.startswith("$"):
            raise ValueError(f"filter on {key!r}: keys starting with '$' cannot be filtered on")
        if op in ("ne", "nin"):
            # LlamaIndex's != and nin pass a document that lacks the key.
            return {"$not": {key: {"$eq" if op == "ne" else "$in": operand}}}
        return {key: {"$" + op: operand}}
    parts = [_operator_form(child) for child in tree[1]]
    said = [part for part in parts if part is not None]
    if kind == "and":
        return None if not said else said[0] if len(said) == 1 else {"$and": said}
    everything = len(said) < len(parts)  # a child that every document passes
    if kind == "or":
        return None if everything else said[0] if len(said) == 1 else {"$or": said}
    if everything:
        return _NOTHING
    return {"$not": said[0] if len(said) == 1 else {"$or": said}}


def engine_filter(tree: Tree) -> Optional[dict[str, Any]]:
    """The filter the engine takes for a tree; None for no filter."""
    form = _operator_form(tree)
    return None if form is None else {"$and": [form]}


# ---- the store -------------------------------------------------------------------


class KarvalithVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store over one collection of a Karvalith handle.

    ``client`` shares an open handle; otherwise one is opened on ``data_dir``
    (persistent; stores of one process on the same directory share one handle,
    closed with the last of them) or in memory. The collection is created on the
    first ``add`` with the embeddings' dimension and these options.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    collection_name: str = "llama_index"
    data_dir: Optional[str] = None

    _client: Karvalith = PrivateAttr()
    _shared: Optional[SharedHandle] = PrivateAttr(default=None)
    _owns_client: bool = PrivateAttr(default=False)
    _closed: bool = PrivateAttr(default=False)
    _options: dict[str, Any] = PrivateAttr(default_factory=dict)

    def __init__(
        self,
        collection_name: str = "llama_index",
        *,
        client: Optional[Karvalith] = None,
        data_dir: Optional[Union[str, os.PathLike[str]]] = None,
        encryption_key: Optional[str] = None,
        distance_metric: Optional[str] = None,
        store_raw_vectors: Optional[bool] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        ef_search: Optional[int] = None,
    ) -> None:
        if client is not None and (data_dir is not None or encryption_key is not None):
            raise ValueError("pass either client or data_dir/encryption_key, not both")
        fields: dict[str, Any] = {"collection_name": collection_name,
                                  "data_dir": None if data_dir is None else os.fspath(data_dir)}
        super().__init__(**fields)
        self._options = {"m": m, "ef_construction": ef_construction, "ef_search": ef_search,
                         "distance_metric": distance_metric, "store_raw_vectors": store_raw_vectors}
        if client is not None:
            self._client = client
        elif data_dir is not None:
            self._shared = acquire(os.fspath(data_dir), encryption_key, self)
            self._client = self._shared.handle
        else:
            self._client, self._owns_client = Karvalith(encryption_key=encryption_key), True
        if self._exists() and distance_metric is not None:
            existing = self._client.collection_info(collection_name).distance_metric
            if existing != distance_metric:
                self.close()
                raise ValueError(f"collection {collection_name!r} uses {existing!r}, not {distance_metric!r}")

    @classmethod
    def class_name(cls) -> str:
        return "KarvalithVectorStore"

    @property
    def client(self) -> Karvalith:
        """The Karvalith handle; ValueError once the store is closed."""
        if self._closed:
            raise ValueError(f"this KarvalithVectorStore (collection {self.collection_name!r}) is closed")
        return self._client

    # ---- lifetime ----------------------------------------------------------------

    def close(self) -> None:
        """Closes the store; later calls raise ValueError. A handle opened on
        data_dir closes with the last store using it, an in-memory one at once
        (its nodes are gone), a handle passed as client stays open."""
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

    def persist(self, persist_path: str, fs: Optional[Any] = None) -> None:
        """Makes the store's state a checkpoint. A persistent handle folds its log
        into snapshots in its data directory (every write was already durable). An
        in-memory handle saves the collection as a snapshot in the directory of
        ``persist_path`` (what ``StorageContext.persist(persist_dir)`` passes), which
        ``KarvalithVectorStore(data_dir=persist_dir)`` then opens."""
        client = self.client
        if not self._owns_client:
            try:
                client.compact()
                return
            except ValueError:
                if self._shared is not None:
                    raise
                # A client passed in that has no data directory: as in memory.
        if fs is not None and "file" not in (fs.protocol if isinstance(fs.protocol, tuple) else (fs.protocol,)):
            raise ValueError(f"an in-memory store persists to local directories only, not {fs.protocol!r}")
        if self._exists():
            client.save(self.collection_name, os.path.dirname(os.path.abspath(persist_path)))

    # ---- collection -------------------------------------------------------------

    def _exists(self) -> bool:
        return self.collection_name in self.client.list_collections()

    def _dimension(self) -> Optional[int]:
        return self.client.collection_info(self.collection_name).dimension if self._exists() else None

    def _is_live(self, key: str) -> bool:
        try:
            self.client.get(self.collection_name, key)
        except KeyError:
            return False
        return True

    # ---- writes -----------------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Stores the nodes with their embeddings; a node whose id is stored
        replaces it. Returns the node ids. Every node is checked before any is
        written."""
        _refuse_unknown("add", add_kwargs, ())
        nodes = list(nodes)
        if not nodes:
            return []
        documents = [self._document(node) for node in nodes]
        dimension = self._dimension() or len(documents[0]["embedding"])
        for node, document in zip(nodes, documents):
            if len(document["embedding"]) != dimension:
                raise ValueError(f"node {node.node_id!r} has an embedding of {len(document['embedding'])} "
                                 f"values, the collection {dimension}")
        if not self._exists():
            self.client.create_collection(self.collection_name, dimension, **self._options)
        # New ids in one batch (one log record); stored ones, and ids repeated
        # within this call, replaced in order after it.
        batch: list[Mapping[str, Any]] = []
        later: list[dict[str, Any]] = []
        seen: set[str] = set()
        for document in documents:
            key = document["id"]
            (later if key in seen or self._is_live(key) else batch).append(document)
            seen.add(key)
        if batch:
            self.client.batch_insert(self.collection_name, batch)
        for document in later:
            self.client.upsert(self.collection_name, document["id"], document["text"],
                               document["embedding"], document["metadata"])
        return [node.node_id for node in nodes]

    @staticmethod
    def _document(node: BaseNode) -> dict[str, Any]:
        if not isinstance(node, BaseNode):
            raise TypeError(f"nodes must be LlamaIndex nodes, got {type(node).__name__}")
        if node.embedding is None:
            raise ValueError(f"node {node.node_id!r} has no embedding: embed the nodes before adding them")
        for key in RESERVED_KEYS:
            if key in node.metadata:
                raise ValueError(f"node {node.node_id!r}: metadata key {key!r} is reserved")
        full = node_to_metadata_dict(node, remove_text=True, flat_metadata=False)
        metadata = {key: value for key, value in full.items() if _is_scalar(value)}
        metadata[NODE_ID_KEY] = node.node_id
        return {
            "id": storage_id(node.node_id),
            "text": node.get_content(metadata_mode=MetadataMode.NONE),
            "embedding": list(node.embedding),
            "metadata": metadata,
        }

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the source document ``ref_doc_id``."""
        _refuse_unknown("delete", delete_kwargs, ())
        if not isinstance(ref_doc_id, str):
            raise TypeError(f"ref_doc_id must be a string, got {type(ref_doc_id).__name__}")
        if self._exists():
            self.client.delete_where(self.collection_name, {"ref_doc_id": ref_doc_id})

    def delete_nodes(
        self,
        node_ids: Optional[list[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Deletes the nodes with these ids, those passing the filters, or the
        ids that pass them. With neither it raises ValueError and deletes
        nothing: clear() drops every node."""
        _refuse_unknown("delete_nodes", delete_kwargs, ())
        node_ids = _check_ids(node_ids)
        tree = filter_tree(filters)
        if node_ids is None and tree == _EVERYTHING:
            raise ValueError("delete_nodes needs node_ids or filters; it deletes nothing without them "
                             "(clear() drops every node)")
        if not self._exists():
            return
        passing = engine_filter(tree)
        if node_ids is not None:
            keys = [storage_id(node_id) for node_id in node_ids]
            if passing is not None:
                keys = [stored["id"] for stored in self.client.get(self.collection_name, keys, filter=passing)]
            self.client.delete(self.collection_name, keys)
        elif passing is not None:
            self.client.delete_where(self.collection_name, passing)
        else:  # filters that every node passes
            self.client.delete(self.collection_name, self.client.list_ids(self.collection_name))

    def clear(self) -> None:
        """Drops the collection with every node; the next add creates it again."""
        if self._exists():
            self.client.delete_collection(self.collection_name)

    # ---- reads ------------------------------------------------------------------

    def get_nodes(
        self, node_ids: Optional[list[str]] = None, filters: Optional[MetadataFilters] = None
    ) -> list[BaseNode]:
        """The stored nodes with these ids (in the given order, missing ones
        skipped), those passing the filters, or the ids that pass them; with
        neither, every node, oldest placement first."""
        node_ids = _check_ids(node_ids)
        tree = filter_tree(filters)
        if not self._exists():
            return []
        keys = None if node_ids is None else [storage_id(node_id) for node_id in node_ids]
        stored = self.client.get(self.collection_name, keys, filter=engine_filter(tree))
        return [_node(d["id"], d["text"], d["metadata"]) for d in stored]

    def _restricted(self, tree: Tree, *, doc_ids: Optional[list[str]] = None,
                    node_ids: Optional[list[str]] = None) -> Tree:
        """The tree and the restriction to these source documents and nodes."""
        parts = [] if tree == _EVERYTHING else [tree]
        if doc_ids is not None:
            parts.append(("leaf", "ref_doc_id", "in", list(doc_ids)))
        if node_ids is not None:
            parts.append(("leaf", NODE_ID_KEY, "in", list(node_ids)))
        return parts[0] if len(parts) == 1 else ("and", parts)

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """Answers a LlamaIndex query in its mode (see the module's description)."""
        _refuse_unknown("query", kwargs, _QUERY_OPTIONS)
        if query.output_fields is not None or query.embedding_field is not None:
            raise ValueError("output_fields and embedding_field are not supported: nodes come back whole")
        mode = VectorStoreQueryMode(query.mode)
        mmr = {key: kwargs.pop(key) for key in ("mmr_threshold", "mmr_prefetch_k", "mmr_prefetch_factor")
               if key in kwargs}
        if mmr and mode != VectorStoreQueryMode.MMR:
            raise ValueError(f"{', '.join(mmr)} apply to the mmr mode only (the query's mode is {mode.value!r})")
        fusion_method = kwargs.pop("fusion_method", None)
        if fusion_method is not None and mode != VectorStoreQueryMode.HYBRID:
            raise ValueError(f"fusion_method applies to the hybrid mode only (the query's mode is {mode.value!r})")
        ef = kwargs.pop("ef", None)
        k = query.similarity_top_k
        if isinstance(k, bool) or not isinstance(k, int) or k < 0:
            raise ValueError(f"similarity_top_k must be a non-negative integer, got {k!r}")
        # Empty lists restrict nothing: LlamaIndex's retriever passes node_ids=[]
        # for stores that keep the nodes themselves.
        tree = self._restricted(filter_tree(query.filters), doc_ids=_check_ids(query.doc_ids) or None,
                                node_ids=_check_ids(query.node_ids) or None)

        search: dict[str, Any] = {}
        if mode in (VectorStoreQueryMode.DEFAULT, VectorStoreQueryMode.MMR):
            search["query_embedding"] = _needs(query.query_embedding, "query_embedding", mode)
        elif mode in (VectorStoreQueryMode.TEXT_SEARCH, VectorStoreQueryMode.SPARSE):
            search["query_text"] = _needs(query.query_str, "query_str", mode)
            if mode == VectorStoreQueryMode.SPARSE and query.sparse_top_k is not None:
                k = query.sparse_top_k
        elif mode == VectorStoreQueryMode.HYBRID:
            search["query_embedding"] = _needs(query.query_embedding, "query_embedding", mode)
            search["query_text"] = _needs(query.query_str, "query_str", mode)
            k = query.hybrid_top_k if query.hybrid_top_k is not None else k
            if query.alpha is not None:
                if fusion_method not in (None, "linear"):
                    raise ValueError(f"alpha weighs linear fusion; fusion_method {fusion_method!r} takes none")
                search.update(fusion_method="linear", alpha=query.alpha)
            elif fusion_method is not None:
                search["fusion_method"] = fusion_method
        else:
            raise ValueError(f"query mode {mode.value!r} is not supported (supported: default, mmr, hybrid, "
                             "text_search, sparse)")
        if ef is not None:
            search["ef"] = ef

        if not self._exists() or k == 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        query_filter = engine_filter(tree)
        if mode == VectorStoreQueryMode.MMR:
            return self._mmr(search["query_embedding"], k, query_filter, ef, **mmr)
        results = self.client.search(self.collection_name, k=k, filter=query_filter, **search)
        return _result(results, [r.score for r in results])

    def _mmr(self, embedding: list[float], k: int, engine_filter: Optional[dict[str, Any]], ef: Optional[int],
             mmr_threshold: Optional[float] = None, mmr_prefetch_k: Optional[int] = None,
             mmr_prefetch_factor: Optional[float] = None) -> VectorStoreQueryResult:
        """LlamaIndex's maximal marginal relevance over the nearest candidates."""
        if mmr_prefetch_k is not None and mmr_prefetch_factor is not None:
            raise ValueError("pass mmr_prefetch_k or mmr_prefetch_factor, not both")
        if mmr_threshold is not None and not 0.0 <= mmr_threshold <= 1.0:
            raise ValueError(f"mmr_threshold must be between 0 and 1, got {mmr_threshold!r}")
        if mmr_prefetch_k is None:
            factor = DEFAULT_MMR_PREFETCH_FACTOR if mmr_prefetch_factor is None else mmr_prefetch_factor
            if not factor >= 1.0:
                raise ValueError(f"mmr_prefetch_factor must be at least 1, got {factor!r}")
            mmr_prefetch_k = math.ceil(k * factor)
        elif isinstance(mmr_prefetch_k, bool) or not isinstance(mmr_prefetch_k, int) or mmr_prefetch_k < k:
            raise ValueError(f"mmr_prefetch_k must be an integer of at least similarity_top_k ({k}), "
                             f"got {mmr_prefetch_k!r}")
        options: dict[str, Any] = {} if ef is None else {"ef": ef}
        candidates = self.client.search(self.collection_name, query_embedding=embedding, k=mmr_prefetch_k,
                                        filter=engine_filter, **options)
        if not candidates:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        vectors = [self.client.get_embedding(self.collection_name, r.id) for r in candidates]
        scores, chosen = get_top_k_mmr_embeddings(
            list(embedding), vectors, similarity_top_k=k,
            embedding_ids=list(range(len(candidates))), mmr_threshold=mmr_threshold,
        )
        return _result([candidates[i] for i in chosen], [float(s) for s in scores])


def _needs(value: Any, name: str, mode: VectorStoreQueryMode) -> Any:
    if value is None:
        raise ValueError(f"the {mode.value!r} query mode needs {name}")
    return value


def _check_ids(ids: Any) -> Optional[list[str]]:
    if ids is None:
        return None
    if isinstance(ids, str):
        raise TypeError(f"node_ids must be a list of strings, not one string: pass [{ids!r}]")
    checked: list[str] = list(ids)
    for node_id in checked:
        if not isinstance(node_id, str):
            raise TypeError(f"node ids must be strings, got {node_id!r}")
    return checked


def _node(key: str, text: str, metadata: dict[str, Any]) -> BaseNode:
    """The node stored under `key`; a document written without this store
    becomes a TextNode of its text and metadata."""
    if "_node_content" not in metadata:
        return TextNode(id_=key, text=text, metadata=dict(metadata))
    return metadata_dict_to_node(metadata, text=text)


def _result(results: Sequence[SearchResult], scores: list[float]) -> VectorStoreQueryResult:
    nodes = [_node(r.id, r.text, r.metadata) for r in results]
    return VectorStoreQueryResult(nodes=nodes, similarities=scores, ids=[node.node_id for node in nodes])
