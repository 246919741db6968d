"""Collections sharded over Ray actors, ranked as one collection would rank them.

    import ray
    from karvalith.distributed import ShardedCollection

    ray.init()                       # or ray.init(address="auto") on a cluster
    notes = ShardedCollection.create("notes", 384, shards=4, data_dir="/data/notes")
    notes.batch_insert([{"text": t, "embedding": e} for t, e in rows])
    notes.search(query_embedding=q, query_text="cat", k=10)

Ray is only needed here: `import karvalith` never imports it.
"""

from ._client import SearchResult, ShardedCollection, ShardedInfo, ShardUnavailableError, ShardWriteError
from ._dataset import DatasetWriteError, DatasetWriteSummary
from ._merge import SEQUENCE_FIELD, shard_of

__all__ = [
    "ShardedCollection",
    "SearchResult",
    "ShardedInfo",
    "ShardUnavailableError",
    "ShardWriteError",
    "DatasetWriteError",
    "DatasetWriteSummary",
    "SEQUENCE_FIELD",
    "shard_of",
]
