"""Type stub for the _karvalith extension module."""

from collections.abc import Mapping, Sequence
from os import PathLike
from typing import Any, Callable, Literal, Optional, SupportsFloat, SupportsIndex, Union, final, overload

_MetadataValue = Union[bool, int, float, str]
_Embedding = Union[Sequence[float], Any]  # also numpy arrays and array.array
_Progress = Union[bool, None, Callable[[int, int], object]]  # True: a bar on stderr; a callable gets (done, total)
__version__: str
_Bm25Statistics = dict[str, Any]  # {"document_count": int, "total_length": int, "document_frequencies": {str: int}}
# Either filter form: {"year": {"$gte": 2020}, "$or": [...]} or {"must": [...], "must_not": [...]}.
_Filter = Mapping[str, Any]
_Document = dict[str, Any]  # {"id": str, "text": str, "metadata": dict[str, _MetadataValue]}
_Ids = Union[list[str], tuple[str, ...]]

def fuse(
    vector_hits: Sequence[tuple[SupportsIndex, SupportsFloat]],
    keyword_hits: Sequence[tuple[SupportsIndex, SupportsFloat]],
    k: SupportsIndex = 10,
    fusion_method: str = "rrf",
    alpha: SupportsFloat = 0.7,
) -> list[tuple[int, float]]: ...

@final
class Karvalith:
    def __init__(
        self,
        data_dir: Optional[str] = None,
        encryption_key: Optional[str] = None,
        auto_checkpoint_bytes: Optional[SupportsIndex] = None,
        auto_checkpoint_records: Optional[SupportsIndex] = None,
        progress: _Progress = None,
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
    ) -> None: ...
    def delete_collection(self, name: str) -> bool: ...
    def list_collections(self) -> list[str]: ...
    def collection_info(self, name: str) -> CollectionInfo: ...
    def insert(
        self,
        collection: str,
        text: str,
        embedding: _Embedding,
        metadata: Optional[dict[str, _MetadataValue]] = None,
        id: Optional[str] = None,
    ) -> str: ...
    def batch_insert(
        self,
        collection: str,
        documents: list[Mapping[str, Any]],
        num_threads: SupportsIndex = 0,
        progress: _Progress = None,
    ) -> list[str]: ...
    @overload
    def get(self, collection: str, ids: str) -> _Document: ...
    @overload
    def get(self, collection: str, *, id: str) -> _Document: ...
    @overload
    def get(
        self,
        collection: str,
        ids: Optional[_Ids] = None,
        filter: Optional[_Filter] = None,
        limit: Optional[SupportsIndex] = None,
        offset: Optional[SupportsIndex] = 0,
        id: None = None,
    ) -> list[_Document]: ...
    @overload
    def delete(self, collection: str, ids: str) -> bool: ...
    @overload
    def delete(self, collection: str, *, id: str) -> bool: ...
    @overload
    def delete(self, collection: str, ids: _Ids, id: None = None) -> int: ...
    def delete_where(self, collection: str, filter: _Filter) -> int: ...
    def count(self, collection: str, filter: Optional[_Filter] = None) -> int: ...
    def search(
        self,
        collection: str,
        query_embedding: Optional[_Embedding] = None,
        query_text: Optional[str] = None,
        k: SupportsIndex = 10,
        min_similarity: Optional[SupportsFloat] = None,
        alpha: SupportsFloat = 0.7,
        fusion_method: str = "rrf",
        filter: Optional[_Filter] = None,
        ef: Optional[SupportsIndex] = None,
        bm25_statistics: Optional[Mapping[str, Any]] = None,
        exact_threshold: Optional[SupportsIndex] = None,
    ) -> list[SearchResult]: ...
    def save(
        self,
        collection: str,
        path: Optional[str] = None,
        encryption_key: Optional[str] = None,
        progress: _Progress = None,
    ) -> None: ...
    def load(
        self, name: str, path: Optional[str] = None, encryption_key: Optional[str] = None, progress: _Progress = None
    ) -> None: ...
    def compact(self, progress: _Progress = None) -> None: ...
    def rebuild(self, collection: str, num_threads: SupportsIndex = 0, progress: _Progress = None) -> int: ...
    def total_memory_bytes(self) -> int: ...
    def upsert(
        self,
        collection: str,
        id: str,
        text: str,
        embedding: _Embedding,
        metadata: Optional[dict[str, _MetadataValue]] = None,
    ) -> str: ...
    def update_metadata(self, collection: str, id: str, metadata: dict[str, _MetadataValue]) -> None: ...
    def keyword_statistics(self, collection: str, query_text: str) -> _Bm25Statistics: ...
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
        query_embeddings: Optional[Union[Sequence[_Embedding], Any]] = None,
        k: SupportsIndex = 10,
        min_similarity: Optional[SupportsFloat] = None,
        filter: Optional[_Filter] = None,
        ef: Optional[SupportsIndex] = None,
        num_threads: SupportsIndex = 0,
        query_texts: Optional[list[str]] = None,
        alpha: SupportsFloat = 0.7,
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
    def metadata(self) -> dict[str, _MetadataValue]: ...

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

def filter_fields(filter: _Filter) -> list[str]: ...
def inspect_directory(
    path: Union[str, PathLike[str]], encryption_key: Optional[str] = None, replay: bool = True
) -> dict[str, Any]: ...
