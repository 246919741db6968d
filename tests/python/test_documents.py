"""Document methods: insert, batch_insert, get, delete, and embedding conversion."""

import array
import math
import re
import uuid

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from karvalith import Karvalith

UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
EMBEDDING = [0.1, 0.2, 0.3, 0.4]


def count(db, name="c"):
    return db.collection_info(name).document_count


class TestInsertAndGet:
    def test_insert_returns_a_fresh_v4_id_and_get_returns_the_document(self, db4):
        doc_id = db4.insert("c", "hello world", EMBEDDING, {"lang": "en"})
        assert UUID_TEXT.match(doc_id)
        document = db4.get("c", doc_id)
        assert list(document) == ["id", "text", "metadata"]
        assert document == {"id": doc_id, "text": "hello world", "metadata": {"lang": "en"}}
        assert db4.insert("c", "hello world", EMBEDDING) != doc_id

    def test_keywords_and_none_for_optional_arguments(self, db4):
        doc_id = db4.insert(
            collection="c", text="t", embedding=EMBEDDING, metadata=None, id=None
        )
        assert db4.get(collection="c", id=doc_id)["metadata"] == {}

    def test_given_id_in_any_form_is_returned_lower_case(self, db4):
        value = uuid.UUID("A1B2C3D4-E5F6-4789-8ABC-DEF012345678")
        forms = [str(value).upper(), value.hex, "{" + str(value) + "}", value.urn.upper()]
        returned = db4.insert("c", "x", EMBEDDING, id=forms[0])
        assert returned == str(value)
        for form in forms:
            assert db4.get("c", form)["id"] == str(value)

    @pytest.mark.parametrize("bad", ["", "not-a-uuid", "a1b2c3d4e5f64789" + "8abcdef01234567g"])
    def test_invalid_id_is_a_value_error(self, db4, bad):
        for call in (
            lambda: db4.insert("c", "x", EMBEDDING, id=bad),
            lambda: db4.get("c", bad),
            lambda: db4.delete("c", bad),
        ):
            with pytest.raises(ValueError, match=r"^invalid UUID: .+"):
                call()
        assert count(db4) == 0

    def test_get_of_a_missing_document_quotes_the_id_as_given(self, db4):
        missing = "A1B2C3D4-E5F6-4789-8ABC-DEF012345678"
        with pytest.raises(KeyError) as raised:
            db4.get("c", missing)
        assert raised.value.args == (f"document '{missing}' not found",)

    def test_get_returns_fresh_dicts(self, db4):
        doc_id = db4.insert("c", "x", EMBEDDING, {"k": 1})
        first = db4.get("c", doc_id)
        first["metadata"]["k"] = 2
        first["text"] = "changed"
        assert db4.get("c", doc_id) == {"id": doc_id, "text": "x", "metadata": {"k": 1}}

    def test_missing_collection_is_reported_before_the_content(self, db4):
        for call in (
            lambda: db4.insert("nope", "x", EMBEDDING, {"bad": None}),
            lambda: db4.insert("nope", "x", [1.0], id="bad"),
            lambda: db4.batch_insert("nope", [{"no": "text"}]),
            lambda: db4.get("nope", "bad"),
            lambda: db4.delete("nope", "bad"),
        ):
            with pytest.raises(KeyError) as raised:
                call()
            assert raised.value.args == ("collection 'nope' not found",)

    @pytest.mark.parametrize(
        "kwargs,parameter",
        [
            ({"collection": 1}, "collection"),
            ({"text": b"x"}, "text"),
            ({"embedding": "1234"}, "embedding"),
            ({"embedding": 5}, "embedding"),
            ({"embedding": {1: 2}}, "embedding"),
            ({"embedding": [1, "2", 3, 4]}, "embedding"),
            ({"metadata": []}, "metadata"),
            ({"metadata": "k=v"}, "metadata"),
            ({"id": 5}, "id"),
        ],
    )
    def test_argument_type_errors_name_the_parameter(self, db4, kwargs, parameter):
        arguments = {"collection": "c", "text": "t", "embedding": EMBEDDING, **kwargs}
        with pytest.raises(TypeError, match=f"argument '{parameter}'"):
            db4.insert(**arguments)
        assert count(db4) == 0


class TestDelete:
    def test_delete_reports_whether_the_document_was_live(self, db4):
        doc_id = db4.insert("c", "x", EMBEDDING)
        assert db4.delete("c", doc_id.upper()) is True
        assert db4.delete("c", doc_id) is False
        assert db4.delete("c", str(uuid.uuid4())) is False
        with pytest.raises(KeyError, match="not found"):
            db4.get("c", doc_id)
        assert count(db4) == 0


class TestInsertChecks:
    @pytest.mark.parametrize("embedding", [[1.0, 2.0, 3.0], [1.0] * 5, []])
    def test_wrong_length_is_refused_naming_both_lengths(self, db4, embedding):
        with pytest.raises(ValueError) as raised:
            db4.insert("c", "x", embedding)
        message = raised.value.args[0]
        assert str(len(embedding)) in message and "4" in message
        assert count(db4) == 0

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e39])
    def test_non_finite_component_is_refused(self, db4, bad):
        with pytest.raises(ValueError):
            db4.insert("c", "x", [0.0, bad, 0.0, 0.0])
        assert count(db4) == 0

    def test_a_live_id_is_refused_and_a_deleted_one_comes_back(self, db4):
        doc_id = db4.insert("c", "x", EMBEDDING)
        with pytest.raises(ValueError, match="already exists"):
            db4.insert("c", "y", EMBEDDING, id=doc_id)
        with pytest.raises(ValueError, match="already exists"):
            db4.batch_insert("c", [{"text": "y", "embedding": EMBEDDING, "id": doc_id}])
        assert db4.get("c", doc_id)["text"] == "x"
        db4.delete("c", doc_id)
        assert db4.insert("c", "y", EMBEDDING, id=doc_id) == doc_id
        assert count(db4) == 1


class TestBatchInsert:
    def test_ids_in_input_order(self, db4):
        given = str(uuid.uuid4())
        ids = db4.batch_insert(
            "c",
            [
                {"text": "a", "embedding": EMBEDDING},
                {"text": "b", "embedding": (1, 2, 3, 4), "metadata": {"n": 2}, "id": given.upper()},
                {"text": "c", "embedding": np.ones(4)},
            ],
        )
        assert ids[1] == given
        assert [db4.get("c", i)["text"] for i in ids] == ["a", "b", "c"]
        assert db4.get("c", ids[1])["metadata"] == {"n": 2}

    def test_empty_list(self, db4):
        assert db4.batch_insert("c", []) == []

    @pytest.mark.parametrize(
        "element,error,message",
        [
            ({}, ValueError, "document missing 'text'"),
            ({"embedding": EMBEDDING}, ValueError, "document missing 'text'"),
            ({"text": "t"}, ValueError, "document missing 'embedding'"),
            ({"text": None, "embedding": EMBEDDING}, TypeError, None),
            ({"text": "t", "embedding": "abcd"}, TypeError, None),
            ({"text": "t", "embedding": EMBEDDING, "metadata": None}, TypeError, None),
            ({"text": "t", "embedding": EMBEDDING, "metadata": {"k": None}}, ValueError,
             "metadata values must be bool, int, float, or str"),
            ({"text": "t", "embedding": EMBEDDING, "id": None}, TypeError, None),
            ({"text": "t", "embedding": EMBEDDING, "id": "zz"}, ValueError, None),
            ({"text": "t", "embedding": [1.0]}, ValueError, None),
            (["text", "t"], TypeError, None),
        ],
    )
    def test_one_bad_element_inserts_nothing(self, db4, element, error, message):
        good = {"text": "good", "embedding": EMBEDDING}
        with pytest.raises(error) as raised:
            db4.batch_insert("c", [good, good, element, good])
        if message is not None:
            assert raised.value.args == (message,)
        assert count(db4) == 0

    def test_repeated_id_in_one_batch_inserts_nothing(self, db4):
        doc_id = str(uuid.uuid4())
        docs = [{"text": "a", "embedding": EMBEDDING, "id": doc_id},
                {"text": "b", "embedding": EMBEDDING, "id": doc_id.upper()}]
        with pytest.raises(ValueError, match="twice"):
            db4.batch_insert("c", docs)
        assert count(db4) == 0

    # Any other iterable of documents is taken (test_containers.py).
    @pytest.mark.parametrize("documents", ["a", None, {}, 3])
    def test_documents_must_be_a_list(self, db4, documents):
        with pytest.raises(TypeError, match="argument 'documents'"):
            db4.batch_insert("c", documents)


class TestEmbeddingConversion:
    @pytest.mark.parametrize(
        "embedding",
        [
            [1, 2, 3, 4],
            (1.0, 2.0, 3.0, 4.0),
            [True, False, 1, 2.5],
            np.arange(4, dtype=np.float32),
            np.arange(4, dtype=np.float64),
            np.arange(8, dtype=np.float64)[::2],  # strided
            np.arange(8, dtype=np.float32)[::-2],  # negative stride
            np.arange(4, dtype=">f4"),  # not native byte order
            np.arange(4, dtype=np.int64),
            array.array("f", [1, 2, 3, 4]),
            array.array("d", [1, 2, 3, 4]),
            memoryview(array.array("f", [1, 2, 3, 4])),
        ],
        ids=lambda e: type(e).__name__,
    )
    def test_accepted_sequences(self, db4, embedding):
        doc_id = db4.insert("c", "x", embedding)
        assert db4.get("c", doc_id)["id"] == doc_id

    @pytest.mark.parametrize(
        "embedding",
        ["1234", "", iter([1, 2, 3, 4]), {1, 2, 3, 4}, None,
         np.zeros((2, 2), dtype=np.float32)],
        ids=["str", "empty-str", "iterator", "set", "None", "2-d array"],
    )
    def test_refused_objects(self, db4, embedding):
        with pytest.raises(TypeError, match="argument 'embedding'"):
            db4.insert("c", "x", embedding)
        assert count(db4) == 0

    # Doubles at and just below the point where rounding to float32 overflows
    # (FLT_MAX plus half an ulp): the direct buffer path and the item-by-item
    # path must round them alike.
    FLT_MAX = float(np.finfo(np.float32).max)
    OVERFLOW_EDGE = FLT_MAX + 2.0**103

    @pytest.mark.parametrize(
        "make", [list, tuple, lambda v: np.array(v, dtype=np.float64),
                 lambda v: array.array("d", v), lambda v: np.array(v, dtype=np.float64)[::-1]],
        ids=["list", "tuple", "ndarray", "array", "reversed-view"],
    )
    def test_rounding_at_the_float32_overflow_edge(self, db4, make):
        below = math.nextafter(self.OVERFLOW_EDGE, 0.0)
        db4.insert("c", "ok", make([below, -below, 0.0, 1.0]))
        with pytest.raises(ValueError):
            db4.insert("c", "overflow", make([self.OVERFLOW_EDGE, 0.0, 0.0, 1.0]))
        assert count(db4) == 1


class TestMetadataConversion:
    def test_types_are_kept(self, db4):
        metadata = {"b": True, "f": False, "i": 1, "x": 1.0, "s": "text", "neg": -(2**63),
                    "big": 2**63 - 1, "e": ""}
        stored = db4.get("c", db4.insert("c", "x", EMBEDDING, metadata))["metadata"]
        assert stored == metadata
        assert {k: type(v) for k, v in stored.items()} == {k: type(v) for k, v in metadata.items()}

    def test_nan_and_infinities_are_stored(self, db4):
        stored = db4.get("c", db4.insert("c", "x", EMBEDDING,
                                          {"n": math.nan, "p": math.inf, "m": -math.inf}))["metadata"]
        assert math.isnan(stored["n"]) and stored["p"] == math.inf and stored["m"] == -math.inf

    @pytest.mark.parametrize("value", [None, [1], {"a": 1}, (1,), b"x", 1j, object()])
    def test_unsupported_values(self, db4, value):
        with pytest.raises(ValueError) as raised:
            db4.insert("c", "x", EMBEDDING, {"k": value})
        assert raised.value.args == ("metadata values must be bool, int, float, or str",)
        assert count(db4) == 0

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
    def test_integers_outside_int64_overflow(self, db4, value):
        with pytest.raises(OverflowError):
            db4.insert("c", "x", EMBEDDING, {"k": value})
        assert count(db4) == 0

    def test_keys_must_be_str(self, db4):
        with pytest.raises(TypeError):
            db4.insert("c", "x", EMBEDDING, {1: "v"})
        assert count(db4) == 0

    def test_subclasses_convert_through_their_base(self, db4):
        class Meta(dict):
            pass

        class Number(int):
            pass

        class Real(float):
            pass

        class Text(str):
            pass

        metadata = Meta(n=Number(7), r=Real(0.25), t=Text("s"))
        stored = db4.get("c", db4.insert("c", "x", EMBEDDING, metadata))["metadata"]
        assert stored == {"n": 7, "r": 0.25, "t": "s"}
        assert [type(v) for v in stored.values()] == [int, float, str]

    @settings(max_examples=40, deadline=None)
    @given(
        st.dictionaries(
            st.text(),
            st.one_of(
                st.booleans(),
                st.integers(min_value=-(2**63), max_value=2**63 - 1),
                st.floats(allow_nan=False),
                st.text(),
            ),
        ),
        st.text(),
    )
    def test_round_trip(self, metadata, text):
        db = Karvalith()
        db.create_collection("c", 2)
        stored = db.get("c", db.insert("c", text, [1.0, 0.0], metadata))
        assert stored["text"] == text
        assert stored["metadata"] == metadata
        assert all(type(stored["metadata"][k]) is type(v) for k, v in metadata.items())
