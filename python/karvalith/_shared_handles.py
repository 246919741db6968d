"""Persistent handles shared by the framework stores of one process.

A data directory admits one handle at a time. A notebook cell that builds a
store on a directory, run a second time, would otherwise fail with "in use"
while the first store (still referenced by the notebook) holds it. The stores
open directories through this registry instead: a second store on the same
resolved path gets the handle already open, and the handle is closed when the
last store using it is closed or garbage-collected.
"""

from __future__ import annotations

import hashlib
import os
import threading
import weakref
from typing import Any, Callable, Optional

from ._karvalith import Karvalith

__all__ = ["SharedHandle", "acquire"]


class _Entry:
    def __init__(self, handle: Karvalith, key_digest: Optional[bytes]) -> None:
        self.handle = handle
        self.key_digest = key_digest
        self.users = 0


_lock = threading.Lock()
# (process id, resolved directory) -> entry. The process id keeps a forked
# child from reusing the parent's handle, which refuses calls in the child.
_entries: dict[tuple[int, str], _Entry] = {}


def _digest(encryption_key: Optional[str]) -> Optional[bytes]:
    # Compared, never kept: a digest tells two keys apart without holding one.
    return None if encryption_key is None else hashlib.sha256(encryption_key.lower().encode()).digest()


def _is_open(handle: Karvalith) -> bool:
    try:
        handle.list_collections()
    except ValueError:  # every call on a closed handle raises ValueError
        return False
    return True


class SharedHandle:
    """One store's use of a registry handle; release() (or garbage collection
    of the owner passed to acquire) gives it back."""

    def __init__(self, handle: Karvalith, release: Callable[[], None]) -> None:
        self.handle = handle
        self._release = release

    def release(self) -> None:
        self._release()


def acquire(data_dir: str, encryption_key: Optional[str], owner: Any) -> SharedHandle:
    """The handle of `data_dir` for `owner`: the one already open in this process
    when there is one, else a new one. Released when `owner` is collected, or
    earlier through SharedHandle.release()."""
    path = os.path.realpath(os.fspath(data_dir))
    slot = (os.getpid(), path)
    digest = _digest(encryption_key)
    with _lock:
        entry = _entries.get(slot)
        if entry is not None and not _is_open(entry.handle):
            # Closed by someone holding the handle itself: open afresh.
            del _entries[slot]
            entry = None
        if entry is not None and entry.key_digest != digest:
            raise ValueError(
                f"{path!r} is already open in this process with "
                f"{'another encryption key' if entry.key_digest and digest else 'a different encryption setting'}; "
                "close the stores using it first, or pass the same encryption_key"
            )
        if entry is None:
            try:
                handle = Karvalith(data_dir=path, encryption_key=encryption_key)
            except RuntimeError as error:
                if "in use" not in str(error):
                    raise
                raise RuntimeError(
                    f"{error}. If this process opened it with Karvalith(data_dir=...), pass that "
                    "handle as client= instead of data_dir=; stores given data_dir share one handle "
                    "per directory by themselves"
                ) from error
            entry = _Entry(handle, digest)
            _entries[slot] = entry
        entry.users += 1
        held = entry

    released = False

    def release() -> None:
        nonlocal released
        with _lock:
            if released:
                return
            released = True
            held.users -= 1
            if held.users > 0:
                return
            if _entries.get(slot) is held:
                del _entries[slot]
        if os.getpid() == slot[0]:
            held.handle.close()

    # Runs release when the owner is collected (a store dropped unclosed).
    finalizer = weakref.finalize(owner, release)
    finalizer.atexit = False  # at exit the handle closes by itself

    def release_now() -> None:
        finalizer.detach()
        release()

    return SharedHandle(held.handle, release_now)
