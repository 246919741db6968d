// One- or two-bit codes of every node of a graph (quantization/binary_code.h),
// one row per node at a fixed stride: planes | a | b | r . c | |v|^2 | a copy of the
// level-0 list as the graph keeps it (count, ids). The centre is the mean of
// the nodes' dequantized vectors. A walk on these rows (knn_search_binary,
// reading layer 0 through BinaryLinks) reads 164 (one bit) or 212 bytes per
// 384-d node at m 16
// instead of the graph's 500; its results are re-scored on the graph's 8-bit
// codes. The rows are a snapshot of the graph: encode again after it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/quantization/binary_code.h"

namespace karvalith {

class BinaryRows {
 public:
  // Encodes every node of `index` (deleted ones too: walks pass through
  // them) with `planes` bits per component (1 or 2).
  static BinaryRows encode(const HnswIndex& index, unsigned planes);

  std::size_t dimension() const { return dimension_; }
  unsigned planes() const { return planes_; }
  // Bytes from one plane of a row to the next.
  std::size_t plane_bytes() const { return binary_code_bytes(dimension_); }
  std::size_t stride() const { return stride_; }
  std::span<const float> centre() const { return centre_; }
  const std::uint8_t* bits(std::uint32_t n) const { return rows_.data() + static_cast<std::size_t>(n) * stride_; }
  BinaryCodeTerms terms(std::uint32_t n) const {
    BinaryCodeTerms t;
    std::memcpy(&t, bits(n) + terms_offset_, sizeof t);
    return t;
  }
  // Node n's level-0 list as it was when the rows were encoded.
  LinkList level0(std::uint32_t n) const {
    const std::uint8_t* row = bits(n) + links_offset_;
    std::uint32_t count;
    std::memcpy(&count, row, sizeof count);
    return {row + sizeof count, count, width_};
  }
  std::uint64_t memory_bytes() const { return rows_.size() + centre_.size() * sizeof(float); }

 private:
  std::size_t dimension_ = 0;
  unsigned planes_ = 1;
  std::size_t stride_ = 0;
  std::size_t terms_offset_ = 0;
  std::size_t links_offset_ = 0;
  unsigned width_ = 4;
  std::vector<float> centre_;
  std::vector<std::uint8_t> rows_;
};

// Reads layer 0 from the rows and the upper layers from the graph.
struct BinaryLinks {
  const BinaryRows* rows;
  LinkList operator()(const HnswIndex& index, std::uint32_t n, std::uint64_t layer,
                      std::vector<std::uint32_t>&) const {
    return layer == 0 ? rows->level0(n) : index.neighbors(n, layer);
  }
};

}  // namespace karvalith
