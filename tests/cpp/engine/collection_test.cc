#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/collection_test_util.h"
#include "core/engine/collection.h"
#include "core/hnsw/thread_context.h"

namespace karvalith {
namespace {

using testing::has_posting_for;
using testing::insert;
using testing::make_document;

TEST(CollectionSlots, AreDenseAndNeverReused) {
  Collection collection("docs", 2, HnswConfig{});
  const Uuid a = insert(collection, "alpha", {1, 0});
  const Uuid b = insert(collection, "bravo", {0, 1});
  const Uuid c = insert(collection, "charlie", {1, 1});
  ASSERT_TRUE(collection.delete_document(b));
  const Uuid d = insert(collection, "delta", {-1, 0});

  auto state = collection.state().read();
  EXPECT_EQ(state->internal_to_uuid, (std::vector<Uuid>{a, b, c, d}));
  EXPECT_EQ(state->uuid_to_internal.size(), 4u);
  EXPECT_EQ(state->slot_of(b), 1u);  // kept after the delete
  EXPECT_EQ(state->slot_of(d), 3u);
  EXPECT_EQ(state->hnsw.node_count(), 4u);
  EXPECT_EQ(state->documents.size(), 3u);
}

TEST(CollectionDelete, UnknownOrRepeatedReturnsFalseAndChangesNothing) {
  Collection collection("docs", 2, HnswConfig{});
  const Uuid a = insert(collection, "alpha words", {1, 0});
  insert(collection, "bravo words", {0, 1});
  EXPECT_FALSE(collection.delete_document(make_document("never stored").id));
  EXPECT_TRUE(collection.delete_document(a));
  const std::uint64_t bytes = collection.estimate_memory_bytes();
  const std::uint32_t count = collection.state().read()->inverted_index.doc_count();
  EXPECT_FALSE(collection.delete_document(a));
  EXPECT_EQ(collection.estimate_memory_bytes(), bytes);
  EXPECT_EQ(collection.state().read()->inverted_index.doc_count(), count);
}

TEST(CollectionDelete, TombstonesNodeAndRemovesPostingsEagerly) {
  Collection collection("docs", 2, HnswConfig{});
  insert(collection, "shared apple", {1, 0});
  const Uuid gone = insert(collection, "shared zebra", {0, 1});
  insert(collection, "shared cherry", {1, 1});
  const Uuid blank = insert(collection, "", {-1, 1});

  std::vector<std::uint32_t> links_before;
  {
    auto state = collection.state().read();
    auto links = state->hnsw.neighbors(1, 0);
    links_before.assign(links.begin(), links.end());
    EXPECT_EQ(state->inverted_index.doc_count(), 4u);
  }
  ASSERT_FALSE(links_before.empty());
  ASSERT_TRUE(collection.delete_document(gone));
  ASSERT_TRUE(collection.delete_document(blank));  // no postings: doc_count stays

  EXPECT_EQ(collection.get_document(gone), nullptr);
  EXPECT_EQ(collection.get_document(blank), nullptr);
  auto state = collection.state().read();
  EXPECT_TRUE(state->hnsw.is_deleted(1));
  EXPECT_TRUE(state->hnsw.is_deleted(3));
  EXPECT_FALSE(state->hnsw.is_deleted(0));
  auto links_after = state->hnsw.neighbors(1, 0);
  EXPECT_EQ(std::vector<std::uint32_t>(links_after.begin(), links_after.end()), links_before);
  EXPECT_FALSE(has_posting_for(state->inverted_index, 1));
  EXPECT_EQ(state->inverted_index.doc_count(), 3u);
  EXPECT_EQ(state->inverted_index.find("zebra"), nullptr);
  ASSERT_NE(state->inverted_index.find("shared"), nullptr);
  EXPECT_EQ(state->inverted_index.find("shared")->size(), 2u);
  EXPECT_EQ(state->uuid_to_internal.size(), 4u);
}

TEST(CollectionInsert, RefusesWrongLengthWithoutChangingState) {
  Collection collection("docs", 3, HnswConfig{});
  insert(collection, "first", {1, 2, 3});
  const std::uint64_t bytes = collection.estimate_memory_bytes();
  for (std::vector<float> bad : {std::vector<float>{1, 2}, std::vector<float>{1, 2, 3, 4}}) {
    Result<Uuid> refused = collection.insert_document(make_document("second"), bad);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
  }
  EXPECT_EQ(collection.estimate_memory_bytes(), bytes);
  auto state = collection.state().read();
  EXPECT_EQ(state->hnsw.node_count(), 1u);
  EXPECT_EQ(state->internal_to_uuid.size(), 1u);
  EXPECT_EQ(state->inverted_index.doc_count(), 1u);
}

TEST(CollectionInsert, SameIdAgainRetiresTheOldSlot) {
  Collection collection("docs", 2, HnswConfig{});
  Document first = make_document("old words");
  Document second{first.id, "new text", {}};
  ASSERT_TRUE(collection.insert_document(first, {1, 0}).has_value());
  ASSERT_TRUE(collection.insert_document(second, {0, 1}).has_value());

  EXPECT_EQ(collection.get_document(first.id)->text, "new text");
  EXPECT_EQ(testing::nearest_slot(collection, {1, 0}), 1);  // slot 0 is a tombstone
  auto state = collection.state().read();
  EXPECT_TRUE(state->hnsw.is_deleted(0));
  EXPECT_EQ(state->inverted_index.find("old"), nullptr);
  EXPECT_EQ(state->slot_of(first.id), 1u);
}

// Every slot has one id of its own and the maps are inverse to each other,
// as snapshots require; a live id answers for exactly one live node.
void expect_one_slot_per_id(const Collection& collection) {
  auto state = collection.state().read();
  ASSERT_EQ(state->uuid_to_internal.size(), state->internal_to_uuid.size());
  for (std::uint32_t slot = 0; slot < state->internal_to_uuid.size(); ++slot) {
    EXPECT_EQ(state->slot_of(state->internal_to_uuid[slot]), slot);
  }
  state->documents.for_each_slot([&](std::uint32_t slot) { EXPECT_FALSE(state->hnsw.is_deleted(slot)); });
  std::size_t live_nodes = 0;
  for (std::uint32_t n = 0; n < state->hnsw.node_count(); ++n) live_nodes += !state->hnsw.is_deleted(n);
  EXPECT_EQ(live_nodes, state->documents.size());
}

TEST(CollectionUpsert, ReplacesOrInsertsAndRetiredSlotsGiveUpTheirIds) {
  Collection collection("docs", 2, HnswConfig{});
  Document first = make_document("first words");
  ASSERT_TRUE(collection.upsert_document(first, {1, 0}));  // none yet: an insert
  ASSERT_TRUE(collection.upsert_document(Document{first.id, "second words", {}}, {0, 1}));
  ASSERT_TRUE(collection.upsert_document(Document{first.id, "third words", {}}, {1, 1}));
  EXPECT_EQ(collection.get_document(first.id)->text, "third words");
  expect_one_slot_per_id(collection);
  {
    auto state = collection.state().read();
    EXPECT_EQ(state->internal_to_uuid.size(), 3u);
    EXPECT_EQ(state->documents.size(), 1u);
    EXPECT_EQ(state->inverted_index.find("first"), nullptr);
    EXPECT_EQ(state->inverted_index.find("second"), nullptr);
    EXPECT_NE(state->inverted_index.find("third"), nullptr);
  }
  // A deleted id comes back without a rebuild.
  ASSERT_TRUE(collection.delete_document(first.id));
  ASSERT_TRUE(collection.insert_document(Document{first.id, "fourth", {}}, {1, 0}));
  expect_one_slot_per_id(collection);
  EXPECT_EQ(testing::nearest_slot(collection, {1, 0}), 3);

  // Metadata alone changes in place.
  Metadata metadata;
  metadata.insert_or_assign("k", std::int64_t{7});
  EXPECT_TRUE(collection.update_metadata(first.id, metadata));
  EXPECT_EQ(collection.get_document(first.id)->metadata.size(), 1u);
  EXPECT_EQ(collection.get_document(first.id)->text, "fourth");
  EXPECT_FALSE(collection.update_metadata(make_document("x").id, metadata));
  EXPECT_EQ(collection.state().read()->internal_to_uuid.size(), 4u);

  // A rebuild keeps only the live document, in one slot.
  ASSERT_TRUE(collection.rebuild());
  expect_one_slot_per_id(collection);
  EXPECT_EQ(collection.state().read()->internal_to_uuid.size(), 1u);
}

TEST(CollectionUpsert, RetiredIdsStayUniqueWhenCallersChoseTheirPattern) {
  // Callers may store documents under ids that spell a retired id ("retired",
  // an attempt byte, the slot number): the slot that retires must pick an id
  // nobody holds, also when all 256 attempt bytes of its slot are taken.
  Collection collection("docs", 2, HnswConfig{});
  const Uuid first = insert(collection, "first", {1, 0});  // slot 0
  std::vector<Uuid> chosen;
  for (unsigned attempt = 0; attempt < 256; ++attempt) {
    Uuid id;
    const char mark[7] = {'r', 'e', 't', 'i', 'r', 'e', 'd'};
    for (std::size_t i = 0; i < 7; ++i) id.bytes[i] = static_cast<std::uint8_t>(mark[i]);
    id.bytes[7] = static_cast<std::uint8_t>(attempt);  // slot number 0 in bytes 8-15
    chosen.push_back(id);
    ASSERT_TRUE(collection.insert_document(Document{id, "chosen " + std::to_string(attempt), {}}, {0, 1}));
  }
  ASSERT_TRUE(collection.upsert_document(Document{first, "first again", {}}, {1, 1}));
  ASSERT_TRUE(collection.delete_document(chosen[5]));
  ASSERT_TRUE(collection.upsert_document(Document{chosen[7], "seventh again", {}}, {1, 1}));
  expect_one_slot_per_id(collection);
  EXPECT_EQ(collection.get_document(first)->text, "first again");
  EXPECT_EQ(collection.get_document(chosen[7])->text, "seventh again");
  for (unsigned attempt = 0; attempt < 256; ++attempt) {
    if (attempt == 5 || attempt == 7) continue;
    ASSERT_NE(collection.get_document(chosen[attempt]), nullptr) << attempt;
    EXPECT_EQ(collection.get_document(chosen[attempt])->text, "chosen " + std::to_string(attempt));
  }
  ASSERT_TRUE(collection.rebuild());
  expect_one_slot_per_id(collection);
  EXPECT_EQ(collection.state().read()->documents.size(), 256u);
}

TEST(CollectionMemory, SumsTheDocumentedTerms) {
  HnswConfig config;
  config.max_layers = 1;  // every node on layer 0 only, so the link terms are known
  Collection collection("docs", 2, config);
  EXPECT_EQ(collection.estimate_memory_bytes(), 0u);

  Metadata metadata;
  metadata.insert_or_assign("colour", MetadataValue(std::string("red")));
  ASSERT_TRUE(collection.insert_document(make_document("red apple", metadata), {1, 0}).has_value());
  const Uuid green = insert(collection, "green apple", {0, 1});

  const std::uint64_t graph = collection.state().read()->hnsw.layout_bytes();
  const std::uint64_t keywords = (48 + 3 + 8) + (48 + 5 + 2 * 8) + (48 + 5 + 8)  // red, apple, green
                                 + 2 * 2;                                       // doc_lengths
  // Records: varint length + text, entry count, then "colour" as varint
  // length + key, tag, varint length + "red"; a 5-byte offset per slot.
  const std::uint64_t documents = (1 + 9 + 1 + (1 + 6 + 1 + 1 + 3)) + (1 + 11 + 1) + 5 * 2;
  const std::uint64_t id_maps = (3 * 16 + 1) + 16 * 2;  // the id table's 16 3-byte cells and spare byte, the slot list
  const std::uint64_t set = sizeof(SlotSet);
  const std::uint64_t index = (set + 4 * 2)                 // live slots
                              + (128 + 6 + (set + 4) + 2 * set  // field "colour": present, true, false
                                 + (64 + 3 + set + 4));         // value "red"
  EXPECT_EQ(collection.estimate_memory_bytes(), graph + keywords + documents + id_maps + index);
  EXPECT_EQ(collection.estimate_memory_bytes(), estimate_memory_bytes(*collection.state().read()));

  // The delete drops the record, the term "green" and one "apple" posting.
  ASSERT_TRUE(collection.delete_document(green));
  EXPECT_EQ(collection.estimate_memory_bytes(),
            graph + keywords - (48 + 5 + 8) - 8 + documents - (1 + 11 + 1) + id_maps + index - 4);
}

TEST(CollectionMemory, ABatchInsertFreesTheCallersInsertionMarks) {
  // A byte per node would stay with the calling thread after the batch
  // (with one thread the documents go in one at a time).
  for (unsigned threads : {1u, 2u}) {
    Collection collection("docs", 2, HnswConfig{});
    std::vector<PendingDocument> documents;
    for (int n = 0; n < 300; ++n) {
      const float angle = static_cast<float>(n) * 0.1f;
      std::string text = "d";
      text += std::to_string(n);
      documents.push_back(PendingDocument{make_document(text), {std::cos(angle), std::sin(angle)}});
    }
    insert(collection, "first", {1, 0});
    insert(collection, "second", {0, 1});  // linked one at a time: the marks stay
    ASSERT_GT(insertion_visited_set_for_testing().size(), 0u);
    ASSERT_TRUE(collection.insert_batch(documents, threads).has_value());
    EXPECT_EQ(insertion_visited_set_for_testing().size(), 0u) << threads;
    EXPECT_EQ(collection.live_ids().size(), 302u);
  }
}

TEST(CollectionValidate, NamesEachProblem) {
  Collection collection("docs", 4, HnswConfig{});
  const Uuid live = insert(collection, "live", {1, 0, 0, 0});
  const Uuid deleted = insert(collection, "deleted", {0, 1, 0, 0});
  ASSERT_TRUE(collection.delete_document(deleted));

  auto message = [&](std::vector<PendingDocument> pending) {
    Status status = collection.validate_insert(pending);
    if (status) return std::string("ok");
    EXPECT_EQ(status.error().kind, ErrorKind::InvalidInput);
    return status.error().message;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Document fresh = make_document("fresh");
  EXPECT_EQ(message({{fresh, {1, 2, 3, 4}}}), "ok");
  EXPECT_EQ(message({{fresh, {1, 2, 3}}}), "embedding has 3 values but collection 'docs' has dimension 4");
  EXPECT_EQ(message({{fresh, {1, 2, nan, 4}}}), "embedding has a non-finite value at index 2");
  EXPECT_EQ(message({{fresh, {-inf, 2, 3, 4}}}), "embedding has a non-finite value at index 0");
  EXPECT_EQ(message({{Document{live, "again", {}}, {1, 2, 3, 4}}}),
            "document id '" + live.to_string() + "' already exists in collection 'docs' (upsert replaces a document)");
  EXPECT_EQ(message({{Document{deleted, "again", {}}, {1, 2, 3, 4}}}), "ok");  // a deleted id may come back
  const std::vector<PendingDocument> replacing = {{Document{live, "again", {}}, {1, 2, 3, 4}}};
  EXPECT_TRUE(collection.validate_upsert(replacing));
  EXPECT_EQ(message({{fresh, {1, 2, 3, 4}}, {make_document("x"), {1, 2, 3, 4}}}), "ok");
  EXPECT_EQ(message({{fresh, {1, 2, 3, 4}}, {fresh, {1, 2, 3, 4}}}),
            "document id '" + fresh.id.to_string() + "' appears twice in the batch");
  EXPECT_EQ(message({{fresh, {1, 2, 3, 4}}, {make_document("x"), {1, 2}}}),
            "embedding has 2 values but collection 'docs' has dimension 4 (document 1 of the batch)");
  EXPECT_EQ(collection.state().read()->documents.size(), 1u);  // validation stores nothing
}

TEST(CollectionDelete, ManyAtOnceLeavesWhatDeletingEachLeaves) {
  // 40 ids (past BULK_DELETE): live ones, a repeat and an unknown one.
  Collection bulk("c", 4, HnswConfig{});
  Collection single("c", 4, HnswConfig{});
  std::vector<Uuid> ids;
  for (int n = 0; n < 60; ++n) {
    Metadata metadata;
    metadata.insert_or_assign("k", MetadataValue(std::int64_t{n % 3}));
    Document document = make_document("shared word" + std::to_string(n % 7) + " own" + std::to_string(n), metadata);
    const std::vector<float> vector = {1.0f + n, 0.5f, -0.25f * (n % 5), 2.0f};
    ASSERT_TRUE(bulk.insert_document(document, vector).has_value());
    ASSERT_TRUE(single.insert_document(document, vector).has_value());
    ids.push_back(document.id);
  }
  std::vector<Uuid> doomed(ids.begin() + 10, ids.begin() + 48);
  doomed.push_back(ids[12]);
  doomed.push_back(make_document("never inserted").id);
  ASSERT_GE(doomed.size(), Collection::BULK_DELETE);
  std::uint64_t singly = 0;
  for (const Uuid& id : doomed) singly += single.delete_document(id) ? 1 : 0;
  EXPECT_EQ(bulk.delete_documents(doomed), singly);
  EXPECT_EQ(singly, 38u);

  {
    auto a = bulk.state().read();
    auto b = single.state().read();
    EXPECT_EQ(a->inverted_index.doc_count(), b->inverted_index.doc_count());
    EXPECT_EQ(a->inverted_index.total_length(), b->inverted_index.total_length());
    EXPECT_EQ(a->inverted_index.doc_lengths(), b->inverted_index.doc_lengths());
    EXPECT_EQ(a->inverted_index.postings().size(), b->inverted_index.postings().size());
    for (std::uint32_t slot = 0; slot < 60; ++slot) {
      EXPECT_EQ(a->documents.contains(slot), b->documents.contains(slot)) << slot;
      EXPECT_EQ(a->hnsw.is_deleted(slot), b->hnsw.is_deleted(slot)) << slot;
      EXPECT_EQ(has_posting_for(a->inverted_index, slot), has_posting_for(b->inverted_index, slot)) << slot;
    }
  }
  testing::expect_index_agrees(bulk, {testing::filter_of({testing::clause("k", FilterOp::Eq, JsonValue(std::int64_t{0}))}),
                                      testing::filter_of({testing::clause("k", FilterOp::Gte, JsonValue(std::int64_t{1}))})});
}

}  // namespace
}  // namespace karvalith
