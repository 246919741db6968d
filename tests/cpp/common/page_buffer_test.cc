// PageBuffer and PageArray: contents survive every remap, new bytes read as zero (also
// after shrinking and growing again), copies are deep.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "core/common/page_array.h"
#include "core/common/page_buffer.h"

namespace karvalith {
namespace {

std::uint8_t pattern(std::size_t i) { return static_cast<std::uint8_t>(i * 131 + 7); }

TEST(PageBuffer, GrowsByRemappingWithoutLosingOrInventingBytes) {
  PageBuffer buffer;
  EXPECT_TRUE(buffer.empty());
  // Grown one 532-byte block at a time past several remaps, across the
  // sizes where mappings start on a huge page.
  constexpr std::size_t BLOCK = 532;
  std::size_t size = 0;
  for (std::size_t n = 0; n < 12000; ++n) {
    buffer.resize(size + BLOCK);
    for (std::size_t i = size; i < size + BLOCK; ++i) {
      ASSERT_EQ(buffer.data()[i], 0) << i;
      buffer.data()[i] = pattern(i);
    }
    size += BLOCK;
  }
  ASSERT_EQ(buffer.size(), size);
  EXPECT_GE(buffer.capacity(), size);
  for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(buffer.data()[i], pattern(i)) << i;

  buffer.resize(100);
  buffer.resize(5000);
  for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(buffer.data()[i], pattern(i));
  for (std::size_t i = 100; i < 5000; ++i) ASSERT_EQ(buffer.data()[i], 0) << i;
}

TEST(PageBuffer, CopiesMovesAndAssignments) {
  PageBuffer a;
  a.resize(3 << 20);
  for (std::size_t i = 0; i < a.size(); i += 4096) a.data()[i] = pattern(i);
  PageBuffer b = a;
  b.data()[0] = static_cast<std::uint8_t>(pattern(0) + 1);
  EXPECT_EQ(a.data()[0], pattern(0));
  ASSERT_EQ(b.size(), a.size());
  for (std::size_t i = 4096; i < a.size(); i += 4096) ASSERT_EQ(b.data()[i], pattern(i));

  PageBuffer c = std::move(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(c.data()[4096], pattern(4096));

  c.assign_zero(10);
  EXPECT_EQ(c.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(c.data()[i], 0);
  PageBuffer empty;
  PageBuffer copy_of_empty = empty;
  EXPECT_EQ(copy_of_empty.data(), nullptr);
  c = std::move(empty);
  EXPECT_TRUE(c.empty());
}


TEST(PageBuffer, MappedFormMapsFromTheFirstByte) {
  // A mapping starts on a 2 MiB boundary, which heap memory of this size
  // never does: the buffer, its copies and its regrowths are mappings.
  auto on_mapping = [](const PageBuffer& b) { return reinterpret_cast<std::uintptr_t>(b.data()) % (2 << 20) == 0; };
  PageBuffer buffer(PageBuffer::Pages::Mapped);
  std::size_t size = 0;
  for (std::size_t step : std::initializer_list<std::size_t>{1, 7, 4089, 12000, 70000}) {
    buffer.resize(size + step);
    ASSERT_TRUE(on_mapping(buffer)) << size;
    for (std::size_t i = size; i < size + step; ++i) {
      ASSERT_EQ(buffer.data()[i], 0) << i;
      buffer.data()[i] = pattern(i);
    }
    size += step;
  }
  for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(buffer.data()[i], pattern(i)) << i;

  PageBuffer copy = buffer;
  EXPECT_TRUE(on_mapping(copy));
  copy.resize(10);
  copy.resize(9000);
  for (std::size_t i = 0; i < 10; ++i) ASSERT_EQ(copy.data()[i], pattern(i));
  for (std::size_t i = 10; i < 9000; ++i) ASSERT_EQ(copy.data()[i], 0) << i;
  EXPECT_EQ(buffer.data()[20], pattern(20));

  buffer.clear();
  EXPECT_EQ(buffer.data(), nullptr);
  buffer.resize(300);
  EXPECT_TRUE(on_mapping(buffer));
  for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(buffer.data()[i], 0) << i;
}

TEST(PageArray, BehavesAsAVectorAcrossTheHeapAndMappedForms) {
  // 400k u32 values pass the 1 MiB point where the array leaves the heap
  // for a mapping of its own; a model vector follows every step.
  PageArray<std::uint32_t> array;
  std::vector<std::uint32_t> model;
  std::mt19937 rng(3);
  for (std::uint32_t i = 0; i < 400000; ++i) {
    array.push_back(i * 2654435761u);
    model.push_back(i * 2654435761u);
    if (rng() % 50000 == 0) {
      array.pop_back();
      model.pop_back();
    }
  }
  EXPECT_EQ(array, model);
  array.resize(array.size() - 1000);
  array.resize(array.size() + 1000);  // regrown elements read as zero, not as the old values
  model.resize(model.size() - 1000);
  model.resize(model.size() + 1000, 0);
  EXPECT_EQ(array, model);
  array.resize(array.size() + 5, 7u);
  model.resize(model.size() + 5, 7u);
  EXPECT_EQ(array.back(), 7u);

  const PageArray<std::uint32_t> copy = array;
  PageArray<std::uint32_t> moved = std::move(array);
  EXPECT_EQ(copy, model);
  EXPECT_EQ(moved, copy);
  moved[10] = 1;
  EXPECT_FALSE(moved == copy);  // the copy owns its pages
  moved.assign(std::span<const std::uint32_t>(model.data(), 3));
  EXPECT_EQ(moved, (std::vector<std::uint32_t>{model[0], model[1], model[2]}));
  moved.assign(4, 9u);
  EXPECT_EQ(moved, (std::vector<std::uint32_t>{9, 9, 9, 9}));
  moved.clear();
  EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace karvalith
