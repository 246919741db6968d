// Readers, writers and checkpoints on one store at once, within one collection
// and across collections; meant to run under ThreadSanitizer too. Whatever
// the interleaving, every acknowledged change must be in memory and come back
// from the log and snapshots after a reopen: that holds only if log order
// equals apply order.
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

// Live documents each writer has been told exist, by collection.
class Acknowledged {
 public:
  void inserted(const std::string& collection, std::uint32_t n) {
    std::lock_guard lock(mutex_);
    contents_[collection][numbered_uuid(n).to_string()] = "text number " + std::to_string(n);
  }
  void deleted(const std::string& collection, std::uint32_t n) {
    std::lock_guard lock(mutex_);
    contents_[collection].erase(numbered_uuid(n).to_string());
  }
  void dropped(const std::string& collection) {
    std::lock_guard lock(mutex_);
    contents_.erase(collection);
  }
  void created(const std::string& collection) {
    std::lock_guard lock(mutex_);
    contents_[collection];
  }
  Contents snapshot() const {
    std::lock_guard lock(mutex_);
    return contents_;
  }

 private:
  mutable std::mutex mutex_;
  Contents contents_;
};

SearchRequest vector_query(std::uint32_t n) {
  SearchRequest request;
  request.embedding = vec(n);
  request.k = 5;
  return request;
}

// Counts a running writer down however its body ends: a failed ASSERT returns
// early, and the readers waiting for the writers must still stop.
struct WriterDone {
  std::atomic<int>& running;
  ~WriterDone() { --running; }
};

class StoreConcurrencyTest : public DataDirTest {};

TEST_F(StoreConcurrencyTest, WritersReadersAndCheckpointsOnOneCollection) {
  Acknowledged acknowledged;
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "shared"));
    acknowledged.created("shared");
    std::atomic<int> writers{2};
    std::vector<std::thread> threads;
    for (std::uint32_t w = 0; w < 2; ++w) {
      threads.emplace_back([&, w] {
        WriterDone done{writers};
        // Each writer owns ids w*1000.., inserts them (some in batches) and
        // deletes every fourth one again.
        for (std::uint32_t i = 0; i < 60; ++i) {
          const std::uint32_t n = w * 1000 + i;
          if (i % 10 == 0) {
            // Big enough to be linked from two threads while others read and write.
            std::vector<NewDocument> batch;
            for (std::uint32_t j = 0; j < 70; ++j) {
              Document d = doc(n * 100 + 100000 + j);
              batch.push_back(NewDocument{d.id, d.text, {}, vec(n * 100 + 100000 + j)});
            }
            ASSERT_TRUE(db->batch_insert("shared", std::move(batch), 2));
            for (std::uint32_t j = 0; j < 70; ++j) acknowledged.inserted("shared", n * 100 + 100000 + j);
          }
          ASSERT_TRUE(insert(*db, "shared", n));
          acknowledged.inserted("shared", n);
          if (i % 4 == 3) {
            ASSERT_TRUE(remove(*db, "shared", n));
            acknowledged.deleted("shared", n);
          }
        }
      });
    }
    threads.emplace_back([&] {
      std::uint32_t q = 0;
      std::vector<std::vector<float>> rows;
      while (writers > 0) {
        auto hits = db->search("shared", vector_query(q++));
        ASSERT_TRUE(hits);
        EXPECT_LE(hits->size(), 5u);
        EXPECT_TRUE(db->get("shared", numbered_uuid(q % 60)));
        // And a batch of queries answered by two threads of its own.
        QueryBatch batch;
        batch.has_embeddings = true;
        rows.assign({vec(q), vec(q + 1), vec(q + 2)});
        for (const auto& row : rows) batch.embeddings.emplace_back(row);
        batch.shared.k = 3;
        auto answers = db->batch_search("shared", batch, 2);
        ASSERT_TRUE(answers);
        EXPECT_EQ(answers->size(), 3u);
      }
    });
    threads.emplace_back([&] {
      while (writers > 0) {
        ASSERT_TRUE(db->rebuild("shared"));
        std::this_thread::yield();
      }
    });
    threads.emplace_back([&] {
      for (int round = 0; writers > 0; ++round) {
        if (round % 2 == 0) {
          ASSERT_TRUE(db->compact());
        } else {
          ASSERT_TRUE(db->save("shared", std::nullopt, nullptr));
        }
      }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(contents(db->database()), acknowledged.snapshot());
  }
  EXPECT_EQ(contents(open()->database()), acknowledged.snapshot());
}

TEST_F(StoreConcurrencyTest, CollectionsComeAndGoWhileOthersAreWritten) {
  Acknowledged acknowledged;
  {
    auto db = open();
    std::atomic<int> writers{2};
    std::vector<std::thread> threads;
    for (std::uint32_t w = 0; w < 2; ++w) {
      threads.emplace_back([&, w] {
        WriterDone done{writers};
        const std::string name = "own" + std::to_string(w);
        ASSERT_TRUE(create(*db, name));
        acknowledged.created(name);
        for (std::uint32_t i = 0; i < 50; ++i) {
          ASSERT_TRUE(insert(*db, name, w * 1000 + i));
          acknowledged.inserted(name, w * 1000 + i);
        }
      });
    }
    // One thread recreates a collection over and over while another writes
    // into it: every write lands in some incarnation or reports it missing.
    std::atomic<bool> churn_done{false};
    threads.emplace_back([&] {
      for (int round = 0; writers > 0 || round < 5; ++round) {
        ASSERT_TRUE(create(*db, "churn"));
        acknowledged.created("churn");
        std::this_thread::yield();
        ASSERT_TRUE(drop(*db, "churn"));
        acknowledged.dropped("churn");
      }
      churn_done = true;
    });
    threads.emplace_back([&] {
      for (std::uint32_t n = 5000; !churn_done; ++n) {
        Status inserted = insert(*db, "churn", n);
        if (!inserted) {
          EXPECT_EQ(inserted.error().kind, ErrorKind::NotFound);
        }
      }
    });
    threads.emplace_back([&] {
      while (writers > 0) {
        ASSERT_TRUE(db->compact());
        (void)db->total_memory_bytes();
        for (const std::string& name : db->list_collections()) (void)db->collection_info(name);
      }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(contents(db->database()), acknowledged.snapshot());
  }
  EXPECT_EQ(contents(open()->database()), acknowledged.snapshot());
}

}  // namespace
}  // namespace karvalith
