"""How the client reaches its shards: Ray actors, or Shard objects in this
process. Both expose submit (start a call, return a handle) and result (wait
for it, raising the shard's own exception, or ShardLost when the shard's
process went away)."""

from __future__ import annotations

import hashlib
import os
from typing import Any, Callable, Protocol, Union

from ._shard import Shard


class ShardLost(Exception):
    """A shard's process died or could not be reached during a call."""


class Shards(Protocol):
    """What the client needs of a set of shards."""

    def __len__(self) -> int: ...
    def submit(self, index: int, method: str, *args: Any) -> Any: ...
    def result(self, call: Any) -> Any: ...
    def settle(self, calls: list[Any]) -> None: ...
    def process_ids(self) -> list[int]: ...
    def close(self) -> None: ...


class LocalShards:
    """Shards as plain objects in this process; calls run at submit."""

    def __init__(self, shards: list[Shard]):
        self._shards = shards

    def __len__(self) -> int:
        return len(self._shards)

    def submit(self, index: int, method: str, *args: Any) -> tuple[bool, Any]:
        try:
            return (True, getattr(self._shards[index], method)(*args))
        except Exception as error:  # handed back at result(), as a remote call would
            return (False, error)

    def result(self, call: Any) -> Any:
        ok, value = call
        if not ok:
            raise value
        return value

    def settle(self, calls: list[Any]) -> None:
        """Calls here are finished when submitted."""

    def process_ids(self) -> list[int]:
        return [os.getpid()] * len(self._shards)

    def close(self) -> None:
        self._shards = []


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
        remote_shard = ray.remote(Shard)
        tag = hashlib.blake2b(os.path.abspath(data_dir).encode(), digest_size=4).hexdigest()
        self._handles: list[Any] = []
        for index in range(shard_count):
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
            shard_dir = os.path.join(data_dir, f"shard-{index:03d}")
            self._handles.append(remote_shard.options(**chosen).remote(shard_dir, collection, dimension, options))

    def __len__(self) -> int:
        return len(self._handles)

    def submit(self, index: int, method: str, *args: Any) -> Any:
        return getattr(self._handles[index], method).remote(*args)

    def result(self, call: Any) -> Any:
        exceptions = self._ray.exceptions
        try:
            return self._ray.get(call)
        except exceptions.RayTaskError as error:
            # The shard raised: hand back its own exception (KeyError, ValueError, ...).
            cause = getattr(error, "cause", None)
            if isinstance(cause, BaseException):
                raise cause from None
            raise
        except (exceptions.RayActorError, exceptions.ObjectLostError) as error:
            raise ShardLost(str(error).splitlines()[0] if str(error) else type(error).__name__) from error

    def settle(self, calls: list[Any]) -> None:
        """Waits until every call has finished, one wait for all (cheaper than
        one per call); outcomes are then read with result()."""
        self._ray.wait(calls, num_returns=len(calls), fetch_local=True)

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


