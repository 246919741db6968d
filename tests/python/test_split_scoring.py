"""Scoring a collection as part of a larger document set: keyword_statistics,
search(bm25_statistics=...) and the module's fuse function."""

import random
import uuid

import pytest

from karvalith import Karvalith, _karvalith

WORDS = ["apple", "pear", "plum", "fig", "kiwi", "lime", "date", "yuzu", "sloe", "quince"]


def corpus(seed, count=120, dim=6):
    rng = random.Random(seed)
    docs = []
    for i in range(count):
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 7)))
        docs.append({"id": str(uuid.UUID(int=rng.getrandbits(128))), "text": text,
                     "embedding": [rng.uniform(-1, 1) for _ in range(dim)], "metadata": {"n": i}})
    return docs


def summed(figures):
    total = {"document_count": 0, "total_length": 0, "document_frequencies": {}}
    for part in figures:
        total["document_count"] += part["document_count"]
        total["total_length"] += part["total_length"]
        for term, count in part["document_frequencies"].items():
            total["document_frequencies"][term] = total["document_frequencies"].get(term, 0) + count
    return total


@pytest.fixture(scope="module")
def split():
    """One collection with every document, and the same documents split over
    three collections (in insertion order within each)."""
    docs = corpus(5)
    whole = Karvalith()
    whole.create_collection("c", 6)
    whole.batch_insert("c", docs)
    parts = [Karvalith() for _ in range(3)]
    for i, part in enumerate(parts):
        part.create_collection("c", 6)
        part.batch_insert("c", docs[i::3])
    return whole, parts


class TestKeywordStatistics:
    def test_figures_follow_the_scorers_tokenization(self, db4):
        db4.insert("c", "Apple pear", [1, 0, 0, 0])
        db4.insert("c", "apple the fig fig", [0, 1, 0, 0])
        figures = db4.keyword_statistics("c", "APPLE apple the kiwi")
        # Lower-cased, stop words dropped, repeats counted once, unknown terms at 0.
        assert figures == {"document_count": 2, "total_length": 5,
                           "document_frequencies": {"apple": 2, "kiwi": 0}}

    def test_missing_collection_and_argument_types(self, db4):
        with pytest.raises(KeyError):
            db4.keyword_statistics("nope", "apple")
        with pytest.raises(TypeError, match="query_text"):
            db4.keyword_statistics("c", None)


class TestSuppliedStatistics:
    QUERIES = ["apple", "pear plum", "fig fig kiwi", "yuzu sloe quince apple", "missing words"]

    @pytest.mark.parametrize("query", QUERIES)
    @pytest.mark.parametrize("filtered", [False, True])
    def test_parts_score_exactly_as_one_collection(self, split, query, filtered):
        whole, parts = split
        flt = {"must": [{"field": "n", "op": "lt", "value": 60}]} if filtered else None
        want = {r.id: r.score for r in whole.search("c", query_text=query, k=1000, filter=flt)}
        figures = summed(p.keyword_statistics("c", query) for p in parts)
        got = {}
        for part in parts:
            for r in part.search("c", query_text=query, k=1000, filter=flt, bm25_statistics=figures):
                got[r.id] = r.score
        assert got == want  # same floats, not merely close

    def test_own_figures_change_nothing_and_other_figures_change_scores(self, split):
        _, parts = split
        own = parts[0].keyword_statistics("c", "apple pear")
        plain = [(r.id, r.score) for r in parts[0].search("c", query_text="apple pear", k=20)]
        same = parts[0].search("c", query_text="apple pear", k=20, bm25_statistics=own)
        assert [(r.id, r.score) for r in same] == plain
        larger = dict(own, document_count=own["document_count"] * 3)
        scaled = parts[0].search("c", query_text="apple pear", k=20, bm25_statistics=larger)
        assert [r.score for r in scaled] != [s for _, s in plain]

    def test_hybrid_uses_the_supplied_figures_on_its_keyword_side(self, split):
        _, parts = split
        own = parts[0].keyword_statistics("c", "apple")
        bogus = dict(own, document_count=0)
        with pytest.raises(ValueError, match="do not cover this collection"):
            parts[0].search("c", query_embedding=[0.1] * 6, query_text="apple", bm25_statistics=bogus)

    @pytest.mark.parametrize(
        "figures,error,match",
        [
            ([], TypeError, "expected dict"),
            ({"total_length": 1, "document_frequencies": {}}, ValueError, "missing 'document_count'"),
            ({"document_count": 1, "total_length": 1}, ValueError, "missing 'document_frequencies'"),
            ({"document_count": 1, "total_length": 1, "document_frequencies": {}, "df": 1},
             ValueError, "unknown bm25_statistics key"),
            ({"document_count": -1, "total_length": 1, "document_frequencies": {}}, OverflowError, "document_count"),
            ({"document_count": 1, "total_length": 1, "document_frequencies": []}, TypeError, "expected dict"),
            ({"document_count": 1, "total_length": 1, "document_frequencies": {1: 1}}, TypeError, "term"),
            ({"document_count": 1, "total_length": 1, "document_frequencies": {"a": "1"}}, TypeError, "frequency"),
        ],
    )
    def test_malformed_figures(self, db4, figures, error, match):
        with pytest.raises(error, match=match):
            db4.search("c", query_text="apple", bm25_statistics=figures)

    def test_figures_need_a_text_and_must_cover_the_collection(self, db4):
        db4.insert("c", "apple pear", [1, 0, 0, 0])
        figures = db4.keyword_statistics("c", "apple")
        with pytest.raises(ValueError, match="bm25_statistics requires query_text"):
            db4.search("c", query_embedding=[1, 0, 0, 0], bm25_statistics=figures)
        with pytest.raises(ValueError, match="no document frequency for the term 'pear'"):
            db4.search("c", query_text="pear", bm25_statistics=figures)


class TestFuse:
    @pytest.mark.parametrize("method,alpha", [("rrf", 0.7), ("linear", 0.7), ("linear", 0.25)])
    def test_fusing_a_collections_own_lists_gives_its_hybrid_search(self, split, method, alpha):
        # Numbering documents in insertion order reproduces the collection's
        # tie order: its slots are numbered that way.
        whole, _ = split
        order = {}
        for n in range(120):
            hits = whole.search("c", query_embedding=[0.0] * 6, query_text=" ".join(WORDS), k=1000,
                                filter={"must": [{"field": "n", "op": "eq", "value": n}]})
            order[hits[0].id] = n
        rng = random.Random(9)
        for _ in range(10):
            q = [rng.uniform(-1, 1) for _ in range(6)]
            text = " ".join(rng.sample(WORDS, 2))
            vec = whole.search("c", query_embedding=q, k=15, ef=200)
            kw = whole.search("c", query_text=text, k=15)
            fused = _karvalith.fuse([(order[r.id], r.score) for r in vec], [(order[r.id], r.score) for r in kw],
                                    k=15, fusion_method=method, alpha=alpha)
            want = whole.search("c", query_embedding=q, query_text=text, k=15, ef=200,
                                fusion_method=method, alpha=alpha)
            by_number = {n: i for i, n in order.items()}
            assert [(by_number[n], s) for n, s in fused] == [(r.id, r.score) for r in want]

    def test_ties_go_to_larger_ids_and_k_cuts(self):
        # Ranks 0 in one list only: equal RRF scores, larger id first.
        assert [i for i, _ in _karvalith.fuse([(3, 1.0)], [(7, 5.0)])] == [7, 3]
        assert _karvalith.fuse([(3, 1.0), (4, 0.5)], [(4, 2.0)], k=1)[0][0] == 4
        assert _karvalith.fuse([], []) == []

    @pytest.mark.parametrize(
        "args,error",
        [(([(1,)], []), TypeError), (([(1, 0.5)], 5), TypeError), (([(2**32, 0.5)], []), OverflowError),
         (([(-1, 0.5)], []), OverflowError), (([("a", 0.5)], []), TypeError)],
    )
    def test_malformed_rankings(self, args, error):
        with pytest.raises(error):
            _karvalith.fuse(*args)
