"""Loses whole nodes of a local three-node Ray cluster under a sharded
collection, and reports what the client and the data looked like.

Run by test_distributed_nodes.py in its own process (a driver of this
cluster cannot share a process with another Ray instance):

    python node_failure_run.py DATA_DIR

The last line of stdout is a JSON report; the test makes the assertions.

Phase "stream": shards 0 and 1 start on node B (soft affinity), shard 2 on
node C. A writer thread inserts small batches and a reader thread searches a
fixed set of documents written beforehand, while node B's processes are
killed without a graceful shutdown (its workers exit on losing the raylet).
Phase "attach": the driver disconnects, node C goes too, and a new driver
attaches to the collection.
"""

import json
import os
import random
import signal
import sys
import threading
import time
import traceback
import uuid

os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

import ray  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy  # noqa: E402

import karvalith  # noqa: E402
from karvalith.distributed import ShardedCollection, ShardUnavailableError, ShardWriteError, shard_of  # noqa: E402

DIM = 8
SHARDS = 3
FIXED = 48
NAMESPACE = "karvalith-node-failure"
LOCALHOST = "127.0.0.1"
MIB = 1024 * 1024
# A node whose raylet stops answering is declared dead after about a second,
# so the restart happens within the test.
HEALTH_CHECKS = {"health_check_initial_delay_ms": 0, "health_check_period_ms": 250,
                 "health_check_timeout_ms": 500, "health_check_failure_threshold": 4}


def documents(rng, count, kind):
    out = []
    for _ in range(count):
        out.append({"id": str(uuid.UUID(int=rng.getrandbits(128))),
                    "text": f"{kind} note {rng.randint(0, 9)}",
                    "embedding": [rng.uniform(-1, 1) for _ in range(DIM)],
                    "metadata": {"kind": kind}})
    return out


FIXED_FILTER = {"kind": "fixed"}


def fixed_queries(rng):
    """Searches whose complete answer is the whole fixed set: k above its size,
    a filter selecting it, ef above the collection size (exhaustive walks)."""
    vector = [rng.uniform(-1, 1) for _ in range(DIM)]
    return [
        ("vector", dict(query_embedding=vector, k=FIXED + 16, ef=4000, filter=FIXED_FILTER)),
        ("keyword", dict(query_text="fixed note", k=FIXED + 16, filter=FIXED_FILTER)),
        ("hybrid", dict(query_embedding=vector, query_text="note", k=FIXED + 16, ef=4000, filter=FIXED_FILTER)),
    ]


def shard_actors():
    """Shard number -> (state, node id, pid, restarts) of this cluster's shard actors."""
    out = {}
    for info in ray._private.state.actors().values():
        name = info.get("Name") or ""
        if name.startswith("karvalith/c/") and info["State"] != "DEAD":
            out[int(name.rsplit("/", 1)[1])] = (info["State"], info["Address"]["NodeID"], info["Pid"],
                                                info["NumRestarts"])
    return out


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def connect(cluster, pythonpath):
    ray.init(address=cluster.address, namespace=NAMESPACE, logging_level="warning", log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": pythonpath}})


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")


def stream_phase(cluster, node_b, node_c, data_dir, report):
    rng = random.Random(7)
    b, c = node_b.node_id, node_c.node_id
    placement = {0: b, 1: b, 2: c}

    # Soft: once B is gone its shards may run elsewhere. An actor asking for
    # no resources at all did not always land on the node asked for; a small
    # memory request makes it.
    def options(shard):
        return {"scheduling_strategy": NodeAffinitySchedulingStrategy(placement[shard], soft=True), "memory": MIB}

    # Reads give up after two seconds, so searches during the outage either
    # return or raise; detached actors outlive this driver (phase "attach").
    sharded = ShardedCollection.create("c", DIM, shards=SHARDS, data_dir=data_dir, actor_options=options,
                                       detached=True, read_timeout=2.0)
    before = shard_actors()
    report["placement_before"] = {s: node == placement[s] for s, (_, node, _, _) in before.items()}
    fixed = documents(rng, FIXED, "fixed")
    sharded.batch_insert(fixed)
    fixed_ids = sorted(d["id"] for d in fixed)
    report["fixed_per_shard"] = [sum(shard_of(i, SHARDS) == s for i in fixed_ids) for s in range(SHARDS)]
    report["fixed_complete_before"] = all(
        sorted(r.id for r in sharded.search(**arguments)) == fixed_ids for _, arguments in fixed_queries(rng))
    # A second handle on the same actors whose reads wait out the restart.
    patient = ShardedCollection.attach("c", data_dir=data_dir, read_timeout=60.0)

    acknowledged = list(fixed_ids)
    unknown_parts = []  # ids of one shard's part of one failed batch: all or nothing
    write_errors = []
    searches = []  # (start, end, kind, outcome, detail)
    stop = threading.Event()
    failures = []

    def writer():
        try:
            while not stop.is_set():
                batch = documents(rng, 6, "stream")
                try:
                    acknowledged.extend(sharded.batch_insert(batch))
                except ShardWriteError as error:
                    acknowledged.extend(error.acknowledged)
                    write_errors.append(str(error).splitlines()[0][:300])
                    if error.refused:
                        failures.append(f"refused ids: {error.errors}")
                    parts = [[d["id"] for d in batch if shard_of(d["id"], SHARDS) == shard] for shard in error.errors]
                    if sorted(error.unknown) != sorted(i for part in parts for i in part):
                        failures.append("unknown ids are not the lost shards' parts")
                    unknown_parts.extend(parts)
        except Exception:
            failures.append("writer: " + traceback.format_exc())

    def reader(collection, seed):
        query_rng = random.Random(seed)
        timeout = collection._read_timeout
        try:
            while not stop.is_set():
                for kind, arguments in fixed_queries(query_rng):
                    start = time.monotonic()
                    try:
                        found = sorted(r.id for r in collection.search(**arguments))
                    except ShardUnavailableError as error:
                        searches.append((start, time.monotonic(), timeout, kind, "unavailable", str(error)[:200]))
                        continue
                    outcome = "full" if found == fixed_ids else "partial"
                    detail = "" if outcome == "full" else f"{len(found)} of {len(fixed_ids)} ids"
                    searches.append((start, time.monotonic(), timeout, kind, outcome, detail))
        except Exception:
            failures.append("reader: " + traceback.format_exc())

    threads = [threading.Thread(target=writer), threading.Thread(target=reader, args=(sharded, 11)),
               threading.Thread(target=reader, args=(patient, 13))]
    for thread in threads:
        thread.start()
    old_pids = sharded.shard_process_ids()
    time.sleep(1.5)
    removed_at = time.monotonic()
    cluster.remove_node(node_b, allow_graceful=False)
    report["removed_after_writes"] = len(acknowledged) - FIXED
    # The raylet is gone; its workers exit once they notice, a moment later.
    report["old_workers_alive_at_removal"] = [alive(old_pids[s]) for s in (0, 1)]
    try:
        def restarted():
            try:
                pids = sharded.shard_process_ids()
            except ShardUnavailableError:
                return False
            return pids[0] != old_pids[0] and pids[1] != old_pids[1]

        # Both of B's shards answering from new processes; then a little more
        # traffic on the new placement.
        wait_for(restarted, 90, "shards 0 and 1 to restart")
        recovered_at = time.monotonic()
        time.sleep(1.0)
    finally:
        stop.set()
        for thread in threads:
            thread.join(timeout=120)
    report["thread_failures"] = failures
    report["recovery_seconds"] = round(recovered_at - removed_at, 2)

    # Where the shards run now: B's two on a live node, in new processes.
    after = shard_actors()
    live = {node["NodeID"] for node in ray.nodes() if node["Alive"]}
    report["node_b_dead"] = b not in live
    report["moved"] = {s: after[s][1] != b and after[s][1] in live for s in (0, 1)}
    new_pids = sharded.shard_process_ids()
    report["new_process"] = {s: new_pids[s] != old_pids[s] and not alive(old_pids[s]) for s in (0, 1)}
    report["shard_2_untouched"] = new_pids[2] == old_pids[2]

    # The data: every acknowledged write back, unknown parts all or nothing.
    found = {d["id"] for d in sharded.get(acknowledged + [i for part in unknown_parts for i in part])}
    report["acknowledged"] = len(acknowledged)
    report["acknowledged_on_b"] = sum(shard_of(i, SHARDS) in (0, 1) for i in acknowledged)
    report["missing_acknowledged"] = [i for i in acknowledged if i not in found]
    present = [sum(i in found for i in part) for part in unknown_parts]
    report["unknown_parts"] = [[p, len(part)] for p, part in zip(present, unknown_parts)]
    report["count"] = sharded.count()
    report["expected_count"] = len(acknowledged) + sum(present)
    report["fixed_count"] = sharded.count(FIXED_FILTER)
    report["write_errors"] = write_errors
    report["searches"] = [[round(s - removed_at, 3), round(e - removed_at, 3), timeout, kind, outcome, detail]
                          for s, e, timeout, kind, outcome, detail in searches]
    report["recovered_at"] = round(recovered_at - removed_at, 3)
    # Every document as it should read after the next failure.
    return {d["id"]: [d["text"], d["metadata"]] for d in sharded.get()}


def attach_phase(cluster, node_c, data_dir, pythonpath, before, report):
    c = node_c.node_id
    restarts = shard_actors()[2][3]
    ray.shutdown()
    # No driver while node C (shard 2) goes: the restart is Ray's alone.
    cluster.remove_node(node_c, allow_graceful=False)
    connect(cluster, pythonpath)
    report["attach_c_dead"] = bool(wait_for(
        lambda: c not in {node["NodeID"] for node in ray.nodes() if node["Alive"]}, 60, "node C to be declared dead"))
    sharded = ShardedCollection.attach("c", data_dir=data_dir, read_timeout=90.0)
    try:
        live = {node["NodeID"] for node in ray.nodes() if node["Alive"]}
        after = shard_actors()
        report["attach_moved"] = after[2][1] != c and after[2][1] in live and after[2][3] > restarts
        now = {d["id"]: [d["text"], d["metadata"]] for d in sharded.get()}
        report["attach_documents"] = len(before)
        report["attach_missing"] = sorted(set(before) - set(now))
        report["attach_extra"] = sorted(set(now) - set(before))
        report["attach_changed"] = sorted(i for i in before if i in now and now[i] != before[i])
        fixed = sorted(i for i, (_, metadata) in before.items() if metadata == FIXED_FILTER)
        report["attach_fixed_complete"] = all(
            sorted(r.id for r in sharded.search(**arguments)) == fixed
            for _, arguments in fixed_queries(random.Random(5)))
    finally:
        sharded.close()


def main():
    data_dir = os.path.abspath(sys.argv[1])
    # Cluster records its address in /tmp/ray/ray_current_cluster, where any
    # other ray.init() on this machine would find and join it, and deletes
    # that file at shutdown whoever wrote it. This driver passes the address
    # explicitly: leave the file alone.
    ray._private.utils.write_ray_address = lambda *args, **kwargs: None
    ray._common.utils.reset_ray_address = lambda *args, **kwargs: None
    # Make SIGTERM (the test's timeout) unwind through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(karvalith.__file__)))
    pythonpath = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    node_args = {"num_cpus": 1, "node_ip_address": LOCALHOST, "object_store_memory": 128 * MIB}
    report = {}
    cluster = None
    try:
        cluster = Cluster(initialize_head=True, head_node_args=dict(
            node_args, include_dashboard=False, _system_config=HEALTH_CHECKS))
        node_b = cluster.add_node(**node_args)
        node_c = cluster.add_node(**node_args)
        connect(cluster, pythonpath)
        report["addresses"] = sorted({node["NodeManagerAddress"] for node in ray.nodes()})
        documents_now = stream_phase(cluster, node_b, node_c, data_dir, report)
        attach_phase(cluster, node_c, data_dir, pythonpath, documents_now, report)
    except BaseException:
        report["error"] = traceback.format_exc()
    finally:
        ray.shutdown()
        if cluster is not None:
            cluster.shutdown()
    print(json.dumps(report))


if __name__ == "__main__":
    main()
