"""Karvalith: an in-process vector database with HNSW and BM25 indexing."""
