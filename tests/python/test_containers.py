"""What methods take besides dict, list and str: any mapping for metadata,
documents and filters, any iterable for documents and lists inside filters,
os.PathLike for paths; and what they still refuse."""

import pathlib
from collections import OrderedDict, UserDict
from types import MappingProxyType

import pytest

from karvalith import Karvalith

EQ_RED = {"field": "colour", "op": "eq", "value": "red"}


@pytest.fixture
def db():
    handle = Karvalith()
    handle.create_collection("c", 2)
    return handle


def document(text, x, **metadata):
    return {"text": text, "embedding": [x, 1.0 - x], "metadata": metadata}


class TestMappings:
    @pytest.mark.parametrize("wrap", [MappingProxyType, UserDict, OrderedDict], ids=lambda w: w.__name__)
    def test_every_metadata_argument_takes_a_mapping(self, db, wrap):
        first = db.insert("c", "a", [1.0, 0.0], wrap({"colour": "red", "n": 1}))
        assert db.get("c", first)["metadata"] == {"colour": "red", "n": 1}
        db.upsert("c", first, "b", [1.0, 0.0], wrap({"colour": "blue"}))
        assert db.get("c", first)["metadata"] == {"colour": "blue"}
        db.update_metadata("c", first, wrap({"colour": "green"}))
        assert db.get("c", first)["metadata"] == {"colour": "green"}
        [second] = db.batch_insert("c", [wrap({"text": "t", "embedding": [0.0, 1.0], "metadata": wrap({"k": 2})})])
        assert db.get("c", second)["metadata"] == {"k": 2}

    def test_filters_and_their_conditions_may_be_mappings(self, db):
        red = db.insert("c", "a", [1.0, 0.0], {"colour": "red"})
        db.insert("c", "b", [1.0, 0.0], {"colour": "blue"})
        flt = MappingProxyType({"must": (MappingProxyType(EQ_RED),)})
        assert [r.id for r in db.search("c", query_embedding=[1.0, 0.0], filter=flt)] == [red]
        assert [[r.id for r in rs] for rs in db.batch_search("c", [[1.0, 0.0]], filter=flt)] == [[red]]

    def test_unknown_filter_keys_are_still_refused_from_a_mapping(self, db):
        with pytest.raises(ValueError, match="'should'"):
            db.search("c", query_embedding=[1.0, 0.0], filter=MappingProxyType({"should": []}))

    def test_an_error_raised_by_the_mapping_propagates(self, db):
        class Broken(UserDict):
            def keys(self):
                raise LookupError("keys failed")

        with pytest.raises(LookupError, match="keys failed"):
            db.insert("c", "a", [1.0, 0.0], Broken({"k": 1}))
        assert db.list_ids("c") == []

    @pytest.mark.parametrize("value", [[("k", 1)], "k", 3], ids=["pairs", "str", "int"])
    def test_non_mappings_are_refused_with_the_argument_named(self, db, value):
        with pytest.raises(TypeError, match=r"argument 'metadata': expected dict, got"):
            db.insert("c", "a", [1.0, 0.0], value)
        with pytest.raises(TypeError, match=r"documents\[0\]: expected dict"):
            db.batch_insert("c", [value])
        assert db.list_ids("c") == []


class TestIterables:
    @pytest.mark.parametrize(
        "make", [tuple, iter, lambda docs: (d for d in docs)], ids=["tuple", "iterator", "generator"]
    )
    def test_batch_insert_takes_any_iterable_of_documents(self, db, make):
        ids = db.batch_insert("c", make([document("a", 1.0), document("b", 0.0)]))
        assert [db.get("c", i)["text"] for i in ids] == ["a", "b"]

    @pytest.mark.parametrize("documents", ["text", {"text": "a", "embedding": [1, 0]}, 7, None],
                             ids=["str", "dict", "int", "None"])
    def test_strings_mappings_and_scalars_are_not_document_lists(self, db, documents):
        with pytest.raises(TypeError, match="argument 'documents': expected list"):
            db.batch_insert("c", documents)

    def test_a_generator_that_fails_inserts_nothing(self, db):
        def documents():
            yield document("a", 1.0)
            raise RuntimeError("source failed")

        with pytest.raises(RuntimeError, match="source failed"):
            db.batch_insert("c", documents())
        assert db.list_ids("c") == []

    def test_filter_lists_and_query_texts_may_be_tuples(self, db):
        red = db.insert("c", "apple", [1.0, 0.0], {"colour": "red"})
        db.insert("c", "pear", [0.0, 1.0], {"colour": "green"})
        flt = {"must": ({"field": "colour", "op": "in", "values": ("red", "pink")},)}
        assert [r.id for r in db.search("c", query_embedding=[1.0, 0.0], filter=flt)] == [red]
        results = db.batch_search("c", query_texts=("apple", "pear"), k=1)
        assert [r.text for [r] in results] == ["apple", "pear"]

    def test_a_string_of_values_is_not_a_list_of_values(self, db):
        with pytest.raises(TypeError, match="filter condition 'values' must be a list, not str"):
            db.search("c", query_embedding=[1.0, 0.0], filter={"must": [{"field": "a", "op": "in", "values": "ab"}]})


class TestPaths:
    def test_data_dir_save_and_load_take_path_objects(self, tmp_path):
        with Karvalith(data_dir=tmp_path / "data") as db:
            db.create_collection("c", 2)
            kept = db.insert("c", "kept", [1.0, 0.0])
            db.save("c", tmp_path / "backup")
        with Karvalith(data_dir=pathlib.Path(tmp_path / "data")) as db:
            assert db.list_ids("c") == [kept]
        other = Karvalith()
        other.load("c", tmp_path / "backup")
        assert other.list_ids("c") == [kept]

    def test_a_custom_path_like_is_read_through_fspath(self, tmp_path):
        class Location:
            def __fspath__(self):
                return str(tmp_path / "custom")

        with Karvalith(data_dir=Location()) as db:
            db.create_collection("c", 2)
        assert (tmp_path / "custom").is_dir()

    @pytest.mark.parametrize("bad", [b"/tmp/x", 3], ids=["bytes", "int"])
    def test_other_types_are_refused_with_the_argument_named(self, tmp_path, bad):
        with pytest.raises(TypeError, match="argument 'data_dir': expected str or os.PathLike"):
            Karvalith(data_dir=bad)
        db = Karvalith()
        db.create_collection("c", 2)
        with pytest.raises(TypeError, match="argument 'path': expected str or os.PathLike"):
            db.save("c", bad)

    def test_an_error_in_fspath_names_the_argument(self):
        class Broken:
            def __fspath__(self):
                raise TypeError("no path here")

        with pytest.raises(TypeError, match="argument 'data_dir': no path here"):
            Karvalith(data_dir=Broken())
