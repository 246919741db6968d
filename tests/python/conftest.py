import pytest

from karvalith import Karvalith


@pytest.fixture
def db():
    return Karvalith()


@pytest.fixture
def db4(db):
    """A handle with one empty collection "c" of dimension 4."""
    db.create_collection("c", 4)
    return db
