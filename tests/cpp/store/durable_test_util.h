// Helpers for the recovery and checkpoint tests: a temporary data directory
// and changes made through the store's verbs, as the binding makes them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/files/file_io.h"
#include "core/store/store.h"
#include "core/wal/wal_entry.h"
#include "snapshot/snapshot_test_util.h"
#include "testing/fault_file_system.h"

namespace karvalith::durable_testing {

namespace fs = std::filesystem;
using snapshot_testing::numbered_uuid;
using testing::FaultInjectingFileSystem;
using testing::FileFault;
using testing::FileOp;
using testing::ScopedFileFault;

class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kv-durable-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    dir_ = (root_ / "data").string();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::shared_ptr<Store> open(EncryptionKeyPtr key = nullptr) {
    auto opened = Store::open(dir_, std::move(key), {}, nullptr, files_);
    EXPECT_TRUE(opened.has_value()) << (opened ? "" : opened.error().message);
    return opened ? std::move(*opened) : nullptr;
  }
  fs::path wal_path() const { return fs::path(dir_) / WAL_FILE_NAME; }
  std::vector<std::uint8_t> wal_bytes() const { return read_file(wal_path()).value_or(std::vector<std::uint8_t>{}); }

  fs::path root_;
  std::string dir_;
  // Stores opened here change files through it, so tests can inject faults.
  FaultInjectingFileSystem files_;
};

inline Document doc(std::uint32_t n, const std::string& text = "") {
  return Document{numbered_uuid(n), text.empty() ? "text number " + std::to_string(n) : text, {}};
}

inline std::vector<float> vec(std::uint32_t n) {
  return {1.0f + static_cast<float>(n), 0.5f, -0.25f * static_cast<float>(n % 7), 2.0f};
}

inline Status create(Store& db, const std::string& name, std::uint64_t dim = 4) {
  return db.create_collection(name, dim, CollectionOptions{});
}

inline Status drop(Store& db, const std::string& name) {
  auto dropped = db.delete_collection(name);
  if (!dropped) return std::unexpected(dropped.error());
  return {};
}

inline Status insert(Store& db, const std::string& name, std::uint32_t n, const std::string& text = "") {
  Document document = doc(n, text);
  auto inserted = db.insert(name, NewDocument{document.id, std::move(document.text), {}, vec(n)});
  if (!inserted) return std::unexpected(inserted.error());
  return {};
}

inline Status remove(Store& db, const std::string& name, std::uint32_t n) {
  auto removed = db.delete_document(name, numbered_uuid(n));
  if (!removed) return std::unexpected(removed.error());
  return {};
}

// Collection -> (document id -> text) of the live documents.
using Contents = std::map<std::string, std::map<std::string, std::string>>;

inline Contents contents(const Database& database) {
  Contents all;
  for (const std::string& name : database.list_collections()) {
    auto& docs = all[name];
    CollectionPtr collection = database.get_collection(name);
    auto state = collection->state().read();
    state->documents.for_each_slot([&](std::uint32_t slot) {
      docs[state->internal_to_uuid[slot].to_string()] = std::string(state->documents.text(slot));
    });
  }
  return all;
}

}  // namespace karvalith::durable_testing
