import os

import pytest

# Ray's single-machine mode: every Ray process listens on 127.0.0.1 only (by
# default they take the machine's network address). Read when ray is imported.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

from karvalith import Karvalith  # noqa: E402


@pytest.fixture
def db():
    return Karvalith()


@pytest.fixture
def db4(db):
    """A handle with one empty collection "c" of dimension 4."""
    db.create_collection("c", 4)
    return db


@pytest.fixture(scope="session")
def ray_session():
    """One local Ray instance for the whole test session (start-up is slow).
    Its workers import the same karvalith build as this process."""
    import pathlib

    import karvalith

    if os.environ.get("CI"):
        import ray  # installed by the test command: its absence is a failure there
    else:
        ray = pytest.importorskip("ray")
    package_root = str(pathlib.Path(karvalith.__file__).resolve().parent.parent)
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    # address="local": a new instance even when another Ray cluster runs on
    # this machine (ray.init() would otherwise join the latest one started).
    ray.init(address="local", num_cpus=2, include_dashboard=False, logging_level="warning", log_to_driver=False,
             object_store_memory=256 * 1024 * 1024,
             runtime_env={"env_vars": {"PYTHONPATH": path}})
    yield ray
    ray.shutdown()
