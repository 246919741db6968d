"""What a caller hands in by mistake is refused, naming the key, before anything changes."""

import pytest

from karvalith import Karvalith

DOC_KEYS = "accepted: text, embedding, metadata, id"


def document(**extra):
    doc = {"text": "a cat", "embedding": [1.0, 0.0, 0.0, 0.0]}
    doc.update(extra)
    return doc


class TestDocumentDicts:
    @pytest.mark.parametrize("key", ["meta", "metadatas", "embeddings", "ID", "Text"])
    def test_a_misspelt_key_refuses_the_whole_batch(self, tmp_path, key):
        with Karvalith(str(tmp_path)) as db:
            db.create_collection("c", 4)
            records = db.status()["log_records"]
            bad = document(**{key: {"tenant": "a"}})
            with pytest.raises(ValueError, match=rf"^documents\[1\] has unknown key '{key}' \({DOC_KEYS}\)$"):
                db.batch_insert("c", [document(), bad, document()])
            assert db.collection_info("c").document_count == 0
            assert db.status()["log_records"] == records

    def test_a_key_that_is_not_a_str_is_named(self, db4):
        with pytest.raises(ValueError, match=rf"^documents\[0\] has unknown key 7 \({DOC_KEYS}\)$"):
            db4.batch_insert("c", [document(**{}) | {7: "x"}])

    def test_every_accepted_key_still_works(self, db4):
        doc_id = "00000000-0000-4000-8000-0000000000aa"
        ids = db4.batch_insert("c", [document(metadata={"k": 1}, id=doc_id), document()])
        assert ids[0] == doc_id
        assert db4.get("c", doc_id)["metadata"] == {"k": 1}


class TestFilterConditions:
    @pytest.fixture
    def tenants(self, db4):
        for tenant in ("a", "b", "c"):
            db4.insert("c", f"doc of {tenant}", [1.0, 0.0, 0.0, 0.0], {"tenant": tenant})
        return db4

    @pytest.mark.parametrize("condition, message", [
        ({"field": "tenant", "op": "eq", "vaule": "b"},
         r"^filter condition on field 'tenant' has unknown key 'vaule' \(accepted: field, op, value\)$"),
        ({"field": "tenant", "op": "eq", "values": ["b"]},
         r"^filter condition on field 'tenant' has unknown key 'values' \(accepted: field, op, value\)$"),
        ({"field": "tenant", "op": "in", "value": "b"},
         r"^filter condition on field 'tenant' has unknown key 'value' \(accepted: field, op, values\)$"),
        ({"field": "tenant", "op": "in"}, r"^filter condition on field 'tenant': operator 'in' needs 'values'$"),
        ({"field": "tenant", "op": "ne"}, r"^filter condition on field 'tenant': operator 'ne' needs 'value'$"),
        ({"field": "tenant", "op": "gte"}, r"^filter condition on field 'tenant': operator 'gte' needs 'value'$"),
    ])
    @pytest.mark.parametrize("clause", ["must", "must_not"])
    def test_a_slip_in_a_condition_is_refused(self, tenants, condition, message, clause):
        flt = {clause: [condition]}
        with pytest.raises(ValueError, match=message):
            tenants.search("c", query_embedding=[1.0, 0.0, 0.0, 0.0], k=10, filter=flt)
        with pytest.raises(ValueError, match=message):
            tenants.search("c", query_text="doc", k=10, filter=flt)
        with pytest.raises(ValueError, match=message):
            tenants.batch_search("c", [[1.0, 0.0, 0.0, 0.0]], k=10, filter=flt)

    def test_the_earlier_checks_keep_their_order(self, tenants):
        with pytest.raises(ValueError, match="^filter condition missing 'field'$"):
            tenants.search("c", query_embedding=[1.0, 0.0, 0.0, 0.0], filter={"must": [{"vaule": 1}]})
        with pytest.raises(ValueError, match=r"^unknown filter operator: 'EQ' \(accepted: eq, ne, gt, gte, lt, lte, in\)$"):
            tenants.search("c", query_embedding=[1.0, 0.0, 0.0, 0.0],
                           filter={"must": [{"field": "t", "op": "EQ", "vaule": 1}]})

    def test_well_formed_conditions_still_filter(self, tenants):
        hits = tenants.search("c", query_embedding=[1.0, 0.0, 0.0, 0.0], k=10,
                              filter={"must_not": [{"field": "tenant", "op": "in", "values": ["a", "c"]}],
                                      "must": [{"field": "tenant", "op": "ne", "value": None}]})
        assert [hit.metadata["tenant"] for hit in hits] == ["b"]
