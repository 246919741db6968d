"""Filtered search through the metadata index and the planner: both paths
(exact scan and graph walk) against a reference written from the documented
filter rules, keyword search with a filter, and the exact_threshold argument."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from karvalith import Karvalith

EPS = 2.220446049250313e-16

values = st.one_of(
    st.booleans(),
    st.integers(min_value=-3, max_value=3),
    st.sampled_from([0.0, -0.0, 0.5, 1.0, 1.0 + EPS, EPS / 2, 2.5, math.inf, -math.inf, math.nan]),
    st.sampled_from(["a", "b", ""]),
)
operands = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-3, max_value=3),
    st.sampled_from([0.0, 0.5, 1.0, 1.0 + EPS, EPS / 2, 2.5]),
    st.sampled_from(["a", "b", ""]),
)
metadata = st.dictionaries(st.sampled_from(["x", "y"]), values, max_size=2)


@st.composite
def clauses(draw):
    op = draw(st.sampled_from(["eq", "ne", "gt", "gte", "lt", "lte", "in"]))
    clause = {"field": draw(st.sampled_from(["x", "y", "z"])), "op": op}
    if op == "in":
        clause["values"] = draw(st.lists(operands, max_size=3))
    else:
        clause["value"] = draw(operands)
    return clause


filters = st.fixed_dictionaries({"must": st.lists(clauses(), max_size=2), "must_not": st.lists(clauses(), max_size=2)})


def number(v):
    return float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def equal(m, v):
    if isinstance(m, bool) or isinstance(v, bool):
        return isinstance(m, bool) and isinstance(v, bool) and m == v
    if isinstance(m, str) or isinstance(v, str):
        return isinstance(m, str) and isinstance(v, str) and m == v
    a, b = number(m), number(v)
    return a is not None and b is not None and (a == b or abs(a - b) < EPS)


def holds(meta, clause):
    """The documented rules: a missing key fails every clause, ne included."""
    if clause["field"] not in meta:
        return False
    m, op = meta[clause["field"]], clause["op"]
    if op == "in":
        return any(equal(m, v) for v in clause["values"])
    v = clause["value"]
    if op == "eq":
        return equal(m, v)
    if op == "ne":
        return not equal(m, v)
    a, b = number(m), number(v)
    if a is None or b is None:
        return False
    return {"gt": a > b, "gte": a >= b, "lt": a < b, "lte": a <= b}[op]


def passes(meta, flt):
    return all(holds(meta, c) for c in flt["must"]) and not any(holds(meta, c) for c in flt["must_not"])


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    metas=st.lists(metadata, min_size=1, max_size=40),
    flt=filters,
    seed=st.integers(0, 2**32 - 1),
    k=st.integers(1, 12),
)
def test_both_paths_return_the_exact_top_k_of_the_passing_documents(metas, flt, seed, k):
    # Small integer vectors: squared distances are exact in float32, so scores compare exactly.
    rng = np.random.default_rng(seed)
    vectors = rng.integers(-3, 4, size=(len(metas), 4)).astype(np.float32)
    query = rng.integers(-3, 4, size=4).astype(np.float32)
    db = Karvalith()
    db.create_collection("c", 4, distance_metric="euclidean", store_raw_vectors=True)
    ids = db.batch_insert("c", [{"text": "t", "embedding": v, "metadata": m} for v, m in zip(vectors, metas)])
    expected = {}
    for i, meta in enumerate(metas):
        if passes(meta, flt):
            expected[ids[i]] = 1.0 - float(((vectors[i] - query) ** 2).sum())
    best = sorted(expected.values(), reverse=True)[:k]

    exact = db.search("c", query_embedding=query, k=k, filter=flt, exact_threshold=10**9)
    walked = db.search("c", query_embedding=query, k=k, filter=flt, exact_threshold=0, ef=len(metas))
    for results in (exact, walked):
        assert len({r.id for r in results}) == len(results)
        assert all(r.id in expected and r.score == expected[r.id] for r in results)
        assert [r.score for r in results] == sorted((r.score for r in results), reverse=True)
    # The scan is exact; the walk is exact on a graph this small (every node linked).
    assert [r.score for r in exact] == best
    assert [r.score for r in walked] == best


@pytest.mark.parametrize("k", [1, 10, 40])
def test_the_scan_over_raw_vectors_is_exact_where_codes_cannot_rank(k, tmp_path):
    # Every vector is one centre plus a unit-sized integer step, about one
    # quantization step of its 8-bit codes: the codes' order of the distances
    # is mostly noise. Integers keep every squared distance exact in float32.
    # Checked as inserted and again after a compact and a reopen (the bounds
    # the scan uses are derived again when the snapshot is loaded).
    rng = np.random.default_rng(7)
    centre = rng.integers(-100, 101, size=16)
    centre[0], centre[1] = -100, 100
    vectors = (centre + rng.integers(-1, 2, size=(600, 16))).astype(np.float32)
    db = Karvalith(str(tmp_path))
    db.create_collection("c", 16, distance_metric="euclidean", store_raw_vectors=True)
    ids = db.batch_insert("c", [{"text": "t", "embedding": v, "metadata": {"half": i % 2}}
                                for i, v in enumerate(vectors)])
    flt = {"half": 1}
    queries = [(centre + rng.integers(-3, 4, size=16)).astype(np.float32) for _ in range(5)]
    for reopened in (False, True):
        if reopened:
            db.compact()
            db.close()
            db = Karvalith(str(tmp_path))
        for query in queries:
            scores = {ids[i]: 1.0 - float(((vectors[i] - query) ** 2).sum()) for i in range(1, 600, 2)}
            best = sorted(scores.values(), reverse=True)[:k]
            found = db.search("c", query_embedding=query, k=k, filter=flt, exact_threshold=10**9)
            assert [r.score for r in found] == best
            assert all(scores[r.id] == r.score for r in found)
    db.close()


class TestPlannerThroughTheApi:
    @pytest.fixture
    def tagged(self):
        db = Karvalith()
        db.create_collection("c", 2, distance_metric="euclidean", store_raw_vectors=True)
        docs = []
        for i in range(300):
            docs.append({
                "text": f"tax report {i}" if i % 2 else f"budget {i}",
                "embedding": [float(i % 17), float(i // 17)],
                "metadata": {"year": 2000 + i % 30, "tenant": "a" if i % 5 == 0 else "b"},
            })
        return db, db.batch_insert("c", docs)

    def test_keyword_and_hybrid_searches_keep_to_the_passing_documents(self, tagged):
        db, _ = tagged
        flt = {"must": [{"field": "tenant", "op": "eq", "value": "a"}, {"field": "year", "op": "lt", "value": 2015}]}
        keyword = db.search("c", query_text="tax", k=50, filter=flt)
        assert keyword and all(r.metadata["tenant"] == "a" and r.metadata["year"] < 2015 for r in keyword)
        # Every passing document that mentions "tax" is there, not only those in the unfiltered top k.
        everything = db.search("c", query_text="tax", k=1000)
        want = {r.id for r in everything if r.metadata["tenant"] == "a" and r.metadata["year"] < 2015}
        assert {r.id for r in keyword} == want
        for threshold in (0, 10**9):
            hybrid = db.search("c", [1.0, 1.0], "tax", k=20, filter=flt, exact_threshold=threshold)
            assert hybrid and all(r.metadata["tenant"] == "a" and r.metadata["year"] < 2015 for r in hybrid)

    def test_the_index_follows_changes(self, tagged):
        db, ids = tagged
        flt = {"must": [{"field": "tenant", "op": "eq", "value": "c"}]}
        assert db.search("c", [0.0, 0.0], filter=flt) == []
        db.update_metadata("c", ids[1], {"tenant": "c"})
        db.upsert("c", ids[2], "moved", [5.0, 5.0], {"tenant": "c"})
        db.insert("c", "new", [9.0, 9.0], {"tenant": "c"})
        assert db.delete("c", ids[3])
        texts = sorted(r.text for r in db.search("c", [0.0, 0.0], k=10, filter=flt))
        assert texts == ["moved", "new", "tax report 1"]
        db.update_metadata("c", ids[1], {"tenant": "b"})
        db.rebuild("c")
        texts = sorted(r.text for r in db.search("c", [0.0, 0.0], k=10, filter=flt))
        assert texts == ["moved", "new"]
        assert db.search("c", [0.0, 0.0], k=300, filter={"must": [{"field": "tenant", "op": "eq", "value": "b"}]},
                         exact_threshold=0)[0].metadata["tenant"] == "b"

    @pytest.mark.parametrize("bad, error", [(-1, OverflowError), (2**64, OverflowError), ("5", TypeError),
                                            (1.5, TypeError)])
    def test_exact_threshold_must_be_a_non_negative_integer(self, tagged, bad, error):
        db, _ = tagged
        with pytest.raises(error, match="exact_threshold"):
            db.search("c", [0.0, 0.0], filter={}, exact_threshold=bad)

    def test_batch_search_plans_each_query_as_search_does(self, tagged):
        db, _ = tagged
        flt = {"must": [{"field": "tenant", "op": "eq", "value": "a"}]}
        queries = [[float(i), 2.0] for i in range(6)]
        for threshold in (0, 10**9):
            batch = db.batch_search("c", queries, k=4, filter=flt, exact_threshold=threshold, ef=300, num_threads=2)
            one_by_one = [db.search("c", q, k=4, filter=flt, exact_threshold=threshold, ef=300) for q in queries]
            assert [[(r.id, r.score) for r in hits] for hits in batch] == [
                [(r.id, r.score) for r in hits] for hits in one_by_one]
        with pytest.raises(OverflowError, match="exact_threshold"):
            db.batch_search("c", queries, filter=flt, exact_threshold=-1)
