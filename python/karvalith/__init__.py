"""Karvalith: an in-process vector database with HNSW and BM25 indexing."""

from ._karvalith import CollectionInfo, Karvalith, SearchResult
from ._karvalith import _DirectoryLockedError as DirectoryLockedError
from ._version import __version__

__all__ = ["Karvalith", "SearchResult", "CollectionInfo", "DirectoryLockedError", "__version__"]
