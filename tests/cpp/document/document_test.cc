#include "core/document/document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace karvalith {
namespace {

TEST(Metadata, InsertReplacesAnExistingKeyAndLookupIsByExactBytes) {
  Metadata metadata;
  metadata.insert_or_assign("a", std::int64_t{1});
  metadata.insert_or_assign("ab", std::string("x"));
  metadata.insert_or_assign("a", 2.5);
  metadata.insert_or_assign("", true);
  ASSERT_EQ(metadata.size(), 3u);
  EXPECT_EQ(*metadata.find("a"), MetadataValue(2.5));
  EXPECT_EQ(*metadata.find(""), MetadataValue(true));
  EXPECT_EQ(metadata.find("A"), nullptr);
  EXPECT_EQ(metadata.find(std::string_view("a\0", 2)), nullptr);
  EXPECT_TRUE(metadata.erase("a"));
  EXPECT_FALSE(metadata.erase("a"));
  EXPECT_EQ(*metadata.find("ab"), MetadataValue(std::string("x")));
  EXPECT_EQ(*metadata.find(""), MetadataValue(true));
}

TEST(Document, CreateGivesEachDocumentAFreshId) {
  Metadata metadata;
  metadata.insert_or_assign("k", std::string("v"));
  Result<Document> first = Document::create("same text", metadata);
  Result<Document> second = Document::create("same text", metadata);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE(first->id, second->id);
  EXPECT_EQ(first->id.bytes[6] >> 4, 4);
  EXPECT_EQ(first->text, "same text");
  EXPECT_TRUE(Document::create("", Metadata{}).has_value());
}

TEST(Document, CopyIsDeepAndIndependent) {
  Metadata metadata;
  metadata.insert_or_assign("title", std::string(100, 't'));  // long enough to live on the heap
  auto original = std::make_shared<Document>(Document{Uuid::generate_v4().value(), std::string(64, 'x'), metadata});
  {
    auto copy = std::make_unique<Document>(*original);
    EXPECT_EQ(copy->id, original->id);
    copy->text[0] = 'y';
    copy->metadata.insert_or_assign("title", std::string("changed"));
  }  // the copy is gone; the original's buffers must be intact (ASan checks use-after-free)
  EXPECT_EQ(original->text, std::string(64, 'x'));
  EXPECT_EQ(std::get<std::string>(*original->metadata.find("title")), std::string(100, 't'));
}

}  // namespace
}  // namespace karvalith
