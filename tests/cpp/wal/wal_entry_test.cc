#include "core/wal/wal_entry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "snapshot/snapshot_test_util.h"

namespace karvalith {
namespace {

using namespace snapshot_testing;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t variant_of(const Bytes& payload) {
  return std::uint32_t{payload[0]} | (std::uint32_t{payload[1]} << 8) | (std::uint32_t{payload[2]} << 16) |
         (std::uint32_t{payload[3]} << 24);
}

WalEntry decode_or_fail_entry(const Bytes& payload) {
  auto entry = decode_wal_entry(payload);
  EXPECT_TRUE(entry.has_value()) << (entry ? "" : entry.error().message);
  return entry ? std::move(*entry) : WalEntry{};
}

TEST(WalEntryCodec, LayoutsAndSizes) {
  const Bytes create = encode_create_collection("docs", 128, HnswConfig{});
  EXPECT_EQ(create.size(), 4u + 12u + 8u + 53u);
  EXPECT_EQ(variant_of(create), 0u);

  const Bytes drop = encode_delete_collection("docs");
  EXPECT_EQ(drop.size(), 4u + 12u);
  EXPECT_EQ(variant_of(drop), 1u);

  const Document doc{numbered_uuid(3), "abc", {}};
  const std::vector<float> embedding = {1.0f, -2.0f};
  const Bytes insert = encode_insert_document("docs", doc, embedding);
  // variant, collection, document (uuid 24, text 11, empty map 8), embedding (8 + 2 * 4)
  EXPECT_EQ(insert.size(), 4u + 12u + 24u + 11u + 8u + 16u);
  EXPECT_EQ(variant_of(insert), 2u);

  const Bytes remove = encode_delete_document("docs", doc.id);
  EXPECT_EQ(remove.size(), 4u + 12u + 24u);
  EXPECT_EQ(variant_of(remove), 3u);

  const std::vector<PendingDocument> batch = {{doc, embedding}, {sample_document(4), {0.5f}}};
  EXPECT_EQ(variant_of(encode_batch_insert("docs", batch)), 4u);
  const Bytes update = encode_update_document("docs", doc.id, doc, embedding);
  EXPECT_EQ(update.size(), insert.size() + 24u);
  EXPECT_EQ(variant_of(update), 5u);

  const std::vector<Uuid> ids = {numbered_uuid(1), numbered_uuid(2), numbered_uuid(3)};
  const Bytes remove_many = encode_delete_documents("docs", ids);
  // variant, collection, count (8), then 24 bytes per id
  EXPECT_EQ(remove_many.size(), 4u + 12u + 8u + 3u * 24u);
  EXPECT_EQ(variant_of(remove_many), 8u);
  EXPECT_EQ(encode_delete_documents("docs", {}).size(), 4u + 12u + 8u);
}

TEST(WalEntryCodec, EveryVariantRoundTrips) {
  HnswConfig config{8, 16, 64, 20, 5, DistanceMetric::DotProduct, true};
  const Document doc = sample_document(7);
  const std::vector<float> embedding = {0.25f, -1.5f, 3.0f};
  const std::vector<WalEntry> entries = {
      {WalEntry::CreateCollection{"c1", 3, config}},
      {WalEntry::DeleteCollection{"c1"}},
      {WalEntry::InsertDocument{"c1", doc, embedding}},
      {WalEntry::DeleteDocument{"c1", doc.id}},
      {WalEntry::BatchInsert{"c1", {{doc, embedding}, {sample_document(8), {}}}}},
      {WalEntry::UpdateDocument{"c1", numbered_uuid(99), doc, embedding}},
      {WalEntry::LoadCollection{"c1", 0x0123456789abcdefULL}},
      {WalEntry::UpdateMetadata{"c1", doc.id, doc.metadata}},
      {WalEntry::DeleteDocuments{"c1", {numbered_uuid(5), doc.id, numbered_uuid(5)}}},
  };
  ASSERT_EQ(entries.size(), WAL_ENTRY_VARIANTS);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Bytes payload = encode_wal_entry(entries[i]);
    EXPECT_EQ(variant_of(payload), i);
    const WalEntry back = decode_or_fail_entry(payload);
    ASSERT_EQ(back.value.index(), i);
    EXPECT_EQ(encode_wal_entry(back), payload);  // every field survived
  }

  const WalEntry create = decode_or_fail_entry(encode_wal_entry(entries[0]));
  const auto& c = std::get<WalEntry::CreateCollection>(create.value);
  EXPECT_EQ(c.name, "c1");
  EXPECT_EQ(c.dimension, 3u);
  expect_same_config(config, c.config);

  // A configuration with walk codes takes variant 9: variant 0's bytes, the
  // variant number aside, then the bits. Without them nothing changes.
  HnswConfig walked = config;
  walked.walk_bits = 2;
  const Bytes plain = encode_wal_entry(entries[0]);
  const Bytes with_bits = encode_wal_entry({WalEntry::CreateCollection{"c1", 3, walked}});
  EXPECT_EQ(variant_of(with_bits), 9u);
  ASSERT_EQ(with_bits.size(), plain.size() + 1);
  EXPECT_TRUE(std::equal(plain.begin() + 4, plain.end(), with_bits.begin() + 4));
  EXPECT_EQ(with_bits.back(), 2);
  const WalEntry walked_back = decode_or_fail_entry(with_bits);
  EXPECT_EQ(std::get<WalEntry::CreateCollection>(walked_back.value).config, walked);
  EXPECT_EQ(encode_wal_entry(walked_back), with_bits);
  for (std::size_t cut = 0; cut < with_bits.size(); ++cut) {
    EXPECT_FALSE(decode_wal_entry(std::span(with_bits).first(cut)).has_value()) << cut;
  }

  const WalEntry batch = decode_or_fail_entry(encode_wal_entry(entries[4]));
  const auto& b = std::get<WalEntry::BatchInsert>(batch.value);
  ASSERT_EQ(b.documents.size(), 2u);
  expect_same_document(doc, b.documents[0].document);
  EXPECT_EQ(b.documents[0].embedding, embedding);
  EXPECT_TRUE(b.documents[1].embedding.empty());

  const WalEntry update = decode_or_fail_entry(encode_wal_entry(entries[5]));
  const auto& u = std::get<WalEntry::UpdateDocument>(update.value);
  EXPECT_EQ(u.id, numbered_uuid(99));
  expect_same_document(doc, u.document);
  EXPECT_EQ(u.embedding, embedding);

  // The ids in order, a repeated one included: the record says what the
  // writer listed, and applying it is what deduplicates.
  const WalEntry removal = decode_or_fail_entry(encode_wal_entry(entries[8]));
  const auto& r = std::get<WalEntry::DeleteDocuments>(removal.value);
  EXPECT_EQ(r.collection, "c1");
  EXPECT_EQ(r.ids, (std::vector<Uuid>{numbered_uuid(5), doc.id, numbered_uuid(5)}));
  EXPECT_EQ(changed_documents(removal), 3u);
  EXPECT_EQ(changed_documents(WalEntry{WalEntry::DeleteDocuments{"c1", {}}}), 1u);
  EXPECT_EQ(changed_collection(removal), "c1");
}

TEST(WalEntryCodec, MalformedPayloadsAreDecodingErrors) {
  EXPECT_EQ(decode_wal_entry(Bytes{}).error().message, "io error: failed to fill whole buffer");
  EXPECT_EQ(decode_wal_entry(Bytes{2, 0, 0}).error().message, "io error: failed to fill whole buffer");
  EXPECT_EQ(decode_wal_entry(Bytes{10, 0, 0, 0}).error().message,
            "invalid value: integer `10`, expected variant index 0 <= i < 10");
  EXPECT_EQ(decode_wal_entry(Bytes{9, 0, 0, 0}).error().message, "io error: failed to fill whole buffer");
  EXPECT_EQ(decode_wal_entry(Bytes{6, 0, 0, 0}).error().kind, ErrorKind::InvalidData);

  const Bytes insert = encode_insert_document("c", sample_document(2), std::vector<float>{1, 2, 3});
  for (std::size_t cut = 0; cut < insert.size(); ++cut) {
    auto entry = decode_wal_entry(std::span(insert).first(cut));
    ASSERT_FALSE(entry.has_value()) << "cut at " << cut;
    ASSERT_EQ(entry.error().message, "io error: failed to fill whole buffer") << "cut at " << cut;
  }
  Bytes trailing = insert;
  trailing.push_back(0xAB);
  EXPECT_TRUE(decode_wal_entry(trailing).has_value());

  // A batch claiming more documents than the payload can hold.
  Bytes batch = encode_batch_insert("c", {});
  for (int i = 0; i < 8; ++i) batch[4 + 9 + i] = 0xFF;
  EXPECT_EQ(decode_wal_entry(batch).error().message, "io error: failed to fill whole buffer");
}

TEST(WalEntryCodec, DamagedManyDocumentDeletesAreDecodingErrors) {
  const std::vector<Uuid> ids = {numbered_uuid(1), numbered_uuid(2)};
  const Bytes removal = encode_delete_documents("c", ids);
  for (std::size_t cut = 4; cut < removal.size(); ++cut) {
    auto entry = decode_wal_entry(std::span(removal).first(cut));
    ASSERT_FALSE(entry.has_value()) << "cut at " << cut;
    ASSERT_EQ(entry.error().kind, ErrorKind::InvalidData) << "cut at " << cut;
  }
  // A count larger than the bytes left could hold is refused before any
  // allocation, whatever it claims.
  const std::size_t count_at = 4 + 9;
  for (const std::uint64_t claimed : {std::uint64_t{3}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    Bytes lying = removal;
    for (int i = 0; i < 8; ++i) lying[count_at + i] = static_cast<std::uint8_t>(claimed >> (8 * i));
    auto entry = decode_wal_entry(lying);
    ASSERT_FALSE(entry.has_value()) << claimed;
    EXPECT_EQ(entry.error().kind, ErrorKind::InvalidData);
  }
  // An id whose length field is not 16 (a flipped bit) does not decode.
  Bytes bent = removal;
  bent[count_at + 8] ^= 0x01;
  EXPECT_FALSE(decode_wal_entry(bent).has_value());
}

}  // namespace
}  // namespace karvalith
