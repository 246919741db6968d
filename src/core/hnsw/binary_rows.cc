#include "core/hnsw/binary_rows.h"

#include <algorithm>

namespace karvalith {

BinaryRows BinaryRows::encode(const HnswIndex& index, unsigned planes) {
  BinaryRows rows;
  const std::size_t d = index.dimension();
  const std::uint32_t count = index.node_count();
  rows.dimension_ = d;
  rows.planes_ = planes;
  rows.terms_offset_ = (planes * binary_code_bytes(d) + 3) & ~std::size_t{3};
  rows.links_offset_ = rows.terms_offset_ + sizeof(BinaryCodeTerms);
  rows.width_ = index.link_width();
  // Room for the longest list, and for a 4-byte read of its last 3-byte id.
  std::size_t longest = 0;
  for (std::uint32_t n = 0; n < count; ++n) longest = std::max(longest, index.neighbors(n, 0).size());
  rows.stride_ = (rows.links_offset_ + sizeof(std::uint32_t) + longest * rows.width_ + 1 + 3) & ~std::size_t{3};
  rows.rows_.assign(static_cast<std::size_t>(count) * rows.stride_, 0);

  std::vector<float> vector(d);
  std::vector<double> sum(d, 0.0);
  for (std::uint32_t n = 0; n < count; ++n) {
    index.copy_vector(n, vector.data());
    for (std::size_t i = 0; i < d; ++i) sum[i] += vector[i];
  }
  rows.centre_.resize(d);
  for (std::size_t i = 0; i < d; ++i) rows.centre_[i] = count == 0 ? 0.0f : static_cast<float>(sum[i] / count);

  for (std::uint32_t n = 0; n < count; ++n) {
    index.copy_vector(n, vector.data());
    std::uint8_t* row = rows.rows_.data() + static_cast<std::size_t>(n) * rows.stride_;
    const BinaryCodeTerms t = encode_binary(vector, rows.centre_, planes, row);
    std::memcpy(row + rows.terms_offset_, &t, sizeof t);
    const LinkList links = index.neighbors(n, 0);
    const auto links_count = static_cast<std::uint32_t>(links.size());
    std::memcpy(row + rows.links_offset_, &links_count, sizeof links_count);
    std::memcpy(row + rows.links_offset_ + sizeof links_count, links.bytes(), links.size() * rows.width_);
  }
  return rows;
}

}  // namespace karvalith
