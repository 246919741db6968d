"""Argument matching and conversion shared by every method."""

import pytest


class TestMatching:
    def test_positional_and_keyword_forms_are_equivalent(self, db):
        db.create_collection("a", 3, 8, 100, 20, "euclidean", True)
        db.create_collection(
            name="b", dimension=3, m=8, ef_construction=100, ef_search=20,
            distance_metric="euclidean", store_raw_vectors=True,
        )
        db.create_collection("c", dimension=3, store_raw_vectors=False)
        assert sorted(db.list_collections()) == ["a", "b", "c"]

    def test_unknown_keyword(self, db):
        with pytest.raises(TypeError, match="unexpected keyword argument 'dim'"):
            db.create_collection("a", dim=3)

    def test_duplicate_argument(self, db):
        with pytest.raises(TypeError, match="multiple values for argument 'name'"):
            db.create_collection("a", 3, name="b")

    def test_missing_required_argument(self, db):
        with pytest.raises(TypeError, match="missing required argument 'dimension'"):
            db.create_collection("a")
        with pytest.raises(TypeError, match="missing required argument 'name'"):
            db.collection_info()

    def test_too_many_positionals(self, db):
        with pytest.raises(TypeError, match="at most 1 positional"):
            db.delete_collection("a", "b")
        with pytest.raises(TypeError):
            db.list_collections(1)
        with pytest.raises(TypeError):
            db.total_memory_bytes(x=1)

    def test_failed_call_changes_nothing(self, db):
        with pytest.raises(TypeError):
            db.create_collection("a", 3, bogus=1)
        assert db.list_collections() == []


class TestConversion:
    @pytest.mark.parametrize(
        "kwargs,parameter,error",
        [
            ({"name": b"a"}, "name", TypeError),
            ({"name": None}, "name", TypeError),
            ({"dimension": "3"}, "dimension", TypeError),
            ({"dimension": 3.0}, "dimension", TypeError),
            ({"dimension": -1}, "dimension", OverflowError),
            ({"dimension": 2**64}, "dimension", OverflowError),
            ({"m": -2}, "m", OverflowError),
            ({"ef_construction": 1.5}, "ef_construction", TypeError),
            ({"ef_search": 2**70}, "ef_search", OverflowError),
            ({"distance_metric": 1}, "distance_metric", TypeError),
            ({"store_raw_vectors": 1}, "store_raw_vectors", TypeError),
            ({"store_raw_vectors": "yes"}, "store_raw_vectors", TypeError),
        ],
    )
    def test_failure_names_the_parameter(self, db, kwargs, parameter, error):
        arguments = {"name": "a", "dimension": 3, **kwargs}
        with pytest.raises(error, match=f"^argument '{parameter}': "):
            db.create_collection(**arguments)
        assert db.list_collections() == []

    def test_exact_message_for_a_non_integer(self, db):
        with pytest.raises(TypeError) as raised:
            db.create_collection("a", "x")
        assert raised.value.args == (
            "argument 'dimension': 'str' object cannot be interpreted as an integer",
        )

    def test_arguments_are_converted_in_parameter_order(self, db):
        with pytest.raises(TypeError, match="argument 'name'"):
            db.create_collection(1, "x", store_raw_vectors=1)
        with pytest.raises(TypeError, match="argument 'dimension'"):
            db.create_collection("a", "x", store_raw_vectors=1)

    def test_unsigned_range_bounds_are_accepted(self, db):
        db.create_collection("zero", 0)
        db.create_collection("max", 3, ef_search=2**64 - 1)
        assert db.collection_info("zero").dimension == 0

    def test_integer_like_objects_are_accepted(self, db):
        class Three:
            def __index__(self):
                return 3

        db.create_collection("a", Three())
        assert db.collection_info("a").dimension == 3

    def test_str_subclass_is_text(self, db):
        class Name(str):
            pass

        db.create_collection(Name("sub"), 2)
        assert db.list_collections() == ["sub"]

    def test_unencodable_str_raises_the_interpreter_error(self, db):
        with pytest.raises(UnicodeEncodeError):
            db.create_collection("bad\ud800", 2)
        assert db.list_collections() == []

    def test_none_means_absent_for_optional_parameters(self, db):
        db.create_collection("a", 2, None, None, None, None, None)
        assert db.list_collections() == ["a"]
