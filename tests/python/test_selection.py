"""Selecting documents by id and filter: get, count, delete (one id or many),
delete_where and create_collection(exist_ok=True), against a model of the
documented rules in both filter grammars; a many-document delete across a
crash; the messages of refused ids and filters."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from karvalith import Karvalith
from karvalith._karvalith import filter_fields

from test_filtered_search import equal, filters as list_filters, number, passes as list_passes, values

# ---- a model of the operator grammar -------------------------------------------

FIELDS = ["x", "y", "z"]
scalar_operands = st.one_of(
    st.booleans(),
    st.integers(min_value=-3, max_value=3),
    st.sampled_from([0.0, -0.0, 0.5, 1.0, 2.5, -1.5, math.inf, -math.inf]),
    st.sampled_from(["a", "b", ""]),
)
numbers = st.one_of(st.integers(min_value=-3, max_value=3), st.sampled_from([0.0, 0.5, 2.5, -1.5, math.inf, -math.inf]))


@st.composite
def field_conditions(draw, depth=0):
    """{"$op": operand, ...} for one field, possibly with a nested $not."""
    condition = {}
    for op in draw(st.lists(st.sampled_from(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$not"]),
                            min_size=1, max_size=2, unique=True)):
        if op in ("$in", "$nin"):
            condition[op] = draw(st.lists(scalar_operands, max_size=3))
        elif op == "$not":
            if depth > 1:
                continue
            condition[op] = draw(field_conditions(depth + 1))
        elif op in ("$eq", "$ne"):
            condition[op] = draw(scalar_operands)
        else:
            condition[op] = draw(numbers)
    return condition or {"$eq": draw(scalar_operands)}


def operator_filters():
    leaf = st.builds(lambda field, condition: {field: condition}, st.sampled_from(FIELDS),
                     st.one_of(scalar_operands, field_conditions()))
    return st.recursive(
        leaf,
        lambda inner: st.one_of(
            st.builds(lambda parts: {"$and": parts}, st.lists(inner, min_size=1, max_size=3)),
            st.builds(lambda parts: {"$or": parts}, st.lists(inner, min_size=1, max_size=3)),
            st.builds(lambda part: {"$not": part}, inner),
            # Several keys in one dict: a conjunction.
            st.builds(lambda a, b: {**a, **b}, inner, inner),
        ),
        max_leaves=6,
    )


def ordered(value, op, operand):
    a, b = number(value), number(operand)
    if a is None or b is None:
        return False
    return {"$gt": a > b, "$gte": a >= b, "$lt": a < b, "$lte": a <= b}[op]


def field_holds(meta, field, condition):
    """The documented rules: a missing key fails every condition (ne and nin
    included); $not is the complement, so it passes documents without the key."""
    if not isinstance(condition, dict):
        return field in meta and equal(meta[field], condition)
    for op, operand in condition.items():
        if op == "$not":
            if field_holds(meta, field, operand):
                return False
            continue
        if field not in meta:
            return False
        value = meta[field]
        if op == "$eq":
            ok = equal(value, operand)
        elif op == "$ne":
            ok = not equal(value, operand)
        elif op == "$in":
            ok = any(equal(value, v) for v in operand)
        elif op == "$nin":
            ok = not any(equal(value, v) for v in operand)
        else:
            ok = ordered(value, op, operand)
        if not ok:
            return False
    return True


def operator_passes(meta, flt):
    for key, part in flt.items():
        if key == "$and":
            ok = all(operator_passes(meta, p) for p in part)
        elif key == "$or":
            ok = any(operator_passes(meta, p) for p in part)
        elif key == "$not":
            ok = not operator_passes(meta, part)
        else:
            ok = field_holds(meta, key, part)
        if not ok:
            return False
    return True


def model_passes(meta, flt):
    return list_passes(meta, flt) if "must" in flt or "must_not" in flt else operator_passes(meta, flt)


any_filter = st.one_of(operator_filters(), list_filters)
metadata = st.dictionaries(st.sampled_from(FIELDS), values, max_size=3)


def collection(metas):
    db = Karvalith()
    db.create_collection("c", 2)
    ids = db.batch_insert("c", [{"text": str(i), "embedding": [1.0, float(i)], "metadata": m}
                                for i, m in enumerate(metas)])
    return db, ids


# ---- agreement with the model ----------------------------------------------------


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(metas=st.lists(metadata, min_size=1, max_size=30), flt=any_filter, data=st.data())
def test_get_count_and_delete_where_agree_with_the_model(metas, flt, data):
    db, ids = collection(metas)
    gone = data.draw(st.sets(st.integers(0, len(metas) - 1), max_size=3), label="deleted first")
    assert db.delete("c", [ids[i] for i in gone]) == len(gone)
    live = [i for i in range(len(metas)) if i not in gone]
    passing = [ids[i] for i in live if model_passes(metas[i], flt)]

    # By filter: placement order, paged.
    assert [d["id"] for d in db.get("c", filter=flt)] == passing
    assert db.count("c", flt) == len(passing)
    offset = data.draw(st.integers(0, 5), label="offset")
    limit = data.draw(st.one_of(st.none(), st.integers(0, 5)), label="limit")
    end = None if limit is None else offset + limit
    assert [d["id"] for d in db.get("c", filter=flt, limit=limit, offset=offset)] == passing[offset:end]

    # By ids (some deleted, some never stored, some repeated) and filter.
    asked = data.draw(st.lists(st.sampled_from(ids + [str(uuid.UUID(int=7))]), max_size=8), label="ids")
    expected = list(dict.fromkeys(i for i in asked if i in passing))
    assert [d["id"] for d in db.get("c", asked, filter=flt)] == expected
    texts = {d["id"]: d["text"] for d in db.get("c", asked)}
    assert texts == {ids[i]: str(i) for i in live if ids[i] in asked}

    # delete_where removes exactly those; the rest stay.
    assert db.delete_where("c", flt) == len(passing)
    assert db.list_ids("c") == [ids[i] for i in live if ids[i] not in set(passing)]
    assert db.count("c", flt) == 0


@settings(max_examples=150, deadline=None)
@given(flt=operator_filters())
def test_filter_fields_lists_every_tested_key(flt):
    def keys(part):
        found = set()
        for key, value in part.items():
            if key in ("$and", "$or"):
                for p in value:
                    found |= keys(p)
            elif key == "$not":
                found |= keys(value)
            else:
                found.add(key)
        return found

    assert filter_fields(flt) == sorted(keys(flt))


class TestOperatorGrammar:
    @pytest.fixture
    def docs(self):
        metas = [{"year": 2019 + i, "tag": "ab"[i % 2], "must": i} for i in range(6)] + [{}]
        return collection(metas)

    def ids_of(self, db, flt):
        return [int(d["text"]) for d in db.get("c", filter=flt)]

    def test_each_operator(self, docs):
        db, _ = docs
        assert self.ids_of(db, {"year": 2020}) == [1]
        assert self.ids_of(db, {"year": 2020.0}) == [1]  # numbers compare as numbers
        assert self.ids_of(db, {"year": {"$eq": 2020}}) == [1]
        assert self.ids_of(db, {"year": {"$ne": 2020}}) == [0, 2, 3, 4, 5]  # not 6: it has no year
        assert self.ids_of(db, {"year": {"$gt": 2022}}) == [4, 5]
        assert self.ids_of(db, {"year": {"$gte": 2022, "$lt": 2024}}) == [3, 4]
        assert self.ids_of(db, {"year": {"$lte": 2019.5}}) == [0]
        assert self.ids_of(db, {"year": {"$lt": float("inf")}}) == [0, 1, 2, 3, 4, 5]
        assert self.ids_of(db, {"tag": {"$in": ["a", "z"]}}) == [0, 2, 4]
        assert self.ids_of(db, {"tag": {"$nin": ["a"]}}) == [1, 3, 5]
        assert self.ids_of(db, {"tag": {"$nin": []}}) == [0, 1, 2, 3, 4, 5]  # has the key
        assert self.ids_of(db, {"tag": {"$in": []}}) == []
        assert self.ids_of(db, {"year": {"$not": {"$gte": 2021}}}) == [0, 1, 6]
        assert self.ids_of(db, {"$or": [{"year": 2019}, {"tag": "b", "year": {"$gt": 2022}}]}) == [0, 5]
        assert self.ids_of(db, {"$not": {"$or": [{"tag": "a"}, {"year": 2020}]}}) == [3, 5, 6]
        assert self.ids_of(db, {"$and": [{"tag": "a"}, {"year": {"$gt": 2019}}]}) == [2, 4]
        assert self.ids_of(db, {}) == [0, 1, 2, 3, 4, 5, 6]
        assert self.ids_of(db, {"tag": True}) == []  # a bool equals only a bool

    def test_a_key_named_must_is_tested_inside_and(self, docs):
        db, _ = docs
        assert self.ids_of(db, {"$and": [{"must": {"$gte": 4}}]}) == [4, 5]
        with pytest.raises(ValueError, match="^unknown filter key: 'year'"):
            db.get("c", filter={"must": [], "year": 2020})
        with pytest.raises(TypeError, match="filter conditions must be a list"):
            db.get("c", filter={"must": 4})

    def test_search_and_batch_search_take_it(self, docs):
        db, ids = docs
        flt = {"$or": [{"year": 2019}, {"year": {"$gte": 2023}}]}
        hits = db.search("c", [1.0, 0.0], k=10, filter=flt)
        assert sorted(h.id for h in hits) == sorted([ids[0], ids[4], ids[5]])
        for exact_threshold in (0, 10**6):  # the walk and the scan
            hits = db.search("c", [1.0, 0.0], k=10, filter=flt, exact_threshold=exact_threshold)
            assert sorted(h.id for h in hits) == sorted([ids[0], ids[4], ids[5]])
        batch = db.batch_search("c", [[1.0, 0.0], [1.0, 5.0]], k=2, filter={"$not": flt})
        assert all(h.id in {ids[1], ids[2], ids[3], ids[6]} for hits in batch for h in hits)
        striped = db.insert("c", "zebra stripes", [0.0, 1.0], {"tag": "b"})
        db.insert("c", "zebra zebra", [0.0, 1.0], {"tag": "a"})
        assert [h.id for h in db.search("c", query_text="zebra", filter={"$or": [{"tag": "b"}, {"tag": "c"}]})] == [
            striped]

    @pytest.mark.parametrize(
        "flt,error,message",
        [
            ({"$foo": 1}, ValueError,
             r"^unknown filter operator '\$foo' \(accepted: \$and, \$or, \$not to combine filters; \$eq, \$ne, "
             r"\$gt, \$gte, \$lt, \$lte, \$in, \$nin, \$not on a field"),
            ({"year": {"$foo": 1}}, ValueError,
             r"^filter on 'year': unknown filter operator '\$foo' \(accepted: \$eq, \$ne, \$gt, \$gte, \$lt, "
             r"\$lte, \$in, \$nin, \$not\)$"),
            ({"year": {"gte": 1}}, ValueError, r"unknown filter operator 'gte'"),
            ({"year": {"$gt": "2020"}}, ValueError, r"^filter on 'year': \$gt needs a number, got '2020'$"),
            ({"year": {"$lt": True}}, ValueError, r"\$lt needs a number, got True"),
            ({"year": None}, ValueError, r"cannot compare with NoneType"),
            ({"year": [2020]}, ValueError, r"cannot compare with list \(to match any of several values use"),
            ({"year": {"$in": 2020}}, ValueError, r"\$in needs a list, got int"),
            ({"year": {"$in": [[1]]}}, ValueError, r"cannot compare with list"),
            ({"year": float("nan")}, ValueError, r"^filter on 'year': \$eq cannot compare with NaN"),
            ({"year": {"$lt": float("nan")}}, ValueError, r"\$lt cannot compare with NaN"),
            ({"year": {}}, ValueError, r"empty condition"),
            ({"year": {"$not": 5}}, ValueError, r"\$not needs a dict of operators"),
            ({"$or": []}, ValueError, r"^\$or needs a non-empty list of filters"),
            ({"$and": {"a": 1}}, ValueError, r"^\$and needs a non-empty list of filters, got dict"),
            ({"$or": [5]}, ValueError, r"^\$or needs a filter dict, got int"),
            ({"$not": [{"a": 1}]}, ValueError, r"^\$not needs a filter dict, got list"),
            ({1: 2}, ValueError, r"^filter keys must be str, got 1"),
            ({"year": 2**63}, OverflowError, r"^filter on 'year': int out of the signed 64-bit range"),
            ([{"year": 1}], TypeError, r"^argument 'filter': expected dict, got list"),
        ],
    )
    def test_refusals_name_what_is_wrong(self, docs, flt, error, message):
        db, _ = docs
        for call in (lambda: db.get("c", filter=flt), lambda: db.count("c", flt),
                     lambda: db.delete_where("c", flt), lambda: db.search("c", [1.0, 0.0], filter=flt),
                     lambda: filter_fields(flt)):
            with pytest.raises(error, match=message):
                call()
        assert db.count("c") == 7

    def test_nesting_is_bounded(self, docs):
        db, _ = docs
        flt = {"year": 2020}
        for _ in range(63):
            flt = {"$not": flt}
        assert self.ids_of(db, flt) == [0, 2, 3, 4, 5, 6]  # 63 negations
        for _ in range(100_000):  # far beyond any stack: refused at once, not walked to the bottom
            flt = {"$not": flt}
        with pytest.raises(ValueError, match="^filter nests deeper than 64 levels$"):
            db.count("c", flt)


# ---- get and delete: one id or many -----------------------------------------------


class TestIds:
    def test_one_id_keeps_the_old_answers_and_many_ids_give_lists(self, db4):
        a = db4.insert("c", "a", [1.0, 0, 0, 0], {"n": 1})
        b = db4.insert("c", "b", [0, 1.0, 0, 0])
        missing = str(uuid.uuid4())
        assert db4.get("c", a) == {"id": a, "text": "a", "metadata": {"n": 1}}
        assert db4.get("c", id=a.upper())["id"] == a  # the older keyword, any spelling
        with pytest.raises(KeyError, match=missing):
            db4.get("c", missing)
        assert [d["id"] for d in db4.get("c", [b, missing, a, b])] == [b, a]
        assert [d["id"] for d in db4.get("c", (a,))] == [a]
        assert db4.get("c", []) == []
        assert [d["id"] for d in db4.get("c")] == [a, b]

        assert db4.delete("c", missing) is False
        assert db4.delete("c", [a, missing, a]) == 1
        assert db4.delete("c", [a]) == 0
        assert db4.delete("c", id=b) is True
        assert db4.count("c") == 0

    @pytest.mark.parametrize(
        "call,error,message",
        [
            (lambda db: db.get("c", "x", filter={}), TypeError, "get\\(\\) with one id returns that document"),
            (lambda db: db.get("c", str(uuid.uuid4()), limit=1), TypeError, "with one id"),
            (lambda db: db.get("c", ids=[], id="x"), TypeError, "takes ids or id"),
            (lambda db: db.get("c", 5), TypeError, "argument 'ids': expected str or a list of str, got int"),
            (lambda db: db.get("c", [str(uuid.uuid4()), 5]), TypeError, "argument 'ids': item 1: expected str"),
            (lambda db: db.get("c", limit=-1), OverflowError, "argument 'limit'"),
            (lambda db: db.get("c", offset="1"), TypeError, "argument 'offset'"),
            (lambda db: db.delete("c"), TypeError, "missing required argument 'ids'"),
            (lambda db: db.delete("c", None), TypeError, "expected str or a list of str, got NoneType"),
            (lambda db: db.delete("c", {str(uuid.uuid4())}), TypeError, "got set"),
            (lambda db: db.delete_where("c", None), TypeError, "needs a filter dict"),
            (lambda db: db.delete_where("c"), TypeError, "missing required argument 'filter'"),
            (lambda db: db.count("nope"), KeyError, "collection 'nope' not found"),
            (lambda db: db.get("nope", []), KeyError, "collection 'nope' not found"),
            (lambda db: db.delete_where("nope", {}), KeyError, "collection 'nope' not found"),
        ],
    )
    def test_argument_refusals(self, db4, call, error, message):
        kept = db4.insert("c", "kept", [1.0, 0, 0, 0])
        with pytest.raises(error, match=message):
            call(db4)
        assert db4.list_ids("c") == [kept]

    def test_every_method_taking_ids_says_how_to_make_one(self, db4):
        kept = db4.insert("c", "kept", [1.0, 0, 0, 0])
        hint = r"; ids are UUID strings; make one from a name with str\(uuid.uuid5\(uuid.NAMESPACE_URL, name\)\)$"
        calls = {
            "insert": lambda: db4.insert("c", "x", [0.0] * 4, id="doc-1"),
            "batch_insert": lambda: db4.batch_insert("c", [{"text": "x", "embedding": [0.0] * 4, "id": "doc-1"}]),
            "upsert": lambda: db4.upsert("c", "doc-1", "x", [0.0] * 4),
            "update_metadata": lambda: db4.update_metadata("c", "doc-1", {}),
            "get": lambda: db4.get("c", "doc-1"),
            "get_embedding": lambda: db4.get_embedding("c", "doc-1"),
            "delete": lambda: db4.delete("c", "doc-1"),
        }
        for name, call in calls.items():
            with pytest.raises(ValueError, match=r"^invalid UUID: .+" + hint):
                call()
        # In a list, the position too; nothing is deleted when one id is bad.
        with pytest.raises(ValueError, match=r"^invalid UUID: .+ \(ids\[1\]\)" + hint):
            db4.delete("c", [kept, "doc-1"])
        with pytest.raises(ValueError, match=r"\(ids\[0\]\)" + hint):
            db4.get("c", ["doc-1"])
        assert db4.list_ids("c") == [kept]
        # The advice works.
        made = str(uuid.uuid5(uuid.NAMESPACE_URL, "doc-1"))
        assert db4.insert("c", "x", [0.0, 1.0, 0, 0], id=made) == made


class TestExistOk:
    def test_same_definition_is_returned_and_a_different_one_raises(self, db):
        db.create_collection("c", 4, distance_metric="euclidean", m=8)
        doc = db.insert("c", "kept", [1.0, 0, 0, 0])
        assert db.create_collection("c", 4, distance_metric="euclidean", exist_ok=True) is None
        assert db.create_collection("c", 4, distance_metric="euclidean", m=8, ef_search=50, exist_ok=True) is None
        assert db.list_ids("c") == [doc]
        with pytest.raises(ValueError, match=r"^collection 'c' already exists with distance_metric 'euclidean' "
                                             r"\(asked 'cosine'\)$"):
            db.create_collection("c", 4, exist_ok=True)
        with pytest.raises(ValueError, match=r"^collection 'c' already exists with dimension 4 \(asked 3\), m 8 "
                                             r"\(asked 16\)$"):
            db.create_collection("c", 3, distance_metric="euclidean", m=16, exist_ok=True)
        with pytest.raises(ValueError, match=r"^Collection 'c' already exists$"):
            db.create_collection("c", 4, distance_metric="euclidean", exist_ok=False)
        with pytest.raises(TypeError, match="argument 'exist_ok': expected bool, got int"):
            db.create_collection("c", 4, exist_ok=1)
        assert db.create_collection("new", 2, exist_ok=True) is None
        assert sorted(db.list_collections()) == ["c", "new"]

    def test_nothing_is_logged_for_an_existing_collection(self, tmp_path):
        with Karvalith(data_dir=str(tmp_path)) as db:
            db.create_collection("c", 4)
            size = db.status()["log_bytes"]
            db.create_collection("c", 4, exist_ok=True)
            assert db.status()["log_bytes"] == size


# ---- durability ------------------------------------------------------------------

CHILD = textwrap.dedent(
    """
    import os, sys
    from karvalith import Karvalith
    db = Karvalith(data_dir=sys.argv[1], auto_checkpoint_bytes=0, auto_checkpoint_records=0)
    ids = db.list_ids("c")
    deleted = db.delete("c", ids[::2]) if sys.argv[2] == "ids" else db.delete_where("c", {"n": {"$lt": 100}})
    print(deleted, flush=True)
    sys.stdin.read()  # killed here, with the handle still open
    """
)


@pytest.mark.parametrize("how", ["ids", "filter"])
def test_a_many_document_delete_survives_sigkill(tmp_path, how):
    data = str(tmp_path / "data")
    with Karvalith(data_dir=data) as db:
        db.create_collection("c", 2)
        ids = db.batch_insert("c", [{"text": str(n), "embedding": [1.0, float(n)], "metadata": {"n": n}}
                                    for n in range(300)])
    child = subprocess.Popen([sys.executable, "-c", CHILD, data, how], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        reported = int(child.stdout.readline())
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL
    expected = ids[1::2] if how == "ids" else ids[100:]
    assert reported == 300 - len(expected)
    with Karvalith(data_dir=data) as db:
        assert db.list_ids("c") == expected
        assert db.status()["issues"] == []
        db.compact()  # into the snapshot, then an empty log
    with Karvalith(data_dir=data) as db:
        assert db.list_ids("c") == expected
