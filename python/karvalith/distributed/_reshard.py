"""Changing the shard count of a sharded collection.

The move is recorded in the manifest before any document moves, as
"resharding": {"from": N, "to": M}, and every step can be repeated, so a move
cut short by a crash is finished by the next attach (or reshard call):

1. each shard receives, from every other shard, copies of the documents it
   owns among M shards, keeping their sequence numbers (a document already
   copied is not stored twice);
2. each shard deletes, in one log record, the documents it no longer owns;
3. the manifest says "shards": M and loses the record.

Step 2 starts only once step 1 is complete, so every document is at all
times in its old shard, its new shard, or both, and after step 3 in its new
shard alone. While the record stands the handle refuses reads and writes.
"""

from __future__ import annotations

import json
import os
import time
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Iterator

from ._backends import ShardLost
from ._durable import write_json_atomically

if TYPE_CHECKING:
    from ._client import ShardedCollection

MANIFEST = "karvalith-shards.json"
LOCK = "karvalith-shards.lock"


def read_manifest(data_dir: str) -> dict[str, Any]:
    with open(os.path.join(data_dir, MANIFEST)) as source:
        manifest: dict[str, Any] = json.load(source)
    return manifest


def write_manifest(data_dir: str, manifest: dict[str, Any]) -> None:
    """Replaces the manifest atomically and durably."""
    write_json_atomically(os.path.join(data_dir, MANIFEST), manifest)


def transition_message(name: str, move: dict[str, int]) -> str:
    return (f"sharded collection '{name}' is being resharded from {move['from']} to {move['to']} shards: "
            f"reads and writes wait until reshard({move['to']}) (or attach) completes the move")


@contextmanager
def _exclusive(data_dir: str, name: str) -> Iterator[None]:
    """Holds the collection's reshard lock (one mover at a time across
    processes of this machine); released when the process dies."""
    try:
        import fcntl
    except ImportError:  # no flock on this platform: one mover is the caller's duty
        yield
        return
    with open(os.path.join(data_dir, LOCK), "a") as handle:
        try:
            fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RuntimeError(f"sharded collection '{name}' in '{data_dir}' is being resharded "
                               f"by another process") from None
        try:
            yield
        finally:
            fcntl.flock(handle.fileno(), fcntl.LOCK_UN)


def check_count(new_count: Any) -> int:
    if isinstance(new_count, bool) or not isinstance(new_count, int):
        raise TypeError(f"new_count must be an int, got {type(new_count).__name__}")
    if new_count < 1:
        raise ValueError(f"new_count must be at least 1, got {new_count}")
    return new_count


def reshard(collection: ShardedCollection, new_count: Any) -> None:
    """Moves the collection to `new_count` shards; first finishes a move an
    earlier call left unfinished. The same count is a no-op."""
    new_count = check_count(new_count)
    if collection._closed:
        raise RuntimeError(f"sharded collection '{collection.name}' is closed: attach to it again")
    with _exclusive(collection.data_dir, collection.name):
        manifest = read_manifest(collection.data_dir)
        held = manifest.get("resharding", {"from": manifest["shards"]})["from"]
        if held != collection._count:
            raise RuntimeError(f"sharded collection '{collection.name}' was resharded to {manifest['shards']} "
                               f"shards by another handle: attach to it again")
        if "resharding" in manifest:
            manifest = _move(collection, manifest)
        if manifest["shards"] == new_count:
            return
        manifest["resharding"] = {"from": manifest["shards"], "to": new_count}
        write_manifest(collection.data_dir, manifest)
        _move(collection, manifest)


def resume(collection: ShardedCollection) -> None:
    """Finishes the move a crash interrupted (attach calls this)."""
    with _exclusive(collection.data_dir, collection.name):
        manifest = read_manifest(collection.data_dir)
        if "resharding" in manifest:
            _move(collection, manifest)


def _move(collection: ShardedCollection, manifest: dict[str, Any]) -> dict[str, Any]:
    """Runs (or runs again) the recorded move and commits it. Returns the
    committed manifest. On failure the handle stays in the transitional
    state, refusing reads and writes, and the record stays for a retry."""
    move = manifest["resharding"]
    old, new = move["from"], move["to"]
    collection._transition = transition_message(collection.name, move)
    with collection._write_order:  # no write of this handle in flight while documents move
        shards = collection._shards
        shards.grow_to(max(old, new))
        every = range(len(shards))
        for destination in range(new):
            arriving: list[dict[str, Any]] = []
            for source in every:
                if source != destination:
                    arriving += _call(collection, source, "moving_documents", new, destination)
            journal = os.path.join(collection.data_dir, f"shard-{destination:03d}.moving.json")
            _call(collection, destination, "receive", arriving, journal)
        for source in every:
            _call(collection, source, "drop_moved", new, source)
        committed = {key: value for key, value in manifest.items() if key != "resharding"}
        committed["shards"] = new
        write_manifest(collection.data_dir, committed)
        collection._count = new
        shards.shrink_to(new)
    collection._transition = None
    return committed


def _call(collection: ShardedCollection, index: int, method: str, *args: Any) -> Any:
    """One step on one shard, sent again while the shard restarts: every step
    of a move can be repeated."""
    deadline = time.monotonic() + collection._read_timeout
    pause = 0.05
    while True:
        try:
            return collection._shards.result(collection._shards.submit(index, method, *args))
        except ShardLost:
            if time.monotonic() >= deadline:
                raise
            time.sleep(pause)
            pause = min(pause * 2, 1.0)


def check_layout(collection: ShardedCollection) -> None:
    """Refuses a call while another handle moves the collection, or once it
    has moved it to another shard count (this handle would route by the old
    one). One stat of the manifest per call; read again only when it changed."""
    try:
        status = os.stat(os.path.join(collection.data_dir, MANIFEST))
    except FileNotFoundError:  # create() writes it once the shards answer
        return
    seen = (status.st_mtime_ns, status.st_size, status.st_ino)
    if seen == collection._manifest_seen:
        return
    try:
        manifest = read_manifest(collection.data_dir)
    except (FileNotFoundError, ValueError):  # replaced meanwhile: checked at the next call
        return
    if "resharding" in manifest:
        raise RuntimeError(transition_message(collection.name, manifest["resharding"]))
    if manifest["shards"] != collection._count:
        raise RuntimeError(f"sharded collection '{collection.name}' was resharded to {manifest['shards']} "
                           f"shards by another handle: attach to it again")
    collection._manifest_seen = seen
