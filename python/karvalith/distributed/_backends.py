"""How the client reaches its shards: Ray actors, or Shard objects in this
process. Both expose submit (start a call, return a handle) and result (wait
for it, raising the shard's own exception, or ShardLost when the shard's
process went away)."""

from __future__ import annotations

import hashlib
import os
from typing import Any, Callable, Optional, Protocol, Union

from ._shard import Shard


class ShardLost(Exception):
    """A shard's process died or could not be reached during a call."""


class Shards(Protocol):
    """What the client needs of a set of shards."""

    def __len__(self) -> int: ...
    def submit(self, index: int, method: str, *args: Any) -> Any: ...
    def result(self, call: Any, timeout: Optional[float] = None) -> Any: ...
    def settle(self, calls: list[Any], timeout: Optional[float] = None) -> None: ...
    def share(self, value: Any) -> Any: ...
    def process_ids(self) -> list[int]: ...
    def grow_to(self, count: int) -> None: ...
    def shrink_to(self, count: int) -> None: ...
    def close(self) -> None: ...


class LocalShards:
    """Shards as plain objects in this process; calls run at submit."""

    def __init__(self, data_dir: str, collection: str, shard_count: int, dimension: int, options: dict[str, Any]):
        self._where = (data_dir, collection, dimension, options)
        self._shards: list[Shard] = []
        self.grow_to(shard_count)

    def __len__(self) -> int:
        return len(self._shards)

    def submit(self, index: int, method: str, *args: Any) -> tuple[bool, Any]:
        try:
            return (True, getattr(self._shards[index], method)(*args))
        except Exception as error:  # handed back at result(), as a remote call would
            return (False, error)

    def result(self, call: Any, timeout: Optional[float] = None) -> Any:
        ok, value = call
        if not ok:
            raise value
        return value

    def settle(self, calls: list[Any], timeout: Optional[float] = None) -> None:
        """Calls here are finished when submitted."""

    def share(self, value: Any) -> Any:
        return value

    def process_ids(self) -> list[int]:
        return [os.getpid()] * len(self._shards)

    def grow_to(self, count: int) -> None:
        """Opens shards len(self) .. count-1 (new directories)."""
        data_dir, collection, dimension, options = self._where
        for index in range(len(self._shards), count):
            self._shards.append(Shard(shard_directory(data_dir, index), collection, dimension, options))

    def shrink_to(self, count: int) -> None:
        """Closes the shards from `count` on; their directories stay."""
        for shard in self._shards[count:]:
            shard.close()
        del self._shards[count:]

    def close(self) -> None:
        self._shards = []


def shard_directory(data_dir: str, index: int) -> str:
    return os.path.join(data_dir, f"shard-{index:03d}")


ActorOptions = Union[None, dict[str, Any], Callable[[int], dict[str, Any]]]


def _default_options() -> dict[str, Any]:
    # A shard is mostly memory and waiting: it reserves no CPU (so a laptop's
    # two cores can hold several), and shards spread over the nodes there are.
    return {"num_cpus": 0, "scheduling_strategy": "SPREAD"}


class RayShards:
    """One Ray actor per shard, restarted by Ray when its process dies.

    Ray never retries a call itself (max_task_retries=0): a write that was
    in flight when the process died may or may not have been logged, and only
    the caller can decide what to do. Reads are retried by the client.
    """

    def __init__(
        self,
        ray: Any,
        data_dir: str,
        collection: str,
        shard_count: int,
        dimension: int,
        options: dict[str, Any],
        actor_options: ActorOptions,
        detached: bool,
    ) -> None:
        self._ray = ray
        self._remote_shard = ray.remote(Shard)
        self._where = (data_dir, collection, dimension, options, actor_options, detached)
        self._handles: list[Any] = []
        self.grow_to(shard_count)

    def grow_to(self, count: int) -> None:
        """Starts (or finds, by name) the actors of shards len(self) .. count-1.
        The handles already held are kept: an actor that is not detached ends
        when the handles its creator made are gone."""
        data_dir, collection, dimension, options, actor_options, detached = self._where
        tag = hashlib.blake2b(os.path.abspath(data_dir).encode(), digest_size=4).hexdigest()
        for index in range(len(self._handles), count):
            chosen = _default_options()
            extra = actor_options(index) if callable(actor_options) else (actor_options or {})
            chosen.update(extra)
            chosen.update(
                name=f"karvalith/{collection}/{tag}/{index}",
                get_if_exists=True,
                max_restarts=-1,
                max_task_retries=0,
            )
            if detached:
                chosen["lifetime"] = "detached"
            self._handles.append(self._remote_shard.options(**chosen).remote(
                shard_directory(data_dir, index), collection, dimension, options))

    def shrink_to(self, count: int) -> None:
        """Stops the actors from `count` on; their directories stay."""
        for handle in self._handles[count:]:
            self._ray.kill(handle, no_restart=True)
        del self._handles[count:]

    def handles(self) -> list[Any]:
        """The actors, for Ray tasks that call the shards themselves."""
        return list(self._handles)

    def __len__(self) -> int:
        return len(self._handles)

    def submit(self, index: int, method: str, *args: Any) -> Any:
        return getattr(self._handles[index], method).remote(*args)

    def result(self, call: Any, timeout: Optional[float] = None) -> Any:
        """The call's value; ShardLost when its shard died, or did not answer
        within `timeout` seconds (None: waits as long as the shard lives)."""
        exceptions = self._ray.exceptions
        try:
            return self._ray.get(call, timeout=timeout)
        except exceptions.RayTaskError as error:
            # The shard raised: hand back its own exception (KeyError, ValueError, ...).
            cause = getattr(error, "cause", None)
            if isinstance(cause, BaseException):
                raise cause from None
            raise
        except exceptions.GetTimeoutError:
            raise ShardLost(f"no answer within {timeout:.1f} s") from None
        except (exceptions.RayActorError, exceptions.ObjectLostError) as error:
            raise ShardLost(str(error).splitlines()[0] if str(error) else type(error).__name__) from error

    def settle(self, calls: list[Any], timeout: Optional[float] = None) -> None:
        """Waits until every call has finished (or `timeout` passed), one wait
        for all (cheaper than one per call); outcomes are then read with
        result()."""
        self._ray.wait(calls, num_returns=len(calls), fetch_local=True, timeout=timeout)

    def share(self, value: Any) -> Any:
        """An argument several calls take: stored once in the object store
        (Ray hands each actor the value) instead of once per call."""
        return self._ray.put(value)

    def process_ids(self) -> list[int]:
        return [self.result(self.submit(i, "process_id")) for i in range(len(self._handles))]

    def close(self) -> None:
        for handle in self._handles:
            self._ray.kill(handle, no_restart=True)
        self._handles = []


def import_ray() -> Any:
    try:
        import ray
    except ImportError as error:  # ray is optional: only the distributed client needs it
        raise ImportError("karvalith.distributed needs Ray: pip install ray") from error
    if not ray.is_initialized():
        raise RuntimeError("call ray.init() (or ray.init(address=...)) before creating a sharded collection")
    return ray


