"""Ordinary user code, fully annotated: scripts/typecheck.sh runs `mypy --strict`
on it, so the package's types must accept what users naturally pass (dicts of
narrower value types, tuples and generators of documents, pathlib paths, numpy
arrays). Running it stores and searches a few documents in a temporary folder.
"""

from __future__ import annotations

import tempfile
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Union

import numpy as np
import numpy.typing as npt

import karvalith
from karvalith import CollectionInfo, Karvalith, SearchResult

Vector = npt.NDArray[np.float32]


def documents(texts: list[str], vectors: Vector) -> Iterator[dict[str, object]]:
    for index, (text, vector) in enumerate(zip(texts, vectors)):
        metadata: dict[str, int] = {"index": index}
        yield {"text": text, "embedding": vector, "metadata": metadata}


def best_texts(results: list[SearchResult]) -> list[str]:
    return [f"{r.score:.3f} {r.text}" for r in results]


def describe(info: CollectionInfo) -> str:
    return f"{info.name}: {info.document_count} documents of dimension {info.dimension}"


def main() -> None:
    rng = np.random.default_rng(7)
    vectors: Vector = rng.random((5, 8), dtype=np.float32)
    texts = ["red apple", "green pear", "yellow banana", "red cherry"]
    year: dict[str, int] = {"year": 2024}
    tags: Mapping[str, Union[str, bool]] = {"colour": "red", "ripe": True}
    later = {"must": [{"field": "index", "op": "gte", "value": 1}]}

    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch) / "data"
        with Karvalith(data_dir=folder) as db:
            db.create_collection("fruit", 8, distance_metric="cosine")
            ids: list[str] = db.batch_insert("fruit", tuple(documents(texts, vectors[:4])))
            db.insert("fruit", "plum", vectors[4], year)
            db.update_metadata("fruit", ids[0], tags)
            print(describe(db.collection_info("fruit")))
            print(best_texts(db.search("fruit", query_embedding=vectors[1], k=2)))
            print(best_texts(db.search("fruit", query_text="red", k=2, filter=later)))
            batches = db.batch_search("fruit", vectors[:2], k=1)
            print([best_texts(batch) for batch in batches])
            db.save("fruit", Path(scratch) / "backup")
    print(f"karvalith {karvalith.__version__}")


if __name__ == "__main__":
    main()
