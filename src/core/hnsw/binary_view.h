// Where a graph keeps its nodes' one- or two-bit codes (binary_code.h): one
// row per node at a fixed stride, the bit planes first (plane p at
// p * plane_bytes), the BinaryCodeTerms at terms_offset. A view: valid until
// the graph changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/quantization/binary_code.h"

namespace karvalith {

struct BinaryView {
  const std::uint8_t* base = nullptr;
  std::size_t stride = 0;
  std::size_t dimension = 0;
  unsigned planes = 1;
  std::size_t terms_offset = 0;
  std::span<const float> centre;  // what the codes are offsets from

  std::size_t plane_bytes() const { return binary_code_bytes(dimension); }
  const std::uint8_t* bits(std::uint32_t n) const { return base + static_cast<std::size_t>(n) * stride; }
  BinaryCodeTerms terms(std::uint32_t n) const {
    BinaryCodeTerms t;
    std::memcpy(&t, bits(n) + terms_offset, sizeof t);
    return t;
  }

  // Bytes of the planes and terms at the head of a row, a multiple of 4.
  static std::size_t head_bytes(std::size_t dimension, unsigned planes) {
    return terms_offset_of(dimension, planes) + sizeof(BinaryCodeTerms);
  }
  static std::size_t terms_offset_of(std::size_t dimension, unsigned planes) {
    return (planes * binary_code_bytes(dimension) + 3) & ~std::size_t{3};
  }
};

}  // namespace karvalith
