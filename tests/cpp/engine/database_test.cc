#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/collection_test_util.h"
#include "core/engine/database.h"

namespace karvalith {
namespace {

using testing::insert;

TEST(Database, DuplicateCreateFailsAndKeepsTheFirst) {
  Database database;
  ASSERT_TRUE(database.create_collection("docs", 2).has_value());
  const Uuid id = insert(*database.get_collection("docs"), "kept", {1, 0});

  Status again = database.create_collection("docs", 8);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(again.error().message, "Collection 'docs' already exists");
  CollectionPtr docs = database.get_collection("docs");
  EXPECT_NE(docs->get_document(id), nullptr);
  EXPECT_EQ(docs->state().read()->dimension, 2u);
}

TEST(Database, DeleteListAndCase) {
  Database database;
  EXPECT_TRUE(database.list_collections().empty());
  EXPECT_FALSE(database.delete_collection("missing"));
  ASSERT_TRUE(database.create_collection("a", 2).has_value());
  ASSERT_TRUE(database.create_collection("A", 2).has_value());
  ASSERT_TRUE(database.create_collection("", 2).has_value());
  std::vector<std::string> names = database.list_collections();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"", "A", "a"}));
  EXPECT_NE(database.get_collection("a"), database.get_collection("A"));

  EXPECT_TRUE(database.delete_collection("a"));
  EXPECT_FALSE(database.delete_collection("a"));
  EXPECT_EQ(database.get_collection("a"), nullptr);
  EXPECT_NE(database.get_collection("A"), nullptr);
}

TEST(Database, HeldCollectionOutlivesItsDeletion) {
  Database database;
  ASSERT_TRUE(database.create_collection("docs", 2).has_value());
  CollectionPtr held = database.get_collection("docs");
  const Uuid before = insert(*held, "before", {1, 0});
  ASSERT_TRUE(database.delete_collection("docs"));

  const Uuid after = insert(*held, "after", {0, 1});  // still accepts writes
  EXPECT_NE(held->get_document(before), nullptr);
  EXPECT_NE(held->get_document(after), nullptr);
  EXPECT_TRUE(database.list_collections().empty());

  ASSERT_TRUE(database.create_collection("docs", 2).has_value());
  CollectionPtr fresh = database.get_collection("docs");
  EXPECT_NE(fresh, held);
  EXPECT_EQ(fresh->get_document(before), nullptr);
  EXPECT_EQ(held->state().read()->documents.size(), 2u);
}

TEST(Database, PutReplacesAndTotalIsTheSum) {
  Database database;
  EXPECT_EQ(database.total_memory_bytes(), 0u);
  ASSERT_TRUE(database.create_collection("one", 2).has_value());
  ASSERT_TRUE(database.create_collection("two", 3).has_value());
  insert(*database.get_collection("one"), "first text", {1, 0});
  insert(*database.get_collection("two"), "second", {1, 0, 1});
  insert(*database.get_collection("two"), "third", {0, 1, 1});

  auto replacement = std::make_shared<Collection>("two", 3, HnswConfig{});
  insert(*replacement, "replacement", {1, 1, 1});
  database.put_collection("two", replacement);
  EXPECT_EQ(database.get_collection("two"), replacement);

  const std::uint64_t one = database.get_collection("one")->estimate_memory_bytes();
  const std::uint64_t two = replacement->estimate_memory_bytes();
  ASSERT_GT(one, 0u);
  ASSERT_GT(two, 0u);
  EXPECT_EQ(database.total_memory_bytes(), one + two);
}

}  // namespace
}  // namespace karvalith
