"""Karvalith: an in-process vector database with HNSW and BM25 indexing."""

from ._karvalith import CollectionInfo, Karvalith, SearchResult, __version__

__all__ = ["Karvalith", "SearchResult", "CollectionInfo", "__version__"]
