"""Karvalith.search: argument handling, check order, the three paths, filters and results."""

import math

import numpy as np
import pytest

from karvalith import Karvalith, SearchResult


def f32(x):
    return float(np.float32(x))


def rrf(*ranks):
    """Fused RRF score in f32 for the given 0-based ranks, summed in order."""
    total = np.float32(0)
    for rank in ranks:
        total = np.float32(total + np.float32(1) / (np.float32(rank) + np.float32(60) + np.float32(1)))
    return float(total)


@pytest.fixture
def fruit():
    """Euclidean collection with raw vectors; "near" is nearest to the origin,
    "wordy" has the best BM25 score for "apple"."""
    db = Karvalith()
    db.create_collection("c", 2, distance_metric="euclidean", store_raw_vectors=True)
    ids = {
        "near": db.insert("c", "apple pear pear pear", [0.0, 0.0], {"lang": "it", "n": 1}),
        "wordy": db.insert("c", "apple apple", [1.0, 0.0], {"lang": "en", "n": 2}),
        "far": db.insert("c", "cherry", [3.0, 0.0], {"lang": "en", "n": 3}),
    }
    return db, ids


def ids_of(results):
    return [r.id for r in results]


class TestCheckOrder:
    def test_missing_collection_is_reported_before_everything_else(self, db):
        for kwargs in ({}, {"filter": []}, {"query_embedding": [1.0], "filter": {"must": None}}):
            with pytest.raises(KeyError) as info:
                db.search("nope", **kwargs)
            assert info.value.args == ("collection 'nope' not found",)

    def test_argument_conversion_comes_before_the_lookup(self, db):
        with pytest.raises(OverflowError, match="k"):
            db.search("nope", k=-1)
        with pytest.raises(TypeError, match="alpha"):
            db.search("nope", alpha=None)

    def test_no_query_is_a_value_error_before_filter_parsing(self, db4):
        with pytest.raises(ValueError) as info:
            db4.search("c", filter=[])
        assert info.value.args == ("at least one of query_embedding or query_text is required",)

    def test_filter_errors_come_before_query_validation(self, db4):
        with pytest.raises(TypeError):
            db4.search("c", query_embedding=[1.0, 2.0], filter=[])

    def test_query_of_the_wrong_shape_is_refused(self, db4):
        with pytest.raises(ValueError) as info:
            db4.search("c", [1.0, 2.0, 3.0])
        assert info.value.args == ("query_embedding has 3 values but collection 'c' has dimension 4",)
        for bad in (math.nan, math.inf, -math.inf):
            with pytest.raises(ValueError, match="non-finite"):
                db4.search("c", [1.0, bad, 0.0, 0.0], query_text="x")


class TestArguments:
    @pytest.mark.parametrize(
        "kwargs, error, param",
        [
            ({"k": -1}, OverflowError, "k"),
            ({"k": 2**64}, OverflowError, "k"),
            ({"k": "3"}, TypeError, "k"),
            ({"k": None}, TypeError, "k"),
            ({"min_similarity": "0.5"}, TypeError, "min_similarity"),
            ({"alpha": None}, TypeError, "alpha"),
            ({"fusion_method": None}, TypeError, "fusion_method"),
            ({"query_text": 5}, TypeError, "query_text"),
            ({"query_embedding": "abc"}, TypeError, "query_embedding"),
        ],
    )
    def test_bad_arguments_name_their_parameter(self, db4, kwargs, error, param):
        with pytest.raises(error, match=param):
            db4.search("c", **{"query_text": "x", **kwargs})

    def test_largest_k_and_float_convertible_thresholds_are_accepted(self, fruit):
        db, _ = fruit

        class Half:
            def __float__(self):
                return 0.5

        assert len(db.search("c", [0.0, 0.0], k=2**64 - 1)) == 3
        assert len(db.search("c", [0.0, 0.0], k=2**64 - 1, query_text="apple")) == 3
        assert len(db.search("c", [0.0, 0.0], min_similarity=Half())) == 1
        assert len(db.search("c", [0.0, 0.0], min_similarity=-100)) == 3
        assert len(db.search("c", [0.0, 0.0], "apple", alpha=1, fusion_method="linear")) == 3

    def test_min_similarity_is_rounded_to_f32_before_comparing(self):
        db = Karvalith()
        db.create_collection("c", 2, distance_metric="euclidean", store_raw_vectors=True)
        db.insert("c", "x", [0.5, 0.0])  # score exactly 0.75
        assert len(db.search("c", [0.0, 0.0], min_similarity=0.75)) == 1
        assert len(db.search("c", [0.0, 0.0], min_similarity=0.75 + 1e-12)) == 1  # rounds to 0.75
        assert db.search("c", [0.0, 0.0], min_similarity=float(np.nextafter(np.float32(0.75), np.float32(1)))) == []


class TestPaths:
    def test_k_zero_is_empty_on_every_path(self, fruit):
        db, _ = fruit
        q = [0.0, 0.0]
        for kwargs in (
            {"query_embedding": q},
            {"query_embedding": q, "filter": {}},
            {"query_text": "apple"},
            {"query_embedding": q, "query_text": "apple"},
            {"query_embedding": q, "query_text": "apple", "fusion_method": "linear"},
            {"query_embedding": q, "query_text": "apple", "filter": {}},
        ):
            assert db.search("c", k=0, **kwargs) == []

    def test_empty_collection_gives_empty_lists(self, db4):
        assert db4.search("c", [1.0, 0.0, 0.0, 0.0]) == []
        assert db4.search("c", query_text="apple") == []
        assert db4.search("c", [1.0, 0.0, 0.0, 0.0], "apple", filter={}) == []

    def test_vector_scores_are_one_minus_distance(self):
        db = Karvalith()
        db.create_collection("e", 2, distance_metric="euclidean", store_raw_vectors=True)
        db.create_collection("d", 2, distance_metric="dot_product", store_raw_vectors=True)
        db.insert("e", "x", [3.0, 4.0])
        db.insert("d", "x", [1.0, 2.0])
        [hit] = db.search("e", [0.0, 0.0])
        assert isinstance(hit, SearchResult) and hit.score == -24.0
        assert [r.score for r in db.search("d", [3.0, 4.0])] == [12.0]
        assert [r.score for r in db.search("d", [3.0, 4.0], filter={})] == [12.0]

    def test_results_are_best_first_copies_of_the_documents(self, fruit):
        db, ids = fruit
        results = db.search("c", [0.0, 0.0])
        assert ids_of(results) == [ids["near"], ids["wordy"], ids["far"]]
        assert [r.score for r in results] == [1.0, 0.0, -8.0]
        assert results[0].text == "apple pear pear pear"
        assert results[0].metadata == {"lang": "it", "n": 1}

    def test_numpy_query_equals_list_query(self, fruit):
        db, _ = fruit
        query = [0.3, 0.1]
        expected = [(r.id, r.score) for r in db.search("c", query, "apple")]
        for array in (np.array(query, dtype=np.float32), np.array(query, dtype=np.float64)):
            assert [(r.id, r.score) for r in db.search("c", array, "apple")] == expected
            assert [(r.id, r.score) for r in db.search("c", array)] == [
                (r.id, r.score) for r in db.search("c", query)
            ]

    def test_keyword_path_applies_the_filter_but_no_threshold(self, fruit):
        db, ids = fruit
        plain = db.search("c", query_text="apple")
        assert ids_of(plain) == [ids["wordy"], ids["near"]]
        assert plain[0].score > plain[1].score > 0
        only_it = {"must": [{"field": "lang", "op": "eq", "value": "it"}]}
        filtered = db.search("c", query_text="apple", filter=only_it, min_similarity=100.0)
        # The document that passes keeps its unfiltered BM25 score.
        assert [(r.id, r.score) for r in filtered] == [(plain[1].id, plain[1].score)]
        # The filter is still parsed and must be valid.
        with pytest.raises(ValueError, match="unknown filter operator: 'EQ'"):
            db.search("c", query_text="apple", filter={"must": [{"field": "lang", "op": "EQ"}]})

    def test_filtered_keyword_lists_are_the_best_k_that_pass(self):
        # Ten documents mention "tax" more often than the one from 2024, so a
        # filter applied after a cut to k = 3 would find nothing.
        db = Karvalith()
        db.create_collection("c", 2)
        for i in range(10):
            db.insert("c", "tax tax tax tax report", [1.0, float(i)], {"year": 2023})
        kept = db.insert("c", "tax", [0.0, 1.0], {"year": 2024})
        year = {"must": [{"field": "year", "op": "eq", "value": 2024}]}
        unfiltered = db.search("c", query_text="tax", k=3)
        assert kept not in ids_of(unfiltered)
        keyword = db.search("c", query_text="tax", k=3, filter=year)
        assert ids_of(keyword) == [kept]
        hybrid = db.search("c", query_embedding=[-1.0, 5.0], query_text="tax", k=3, filter=year)
        assert ids_of(hybrid) == [kept]
        # Both lists hold it at rank 0: the reciprocal-rank score of two first places.
        assert hybrid[0].score == pytest.approx(2 / 61)

    def test_deleted_documents_are_never_returned(self, fruit):
        db, ids = fruit
        assert db.delete("c", ids["wordy"])
        q = [1.0, 0.0]
        for kwargs in (
            {"query_embedding": q},
            {"query_embedding": q, "filter": {}},
            {"query_text": "apple"},
            {"query_embedding": q, "query_text": "apple"},
            {"query_embedding": q, "query_text": "apple", "filter": {}},
        ):
            assert ids["wordy"] not in ids_of(db.search("c", **kwargs))

    def test_results_are_independent_of_later_changes(self, fruit):
        db, ids = fruit
        results = db.search("c", [0.0, 0.0], k=1)
        assert db.delete("c", ids["near"])
        db.delete_collection("c")
        assert results[0].id == ids["near"]
        assert results[0].text == "apple pear pear pear"
        metadata = results[0].metadata
        metadata["lang"] = "changed"
        assert results[0].metadata == {"lang": "it", "n": 1}


class TestFilters:
    def test_empty_filter_dict_restricts_nothing(self, fruit):
        db, _ = fruit
        q = [0.5, 0.0]  # "near" and "wordy" tie: equal distances come in no particular order
        def scored(**kwargs):
            return sorted((r.id, r.score) for r in db.search("c", q, **kwargs))
        assert scored(filter={}) == scored()
        assert scored(filter={"must": [], "must_not": []}) == scored()

    @pytest.mark.parametrize("key", ["mustt", "Must", "should", 1])
    def test_a_key_other_than_must_and_must_not_is_refused(self, fruit, key):
        db, _ = fruit
        clause = [{"field": "lang", "op": "eq", "value": "en"}]
        for kwargs in ({"query_embedding": [0.0, 0.0]}, {"query_text": "apple"}):
            with pytest.raises(ValueError, match=r"^unknown filter key: " + repr(key).replace("'", "'")):
                db.search("c", filter={"must": [], key: clause}, **kwargs)

    @pytest.mark.parametrize(
        "bad", [[], "x", 5, {"must": None}, {"must_not": None}, {"must": "eq"}, {"must": [1]}]
    )
    def test_malformed_filters_are_type_errors(self, fruit, bad):
        db, _ = fruit
        with pytest.raises(TypeError):
            db.search("c", [0.0, 0.0], filter=bad)

    def test_must_is_parsed_before_must_not(self, fruit):
        db, _ = fruit
        with pytest.raises(ValueError, match="filter condition missing 'field'"):
            db.search("c", [0.0, 0.0], filter={"must_not": None, "must": [{"op": "eq"}]})

    def test_vector_filter_selects_matching_documents(self, fruit):
        db, ids = fruit
        only_en = {"must": [{"field": "lang", "op": "eq", "value": "en"}]}
        assert ids_of(db.search("c", [0.0, 0.0], filter=only_en)) == [ids["wordy"], ids["far"]]
        not_big = {"must_not": [{"field": "n", "op": "gte", "value": 2}]}
        assert ids_of(db.search("c", [3.0, 0.0], filter=not_big)) == [ids["near"]]
        nothing = {"must": [{"field": "missing", "op": "ne", "value": 1}]}
        assert db.search("c", [0.0, 0.0], filter=nothing) == []

    def test_hybrid_filter_applies_to_both_lists_before_ranking(self, fruit):
        db, ids = fruit
        only_en = {"must": [{"field": "lang", "op": "in", "values": ["en"]}]}
        results = db.search("c", [0.0, 0.0], "apple", filter=only_en)
        # "near" would lead the vector list; filtered out, "wordy" heads both.
        assert ids_of(results) == [ids["wordy"], ids["far"]]
        assert [r.score for r in results] == [rrf(0, 0), rrf(1)]


class TestFusion:
    def test_rrf_top_of_both_lists_scores_two_over_sixty_one(self):
        db = Karvalith()
        db.create_collection("c", 2, distance_metric="euclidean", store_raw_vectors=True)
        top = db.insert("c", "apple banana", [0.0, 0.0])
        db.insert("c", "cherry", [2.0, 0.0])
        [first, *_] = db.search("c", [0.0, 0.0], "banana")
        assert first.id == top and first.score == rrf(0, 0)

    @pytest.mark.parametrize("method", ["rrf", "LINEAR", "Linear", "", "linear ", "anything"])
    def test_every_method_but_exact_linear_is_reciprocal_rank(self, fruit, method):
        db, ids = fruit
        results = db.search("c", [0.0, 0.0], "apple", k=2, fusion_method=method)
        # near: vector 0, keyword 1; wordy: vector 1, keyword 0.
        assert sorted(ids_of(results)) == sorted([ids["near"], ids["wordy"]])
        assert [r.score for r in results] == [rrf(0, 1), rrf(0, 1)]

    def test_linear_weighs_the_vector_side_by_alpha(self, fruit):
        db, ids = fruit
        results = db.search("c", [0.0, 0.0], "apple", k=2, fusion_method="linear")
        assert ids_of(results) == [ids["near"], ids["wordy"]]
        assert results[0].score == f32(0.7)
        keyword_heavy = db.search("c", [0.0, 0.0], "apple", k=2, alpha=0.2, fusion_method="linear")
        assert ids_of(keyword_heavy) == [ids["wordy"], ids["near"]]
        # alpha is not clamped: above 1 the keyword side weighs negatively.
        over = db.search("c", [0.0, 0.0], "zebra", k=1, alpha=1.5, fusion_method="linear")
        assert [r.score for r in over] == [1.5]

    def test_min_similarity_applies_to_the_fused_score(self, fruit):
        db, _ = fruit
        assert db.search("c", [0.0, 0.0], "apple", min_similarity=0.1) == []
        linear = db.search("c", [0.0, 0.0], "apple", min_similarity=0.1, fusion_method="linear")
        assert linear and all(r.score >= 0.1 for r in linear)

    def test_one_empty_side_leaves_the_other_alone(self, fruit):
        db, ids = fruit
        results = db.search("c", [0.0, 0.0], "zebra", k=2)
        assert ids_of(results) == [ids["near"], ids["wordy"]]
        assert [r.score for r in results] == [rrf(0), rrf(1)]


class TestLargeMagnitudes:
    """Embeddings near the float32 limit (3.4e38) and infinite filter operands."""

    BIG = [3.0e38, -2.0e38, 1.0e38, 3.3e38]
    SMALL = [[1.0, 2.0, 3.0, 4.0], [0.5, -1.0, 2.0, 0.0], [-3.0, 1.0, 0.25, 2.0]]

    def collection(self, metric, raw=False):
        db = Karvalith()
        db.create_collection("c", 4, distance_metric=metric, store_raw_vectors=raw)
        big = db.insert("c", "big", self.BIG, {"n": 0})
        for i, v in enumerate(self.SMALL):
            db.insert("c", "small", v, {"n": i + 1})
        return db, big

    @pytest.mark.parametrize("raw", [False, True])
    def test_cosine_of_a_vector_near_the_float_limit_with_itself_is_one(self, raw):
        db, big = self.collection("cosine", raw)
        for flt in (None, {"must": [{"field": "n", "op": "gte", "value": 0}]}):
            results = db.search("c", self.BIG, k=4, filter=flt)
            assert results[0].id == big
            assert results[0].score == pytest.approx(1.0, abs=1e-4)
            assert not any(math.isnan(r.score) for r in results)
        # The stored embedding comes back finite, within half a quantization step.
        step = (3.3e38 + 2.0e38) / 255
        for got, want in zip(db.get_embedding("c", big), self.BIG):
            assert math.isfinite(got) and abs(got - want) <= step / 2 * 1.0001

    @pytest.mark.parametrize("metric", ["euclidean", "dot_product"])
    def test_other_metrics_round_to_infinity_but_never_give_nan(self, metric):
        db, big = self.collection(metric)
        for query in [self.BIG, self.SMALL[0]]:
            results = db.search("c", query, k=4)
            assert len(results) == 4
            assert not any(math.isnan(r.score) for r in results)
        if metric == "dot_product":
            # |BIG|^2 is far beyond the float range: the score rounds to +inf.
            assert db.search("c", self.BIG, k=1)[0].score == math.inf
        else:
            # Beside a vector at the limit, SMALL[0] is still nearest to itself.
            nearest = db.search("c", self.SMALL[0], k=1)
            assert nearest[0].score == pytest.approx(1.0, abs=1e-4)

    def test_infinite_filter_operands_follow_ieee_order(self):
        db = Karvalith()
        db.create_collection("c", 2)
        for i, n in enumerate([1, 2.5, -7]):
            db.insert("c", "d", [1.0, float(i)], {"n": n})

        def count(op, value):
            flt = {"must": [{"field": "n", "op": op, "value": value}]}
            return len(db.search("c", [1.0, 0.0], k=5, filter=flt))

        assert count("lt", math.inf) == 3
        assert count("lte", math.inf) == 3
        assert count("gte", -math.inf) == 3
        assert count("gt", -math.inf) == 3
        assert count("gt", math.inf) == 0
        assert count("lt", -math.inf) == 0
        assert count("eq", math.inf) == 0
        assert count("ne", math.inf) == 3
