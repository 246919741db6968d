"""SearchResult objects as search returns them: getters, copies and repr."""

import pytest

from karvalith import Karvalith, SearchResult

pytestmark = pytest.mark.skipif(not hasattr(Karvalith, "search"), reason="search not built")


def only_hit(text="t", embedding=(1.0, 0.0), query=(1.0, 0.0), metadata=None):
    """The single result of a dot-product search: its score is 1 + <query, embedding>."""
    db = Karvalith()
    db.create_collection("c", 2, distance_metric="dot_product")
    doc_id = db.insert("c", text, list(embedding), metadata)
    [hit] = db.search("c", list(query), k=1)
    return doc_id, hit


class TestGetters:
    def test_fields_are_copies_of_the_document(self):
        doc_id, hit = only_hit("hello", metadata={"b": True, "i": 3, "f": 0.5, "s": "x"})
        assert isinstance(hit, SearchResult)
        assert (hit.id, hit.text) == (doc_id, "hello")
        assert isinstance(hit.score, float)
        assert hit.metadata == {"b": True, "i": 3, "f": 0.5, "s": "x"}

    def test_metadata_is_a_new_dict_on_every_access(self):
        _, hit = only_hit(metadata={"k": 1})
        first, second = hit.metadata, hit.metadata
        assert first == second and first is not second
        first["k"] = 2
        assert hit.metadata == {"k": 1}

    def test_getters_are_read_only(self):
        _, hit = only_hit()
        for field in ("id", "text", "score", "metadata"):
            with pytest.raises(AttributeError):
                setattr(hit, field, None)


class TestRepr:
    @pytest.mark.parametrize(
        "text,shown",
        [
            ("a" * 50, "a" * 50),
            ("a" * 51, "a" * 50 + "..."),
            ("a" * 49 + "é" + "b", "a" * 49 + "..."),
            ("it's", "it's"),
        ],
        ids=["50-bytes", "51-bytes", "straddling", "unescaped-quote"],
    )
    def test_text_preview(self, text, shown):
        doc_id, hit = only_hit(text)
        assert repr(hit) == f"SearchResult(id='{doc_id}', text='{shown}', score=2.0000)"

    @pytest.mark.parametrize(
        "embedding,query,score",
        [
            ((-1.0, 0.0), (0.5, 0.0), "0.5000"),
            ((-1.5, 0.0), (1.5, 0.0), "-1.2500"),
            ((3e38, 3e38), (3e38, 3e38), "inf"),
        ],
    )
    def test_score_has_four_decimals(self, embedding, query, score):
        _, hit = only_hit(embedding=embedding, query=query)
        assert repr(hit).endswith(f", score={score})")
