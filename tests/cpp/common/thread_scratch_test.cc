#include "core/common/thread_scratch.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace karvalith {
namespace {

struct FirstUser;
struct SecondUser;

// Users of one type with their own tags must not share an object (one could
// clear the other's buffer mid-use), the same user must get its object back
// (the scratch is kept to be reused), and another thread gets its own.
TEST(ThreadScratch, OnePerTagAndThread) {
  std::vector<int>& first = thread_scratch<std::vector<int>, FirstUser>();
  std::vector<int>& second = thread_scratch<std::vector<int>, SecondUser>();
  EXPECT_NE(&first, &second);
  first.assign({1, 2, 3});
  std::vector<int>& again = thread_scratch<std::vector<int>, FirstUser>();
  EXPECT_EQ(&again, &first);
  EXPECT_EQ(again.size(), 3u);
  EXPECT_TRUE(second.empty());

  const std::vector<int>* other_thread = nullptr;
  std::size_t other_size = 99;
  std::thread([&] {
    other_thread = &thread_scratch<std::vector<int>, FirstUser>();
    other_size = other_thread->size();
  }).join();
  EXPECT_NE(other_thread, &first);
  EXPECT_EQ(other_size, 0u);
}

}  // namespace
}  // namespace karvalith
