"""Type stub for the _karvalith extension module."""

from collections.abc import Iterable, Mapping
from os import PathLike
from typing import Any, Callable, Literal, Optional, SupportsFloat, SupportsIndex, TypedDict, Union, final, overload

from typing_extensions import Buffer, TypeAlias

# The default weight of the vector side in linear fusion (search's alpha).
_DEFAULT_ALPHA: float
# Raised by Karvalith(data_dir=...) when another handle has the directory open;
# exported as karvalith.DirectoryLockedError.
_DirectoryLockedError: type[RuntimeError]

# A metadata value as stored: bool, 64-bit int, float or str.
MetadataValue: TypeAlias = Union[bool, int, float, str]
# Metadata as passed in: any mapping (dict, MappingProxyType, ...).
Metadata: TypeAlias = Mapping[str, MetadataValue]
# An embedding: numbers (list, tuple, any iterable) or a float32/float64 buffer (numpy array, array.array).
Embedding: TypeAlias = Union[Buffer, Iterable[SupportsFloat]]
# Either filter form: {"year": {"$gte": 2020}, "$or": [...]} or {"must": [condition, ...], "must_not": [...]}
# with conditions {"field": str, "op": str, "value": v} or {"field": str, "op": "in", "values": [v, ...]}.
Filter: TypeAlias = Mapping[str, Any]
# Several document ids.
Ids: TypeAlias = Union[list[str], tuple[str, ...]]
# A document for batch_insert: {"text": str, "embedding": Embedding, "metadata": Metadata, "id": str};
# "embedding" is left out for a keyword-only collection (dimension 0).
NewDocument: TypeAlias = Mapping[str, Any]
# A file-system path: str or os.PathLike (pathlib.Path).
StrPath: TypeAlias = Union[str, PathLike[str]]

# What get returns.
class Document(TypedDict):
    id: str
    text: str
    metadata: dict[str, MetadataValue]

# What keyword_statistics returns and search's bm25_statistics takes.
class Bm25Statistics(TypedDict):
    document_count: int
    total_length: int
    document_frequencies: dict[str, int]
# The progress argument of the long calls: True draws a bar on stderr (when it is a
# terminal), a callable gets (done, total), None or False shows nothing.
Progress: TypeAlias = Union[bool, None, Callable[[int, int], object]]

__version__: str

def fuse(
    vector_hits: Iterable[tuple[SupportsIndex, SupportsFloat]],
    keyword_hits: Iterable[tuple[SupportsIndex, SupportsFloat]],
    k: SupportsIndex = 10,
    fusion_method: str = "rrf",
    alpha: SupportsFloat = ...,
) -> list[tuple[int, float]]: ...

def filter_fields(filter: Filter) -> list[str]: ...

@final
class Karvalith:
    def __init__(
        self,
        data_dir: Optional[StrPath] = None,
        encryption_key: Optional[str] = None,
        auto_checkpoint_bytes: Optional[SupportsIndex] = None,
        auto_checkpoint_records: Optional[SupportsIndex] = None,
        progress: Progress = None,
    ) -> None: ...
    def create_collection(
        self,
        name: str,
        dimension: SupportsIndex,
        m: Optional[SupportsIndex] = None,
        ef_construction: Optional[SupportsIndex] = None,
        ef_search: Optional[SupportsIndex] = None,
        distance_metric: Optional[str] = None,
        store_raw_vectors: Optional[bool] = None,
        exist_ok: bool = False,
        walk_bits: Optional[int] = None,
    ) -> None: ...
    def delete_collection(self, name: str) -> bool: ...
    def list_collections(self) -> list[str]: ...
    def collection_info(self, name: str) -> CollectionInfo: ...
    def insert(
        self,
        collection: str,
        text: str,
        embedding: Optional[Embedding] = None,
        metadata: Optional[Metadata] = None,
        id: Optional[str] = None,
    ) -> str: ...
    def batch_insert(
        self,
        collection: str,
        documents: Iterable[NewDocument],
        num_threads: SupportsIndex = 0,
        progress: Progress = None,
    ) -> list[str]: ...
    @overload
    def get(self, collection: str, ids: str) -> Document: ...
    @overload
    def get(self, collection: str, *, id: str) -> Document: ...
    @overload
    def get(
        self,
        collection: str,
        ids: Optional[Ids] = None,
        filter: Optional[Filter] = None,
        limit: Optional[SupportsIndex] = None,
        offset: Optional[SupportsIndex] = 0,
        id: None = None,
    ) -> list[Document]: ...
    @overload
    def delete(self, collection: str, ids: str) -> bool: ...
    @overload
    def delete(self, collection: str, *, id: str) -> bool: ...
    @overload
    def delete(self, collection: str, ids: Ids, id: None = None) -> int: ...
    def delete_where(self, collection: str, filter: Filter) -> int: ...
    def count(self, collection: str, filter: Optional[Filter] = None) -> int: ...
    def search(
        self,
        collection: str,
        query_embedding: Optional[Embedding] = None,
        query_text: Optional[str] = None,
        k: SupportsIndex = 10,
        min_similarity: Optional[SupportsFloat] = None,
        alpha: SupportsFloat = ...,
        fusion_method: str = "rrf",
        filter: Optional[Filter] = None,
        ef: Optional[SupportsIndex] = None,
        bm25_statistics: Optional[Mapping[str, Any]] = None,
        exact_threshold: Optional[SupportsIndex] = None,
    ) -> list[SearchResult]: ...
    def save(
        self,
        collection: str,
        path: Optional[StrPath] = None,
        encryption_key: Optional[str] = None,
        progress: Progress = None,
    ) -> None: ...
    def load(
        self,
        name: str,
        path: Optional[StrPath] = None,
        encryption_key: Optional[str] = None,
        progress: Progress = None,
    ) -> None: ...
    def compact(self, progress: Progress = None) -> None: ...
    def rebuild(self, collection: str, num_threads: SupportsIndex = 0, progress: Progress = None) -> int: ...
    def total_memory_bytes(self) -> int: ...
    def upsert(
        self,
        collection: str,
        id: str,
        text: str,
        embedding: Optional[Embedding] = None,
        metadata: Optional[Metadata] = None,
    ) -> str: ...
    def update_metadata(self, collection: str, id: str, metadata: Metadata) -> None: ...
    def keyword_statistics(self, collection: str, query_text: str) -> Bm25Statistics: ...
    def list_ids(self, collection: str) -> list[str]: ...
    def get_embedding(self, collection: str, id: str) -> list[float]: ...
    def status(self) -> dict[str, Any]: ...
    def salvage_log(self) -> str: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Karvalith": ...
    def __exit__(self, exc_type: Any, exc_value: Any, traceback: Any) -> Literal[False]: ...
    def batch_search(
        self,
        collection: str,
        query_embeddings: Optional[Union[Buffer, Iterable[Embedding]]] = None,
        k: SupportsIndex = 10,
        min_similarity: Optional[SupportsFloat] = None,
        filter: Optional[Filter] = None,
        ef: Optional[SupportsIndex] = None,
        num_threads: SupportsIndex = 0,
        query_texts: Optional[Iterable[str]] = None,
        alpha: SupportsFloat = ...,
        fusion_method: str = "rrf",
        exact_threshold: Optional[SupportsIndex] = None,
    ) -> list[list[SearchResult]]: ...

@final
class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def text(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def metadata(self) -> dict[str, MetadataValue]: ...

@final
class CollectionInfo:
    @property
    def name(self) -> str: ...
    @property
    def dimension(self) -> int: ...
    @property
    def document_count(self) -> int: ...
    @property
    def estimated_memory_bytes(self) -> int: ...
    @property
    def distance_metric(self) -> str: ...
    @property
    def deleted_slots(self) -> int: ...
    @property
    def walk_bits(self) -> int: ...

def inspect_directory(
    path: StrPath, encryption_key: Optional[str] = None, replay: bool = True
) -> dict[str, Any]: ...
