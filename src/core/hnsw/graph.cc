#include "core/hnsw/graph.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/hnsw/distance.h"
#include "core/quantization/simd.h"

namespace karvalith {

namespace {

// Level-0 rows start at this many ids (or m_max0 when smaller), so normal
// configurations never re-lay out; absurd m_max0 values from stored configs
// grow the rows only as real lists need it.
constexpr std::uint64_t INITIAL_LEVEL0_CAPACITY = 256;

std::uint64_t saturating_double(std::uint64_t x) { return x > UINT64_MAX / 2 ? UINT64_MAX : 2 * x; }

}  // namespace

HnswIndex::HnswIndex(const HnswConfig& config, std::uint64_t dimension)
    : config_(config),
      capacity0_(std::min(config.m_max0, INITIAL_LEVEL0_CAPACITY)),
      upper_capacity_(static_cast<std::size_t>(config.m)),
      dimension_(dimension) {
  if (config.walk_bits != 0 && dimension != 0) {
    walk_bits_ = config.walk_bits;
    centre_.assign(static_cast<std::size_t>(dimension), 0.0f);
  } else {
    config_.walk_bits = 0;
  }
  stride_ = stride_for(capacity0_, link_width_);
}

namespace {

HnswConfig without_walk_codes(HnswConfig config) {
  config.walk_bits = 0;
  return config;
}

}  // namespace

void HnswIndex::reserve_level0(std::uint64_t need) {
  if (need <= capacity0_) return;
  const std::uint64_t grown = std::min(config_.m_max0, saturating_double(std::max<std::uint64_t>(capacity0_, 1)));
  relayout(std::max(need, grown), link_width_);
}

void HnswIndex::relayout(std::uint64_t capacity, unsigned width) {
  const std::size_t old_stride = stride_;
  const unsigned old_width = link_width_;
  const std::size_t new_stride = stride_for(capacity, width);
  PageBuffer relaid;
  relaid.resize(static_cast<std::size_t>(node_count_) * new_stride + LINK_TAIL);
  for (std::size_t n = 0; n < node_count_; ++n) {
    const std::uint8_t* src = blocks_.data() + n * old_stride;
    std::uint8_t* dst = relaid.data() + n * new_stride;
    std::uint32_t count;
    std::memcpy(&count, src + row_offset(), sizeof count);
    const std::size_t head = row_offset() + sizeof count;
    if (width == old_width) {
      std::memcpy(dst, src, head + std::size_t{width} * count);
      continue;
    }
    std::memcpy(dst, src, head);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t id = LinkList::read_id(src + head + std::size_t{old_width} * i, old_width);
      std::memcpy(dst + head + std::size_t{width} * i, &id, width);  // little-endian: the low bytes
    }
  }
  blocks_ = std::move(relaid);
  stride_ = new_stride;
  capacity0_ = capacity;
  link_width_ = width;
}

void HnswIndex::use_walk_codes(unsigned bits) {
  assert(bits == 1 || bits == 2);
  if (bits == walk_bits_ || walk_bits_ != 0 || dimension_ == 0) return;
  config_.walk_bits = static_cast<std::uint8_t>(bits);
  // The value rows move out of the blocks as they are; the lists follow the
  // new, shorter head.
  const std::size_t values = value_stride();
  const std::size_t old_stride = stride_;
  const std::size_t old_head = row_offset();
  PageBuffer moved;
  moved.resize(static_cast<std::size_t>(node_count_) * values);
  walk_bits_ = bits;
  const std::size_t new_stride = stride_for(capacity0_, link_width_);
  PageBuffer relaid;
  relaid.resize(block_array_bytes(node_count_, new_stride));
  const std::size_t list_bytes = old_stride - old_head;
  for (std::size_t n = 0; n < node_count_; ++n) {
    const std::uint8_t* src = blocks_.data() + n * old_stride;
    std::memcpy(moved.data() + n * values, src, values);
    std::memcpy(relaid.data() + n * new_stride + row_offset(), src + old_head, list_bytes);
  }
  blocks_ = std::move(relaid);
  values_ = std::move(moved);
  stride_ = new_stride;
  centre_.assign(static_cast<std::size_t>(dimension_), 0.0f);
  centred_at_ = 0;
  recentre_if_grown();
}

void HnswIndex::encode_walk_code(std::uint32_t n, std::vector<float>& vector) {
  vector.resize(static_cast<std::size_t>(dimension_));
  copy_vector(n, vector.data());
  std::uint8_t* row = blocks_.data() + static_cast<std::size_t>(n) * stride_;
  const BinaryCodeTerms terms = encode_binary(vector, centre_, walk_bits_, row);
  std::memcpy(row + BinaryView::terms_offset_of(dimension_, walk_bits_), &terms, sizeof terms);
}

void HnswIndex::recentre_if_grown() {
  if (walk_bits_ == 0 || node_count_ < 2 * std::uint64_t{centred_at_} || node_count_ == 0) return;
  const std::size_t d = dimension_;
  std::vector<float> vector(d);
  std::vector<double> sum(d, 0.0);
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    copy_vector(n, vector.data());
    for (std::size_t i = 0; i < d; ++i) sum[i] += vector[i];
  }
  // A mean beyond the float range (only with such components) stays finite.
  for (std::size_t i = 0; i < d; ++i) {
    const double mean = sum[i] / node_count_;
    centre_[i] = std::isfinite(mean) ? static_cast<float>(std::clamp(mean, -double{LARGEST_F32}, double{LARGEST_F32}))
                                     : 0.0f;
  }
  centred_at_ = node_count_;
  for (std::uint32_t n = 0; n < node_count_; ++n) encode_walk_code(n, vector);
}

void HnswIndex::set_level0(std::uint32_t n, std::span<const std::uint32_t> ids) {
  assert(ids.size() <= capacity0_);
  // The ids in memory are the little-endian bytes set_level0_bytes takes.
  set_level0_bytes(n, reinterpret_cast<const std::uint8_t*>(ids.data()), static_cast<std::uint32_t>(ids.size()));
}

void HnswIndex::set_level0_bytes(std::uint32_t n, const std::uint8_t* bytes, std::uint32_t count) {
  set_level0_picks(n, UNKNOWN_PICKS);
  std::uint8_t* row = row0(n);
  std::memcpy(row, &count, sizeof count);
  std::uint8_t* out = row + sizeof count;
  if (link_width_ == 4) {
    if (count != 0) std::memcpy(out, bytes, sizeof(std::uint32_t) * count);
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i, bytes += 4, out += 3) std::memcpy(out, bytes, 3);
}

namespace {

// The sum of the codes and of their squares, exact: 32-bit sums over runs
// short enough not to overflow (4096 * 255^2 < 2^32), which the compiler
// vectorises, widened between runs.
void code_sums(const std::uint8_t* codes, std::size_t n, std::uint64_t& sum, std::uint64_t& sum_sq) {
  constexpr std::size_t RUN = 4096;
  sum = 0;
  sum_sq = 0;
  for (std::size_t start = 0; start < n; start += RUN) {
    const std::size_t end = std::min(n, start + RUN);
    std::uint32_t s = 0;
    std::uint32_t s2 = 0;
    for (std::size_t i = start; i < end; ++i) {
      const std::uint32_t c = codes[i];
      s += c;
      s2 += c * c;
    }
    sum += s;
    sum_sq += s2;
  }
}

}  // namespace

// |v|^2 of the dequantized vector v = min + scale * c, from the exact code
// sums: n min^2 + 2 min scale sum(c) + scale^2 sum(c^2) in double, then
// rounded (+inf beyond the float range, which sends the node's distances to
// double precision). One pass of integer sums instead of a floating-point
// chain per component: the dominant cost of opening a snapshot before.
void HnswIndex::derive_meta(std::uint32_t n) {
  if (derive_node_meta(n)) huge_nodes_ = true;
}

HnswIndex::NodeMeta HnswIndex::node_meta(std::uint32_t n) const {
  const std::uint8_t* codes = codes_of(n);
  const float* meta = meta_of(n);
  const double min = meta[0];
  const double scale = meta[1];
  std::uint64_t sum = 0;
  std::uint64_t sum_sq = 0;
  if (active_kernel_path() == KernelPath::Avx2) avx2_code_sums(codes, dimension_, sum, sum_sq);
  else code_sums(codes, dimension_, sum, sum_sq);
  double norm_sq = 0.0;
  if (std::isfinite(min) && std::isfinite(scale)) {
    norm_sq = static_cast<double>(dimension_) * min * min + 2.0 * min * scale * static_cast<double>(sum) +
              scale * scale * static_cast<double>(sum_sq);
    if (norm_sq < 0.0) norm_sq = 0.0;  // rounding below an exact 0
  } else {
    // Only damaged or crafted files hold such values: summed term by term.
    for (std::size_t i = 0; i < dimension_; ++i) {
      const double v = static_cast<double>(codes[i]) * scale + min;
      norm_sq += v * v;
    }
  }
  // |min| + 255 |scale| bounds every component (NaN counts as huge).
  const double largest = std::fabs(min) + 255.0 * std::fabs(scale);
  return {static_cast<float>(norm_sq), static_cast<std::uint32_t>(sum),
          !(largest <= static_cast<double>(SAFE_MAGNITUDE))};
}

bool HnswIndex::derive_node_meta(std::uint32_t n) {
  const NodeMeta meta = node_meta(n);
  std::uint8_t* out = value_row(n) + meta_offset();
  std::memcpy(out + 2 * sizeof(float), &meta.norm_sq, sizeof meta.norm_sq);
  std::memcpy(out + 3 * sizeof(float), &meta.code_sum, sizeof meta.code_sum);
  return meta.huge;
}

void HnswIndex::place_vector(std::uint32_t n, const std::uint8_t* codes, float min, float scale) {
  std::uint8_t* start = value_row(n);
  if (dimension_ > 0) std::memcpy(start, codes, dimension_);
  const float meta[2] = {min, scale};
  std::memcpy(start + meta_offset(), meta, sizeof meta);
}

void HnswIndex::write_vector(std::uint32_t n, const std::uint8_t* codes, float min, float scale) {
  // Derived once here so a distance needs only the query's dot product with
  // the codes.
  place_vector(n, codes, min, scale);
  derive_meta(n);
}

void HnswIndex::cover_upper_bits(std::uint64_t node_count) {
  while (upper_bits_.size() * 64 < node_count) {
    upper_before_.push_back(static_cast<std::uint32_t>(upper_first_.size()));
    upper_bits_.push_back(0);
  }
}

std::size_t HnswIndex::ensure_upper_lists(std::uint32_t n, std::size_t lists) {
  cover_upper_bits(std::uint64_t{n} + 1);
  lists = std::min<std::size_t>(lists, UINT8_MAX);
  std::optional<std::size_t> rank = upper_rank(n);
  if (!rank) {
    const std::size_t word = n / 64;
    const std::uint64_t bit = std::uint64_t{1} << (n % 64);
    const std::size_t r = upper_before_[word] + static_cast<std::size_t>(__builtin_popcountll(upper_bits_[word] & (bit - 1)));
    upper_bits_[word] |= bit;
    for (std::size_t w = word + 1; w < upper_before_.size(); ++w) ++upper_before_[w];
    upper_first_.push_back(0);
    upper_count_.push_back(0);
    upper_level_.push_back(0);
    std::copy_backward(upper_first_.begin() + r, upper_first_.end() - 1, upper_first_.end());
    std::copy_backward(upper_count_.begin() + r, upper_count_.end() - 1, upper_count_.end());
    std::copy_backward(upper_level_.begin() + r, upper_level_.end() - 1, upper_level_.end());
    upper_first_[r] = 0;
    upper_count_[r] = 0;
    upper_level_[r] = 0;
    rank = r;
  }
  const std::size_t have = upper_count_[*rank];
  if (have >= lists) return *rank;
  const std::size_t slot = 1 + upper_capacity_;
  const std::size_t end = upper_pool_.size() / slot;
  std::size_t first = upper_first_[*rank];
  if (have != 0 && first + have == end) {
    upper_pool_.resize((first + lists) * slot);  // the last node's lists grow in place
  } else {
    // New slots at the end, the old lists copied over (the old slots are left
    // unused: only inconsistent stored graphs get here with lists).
    upper_pool_.resize((end + lists) * slot);
    std::uint32_t* pool = upper_pool_.data();
    std::copy(pool + first * slot, pool + (first + have) * slot, pool + end * slot);
    first = end;
  }
  upper_first_[*rank] = static_cast<std::uint32_t>(first);
  upper_count_[*rank] = static_cast<std::uint8_t>(lists);
  top_list_layer_ = std::max<std::uint64_t>(top_list_layer_, lists);
  return *rank;
}

void HnswIndex::set_level(std::uint32_t n, std::uint8_t level) {
  if (level == 0 && !upper_rank(n)) return;
  upper_level_[ensure_upper_lists(n, 0)] = level;
}

void HnswIndex::set_upper(std::size_t rank, std::uint64_t layer, std::span<const std::uint32_t> ids) {
  assert(ids.size() <= upper_capacity_);
  std::uint32_t* list = upper_list(rank, layer);
  list[0] = static_cast<std::uint32_t>(ids.size());
  std::copy(ids.begin(), ids.end(), list + 1);
}

void HnswIndex::set_tombstones(std::span<const std::uint8_t> flags) {
  deleted_.assign((flags.size() + 63) / 64, 0);
  for (std::size_t n = 0; n < flags.size(); ++n) {
    if (flags[n] != 0) deleted_[n / 64] |= std::uint64_t{1} << (n % 64);
  }
}

bool HnswIndex::mark_deleted(std::uint32_t n) {
  if (n >= node_count_) return false;
  deleted_[n / 64] |= std::uint64_t{1} << (n % 64);
  return true;
}

void HnswIndex::copy_vector(std::uint32_t n, float* out) const {
  assert(n < node_count_);
  if (has_raw_vectors()) {
    auto raw = raw_vector(n);
    std::copy(raw.begin(), raw.end(), out);
  } else {
    dequantize(quantized_view(n), dimension_, out);
  }
}

HnswParts HnswIndex::to_parts() const {
  HnswParts parts;
  parts.config = config_;
  parts.vector_data.resize(static_cast<std::size_t>(node_count_) * dimension_);
  parts.vector_min.resize(node_count_);
  parts.vector_scale.resize(node_count_);
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    const QuantizedView view = quantized_view(n);
    if (dimension_ > 0) std::memcpy(parts.vector_data.data() + static_cast<std::size_t>(n) * dimension_, view.codes, dimension_);
    parts.vector_min[n] = view.min;
    parts.vector_scale[n] = view.scale;
  }
  parts.raw_vectors.assign(raw_vectors_.begin(), raw_vectors_.end());
  parts.neighbors.resize(node_count_);
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    auto& lists = parts.neighbors[n];
    lists.reserve(list_count(n));
    for (std::size_t layer = 0; layer < list_count(n); ++layer) lists.push_back(neighbors(n, layer).to_vector());
  }
  parts.layers.resize(node_count_);
  for (std::uint32_t n = 0; n < node_count_; ++n) parts.layers[n] = level(n);
  parts.deleted.resize(node_count_);
  for (std::uint32_t n = 0; n < node_count_; ++n) parts.deleted[n] = is_deleted(n) ? 1 : 0;
  parts.entry_point = entry_point_;
  parts.max_level = max_level_;
  parts.dimension = dimension_;
  parts.node_count = node_count_;
  return parts;
}

HnswIndex HnswIndex::from_parts(HnswParts parts) {
  HnswIndex index(without_walk_codes(parts.config), parts.dimension);
  const std::uint32_t count = parts.node_count;
  const std::size_t cells = static_cast<std::size_t>(count) * parts.dimension;

  // The loader checked these lengths; resizing keeps reads in range even if
  // a caller skipped the checks.
  parts.vector_data.resize(cells, 0);
  parts.vector_min.resize(count, 0.0f);
  parts.vector_scale.resize(count, 0.0f);
  parts.layers.resize(count, 0);
  parts.deleted.resize(count, 0);
  parts.neighbors.resize(count);
  // Raw vectors are all or nothing: a partial array would be read out of range.
  if (parts.raw_vectors.size() != cells) parts.raw_vectors.clear();

  index.raw_vectors_.assign(parts.raw_vectors);
  parts.raw_vectors = {};
  index.set_tombstones(parts.deleted);
  index.node_count_ = count;

  std::uint64_t longest0 = 0;
  for (const auto& lists : parts.neighbors) {
    if (!lists.empty()) longest0 = std::max<std::uint64_t>(longest0, lists[0].size());
  }
  index.capacity0_ = std::max(longest0, std::min(parts.config.m_max0, INITIAL_LEVEL0_CAPACITY));
  index.link_width_ = width_for(count);
  index.stride_ = index.stride_for(index.capacity0_, index.link_width_);
  index.blocks_.assign_zero(index.blocks_size(count));
  for (std::uint32_t n = 0; n < count; ++n) {
    index.write_vector(n, parts.vector_data.data() + static_cast<std::size_t>(n) * parts.dimension,
                       parts.vector_min[n], parts.vector_scale[n]);
  }
  std::size_t longest_upper = 0;
  for (const auto& lists : parts.neighbors) {
    for (std::size_t l = 1; l < lists.size(); ++l) longest_upper = std::max(longest_upper, lists[l].size());
  }
  index.upper_capacity_ = std::max(index.upper_capacity_, longest_upper);
  index.cover_upper_bits(count);

  auto drop_out_of_range = [count](std::vector<std::uint32_t>& list) {
    std::erase_if(list, [count](std::uint32_t id) { return id >= count; });
  };
  for (std::uint32_t n = 0; n < count; ++n) {
    auto& lists = parts.neighbors[n];
    index.set_level(n, parts.layers[n]);  // in node order, so ranks are appended
    // A node without lists gets an empty level-0 list: walks treat both alike.
    if (lists.empty()) continue;
    drop_out_of_range(lists[0]);
    index.set_level0(n, lists[0]);
    if (lists.size() < 2) continue;
    const std::size_t rank = index.ensure_upper_lists(n, lists.size() - 1);
    for (std::size_t l = 1; l < lists.size() && l <= UINT8_MAX; ++l) {
      drop_out_of_range(lists[l]);
      index.set_upper(rank, l, lists[l]);
    }
  }

  if (parts.entry_point && *parts.entry_point < count) index.entry_point_ = parts.entry_point;
  index.max_level_ = parts.max_level;
  index.derive_residuals(0);
  if (parts.config.walk_bits != 0) index.use_walk_codes(parts.config.walk_bits);
  return index;
}

std::optional<HnswIndex> HnswIndex::from_arrays(HnswArrays a) {
  HnswIndex index(without_walk_codes(a.config), a.dimension);
  const std::uint32_t count = a.node_count;
  const auto read_f32 = [](std::span<const std::uint8_t> bytes, std::size_t i) {
    float v;
    std::memcpy(&v, bytes.data() + 4 * i, sizeof v);
    return v;
  };
  std::size_t list = 0;
  std::size_t longest_upper = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    if (a.lists[list].size() / 4 > index.capacity0_) return std::nullopt;
    for (std::size_t l = 1; l <= a.layers[n]; ++l) longest_upper = std::max(longest_upper, a.lists[list + l].size() / 4);
    list += std::size_t{a.layers[n]} + 1;
  }
  index.upper_capacity_ = std::max(index.upper_capacity_, longest_upper);
  index.node_count_ = count;
  index.link_width_ = width_for(count);
  index.stride_ = index.stride_for(index.capacity0_, index.link_width_);
  index.blocks_.assign_zero(index.blocks_size(count));
  index.cover_upper_bits(count);
  std::vector<std::uint32_t> ids;
  list = 0;
  for (std::uint32_t n = 0; n < count; ++n) {
    index.place_vector(n, a.codes.data() + static_cast<std::size_t>(n) * a.dimension, read_f32(a.mins, n),
                       read_f32(a.scales, n));
    const std::span<const std::uint8_t> level0 = a.lists[list];
    index.set_level0_bytes(n, level0.data(), static_cast<std::uint32_t>(level0.size() / 4));
    const std::size_t uppers = a.layers[n];
    if (uppers != 0) {
      const std::size_t rank = index.ensure_upper_lists(n, uppers);
      index.upper_level_[rank] = static_cast<std::uint8_t>(uppers);
      for (std::size_t l = 1; l <= uppers; ++l) {
        const std::span<const std::uint8_t> bytes = a.lists[list + l];
        ids.resize(bytes.size() / 4);
        if (!bytes.empty()) std::memcpy(ids.data(), bytes.data(), bytes.size());
        index.set_upper(rank, l, ids);
      }
    }
    list += uppers + 1;
  }
  for (std::uint32_t n = 0; n < count; ++n) index.derive_meta(n);
  index.raw_vectors_.assign(a.raw_vectors);
  a.raw_vectors = {};
  index.set_tombstones(a.deleted);
  index.entry_point_ = a.entry_point;
  index.max_level_ = a.max_level;
  index.derive_residuals(0);
  if (a.config.walk_bits != 0) index.use_walk_codes(a.config.walk_bits);
  return index;
}

HnswIndex HnswIndex::with_nodes(const HnswConfig& config, std::uint64_t dimension, std::uint32_t node_count,
                                std::uint64_t longest0) {
  HnswIndex index(without_walk_codes(config), dimension);
  index.config_.walk_bits = config.walk_bits;  // taken up by finish_load
  index.capacity0_ = std::max(longest0, index.capacity0_);
  index.link_width_ = width_for(node_count);
  index.stride_ = index.stride_for(index.capacity0_, index.link_width_);
  index.node_count_ = node_count;
  index.blocks_.assign_zero(index.blocks_size(node_count));
  return index;
}

std::optional<HnswIndex> HnswIndex::with_blocks(const HnswConfig& config, std::uint64_t dimension,
                                                std::uint32_t node_count, std::uint64_t capacity0, unsigned width,
                                                PageBuffer blocks, WalkCodeArrays walk) {
  HnswIndex index(without_walk_codes(config), dimension);
  if (capacity0 < index.capacity0_ || (width != 3 && width != 4) || (width == 3 && node_count > ID3_NODES)) {
    return std::nullopt;
  }
  if (walk.bits != 0) {
    if (walk.bits > 2 || dimension == 0 || walk.centre.size() != dimension || walk.centred_at > node_count ||
        walk.values.size() != static_cast<std::size_t>(node_count) * index.value_stride()) {
      return std::nullopt;
    }
    index.walk_bits_ = walk.bits;
    index.config_.walk_bits = static_cast<std::uint8_t>(walk.bits);
    index.centre_ = std::move(walk.centre);
    index.centred_at_ = walk.centred_at;
    index.values_ = std::move(walk.values);
  }
  index.capacity0_ = capacity0;
  index.link_width_ = width;
  index.stride_ = index.stride_for(capacity0, width);
  if (blocks.size() != index.blocks_size(node_count)) return std::nullopt;
  index.node_count_ = node_count;
  index.blocks_ = std::move(blocks);
  return index;
}

std::expected<bool, HnswIndex::BlockProblem> HnswIndex::check_loaded_block(std::uint32_t n) {
  const std::uint32_t count = level0_count(n);
  if (count > capacity0_) return std::unexpected(BlockProblem{true, count});
  for (const std::uint32_t id : neighbors(n, 0)) {
    if (id >= node_count_) return std::unexpected(BlockProblem{false, id});
  }
  const NodeMeta meta = node_meta(n);
  // Bit patterns, so a NaN norm compares equal to itself.
  std::uint32_t stored[2];
  std::uint32_t derived[2];
  std::memcpy(stored, meta_of(n) + 2, sizeof stored);
  std::memcpy(&derived[0], &meta.norm_sq, sizeof derived[0]);
  derived[1] = meta.code_sum;
  if (std::memcmp(stored, derived, sizeof stored) != 0) (void)derive_node_meta(n);
  return meta.huge;
}

bool HnswIndex::load_node(std::uint32_t n, const std::uint8_t* codes, float min, float scale, const std::uint8_t* ids,
                          std::uint32_t count) {
  place_vector(n, codes, min, scale);
  set_level0_bytes(n, ids, count);
  return derive_node_meta(n);
}

void HnswIndex::finish_load(std::vector<std::uint8_t> layers, std::vector<std::uint8_t> deleted,
                            std::span<const std::uint32_t> upper_counts, std::span<const std::uint32_t> upper_ids,
                            PageArray<float> raw_vectors, std::optional<std::uint32_t> entry_point,
                            std::uint64_t max_level, bool huge) {
  for (const std::uint32_t c : upper_counts) upper_capacity_ = std::max<std::size_t>(upper_capacity_, c);
  // Nodes come in id order, so the ranks, the counts before each 64 nodes
  // and the pool are laid out in one pass (ensure_upper_lists, one node at a
  // time, would add each node to the counts of every word after it).
  std::size_t ranked = 0;
  std::size_t slots = 0;
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    ranked += layers[n] != 0 ? 1 : 0;
    slots += layers[n];
  }
  const std::size_t words = (std::size_t{node_count_} + 63) / 64;
  upper_bits_.assign(words, 0);
  upper_before_.assign(words, 0);
  upper_first_.assign(ranked, 0);
  upper_count_.assign(ranked, 0);
  upper_level_.assign(ranked, 0);
  upper_pool_.assign(slots * (1 + upper_capacity_), 0);
  std::size_t rank = 0;
  std::size_t first = 0;
  std::size_t list = 0;
  std::size_t id = 0;
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    if (n % 64 == 0) upper_before_[n / 64] = static_cast<std::uint32_t>(rank);
    const std::size_t uppers = layers[n];
    if (uppers == 0) continue;
    upper_bits_[n / 64] |= std::uint64_t{1} << (n % 64);
    upper_first_[rank] = static_cast<std::uint32_t>(first);
    upper_count_[rank] = static_cast<std::uint8_t>(uppers);
    upper_level_[rank] = static_cast<std::uint8_t>(uppers);
    for (std::size_t l = 1; l <= uppers; ++l, ++list) {
      set_upper(rank, l, upper_ids.subspan(id, upper_counts[list]));
      id += upper_counts[list];
    }
    top_list_layer_ = std::max<std::uint64_t>(top_list_layer_, uppers);
    first += uppers;
    ++rank;
  }
  set_tombstones(deleted);
  raw_vectors_ = std::move(raw_vectors);
  entry_point_ = entry_point;
  max_level_ = max_level;
  huge_nodes_ = huge;
  derive_residuals(0);
  if (config_.walk_bits != 0 && walk_bits_ == 0) use_walk_codes(config_.walk_bits);
}

void HnswIndex::derive_residuals(std::uint32_t from) {
  if (raw_vectors_.empty()) {
    residuals_.clear();
    return;
  }
  residuals_.resize(node_count_);
  for (std::uint32_t n = from; n < node_count_; ++n) {
    const QuantizedView v = quantized_view(n);
    const float* raw = raw_vectors_.data() + static_cast<std::size_t>(n) * dimension_;
    double sum = 0.0;
    for (std::size_t i = 0; i < dimension_; ++i) {
      const double error = static_cast<double>(raw[i]) - dequantized_f64(v, i);
      sum += error * error;
    }
    // Rounded up, so that it bounds the exact distance: a thousandth added
    // covers the double sum's rounding many times over; NaN and overflow give
    // +inf (no bound).
    const double bound = std::sqrt(sum) * (1.0 + 1e-3);
    residuals_[n] = bound <= static_cast<double>(LARGEST_F32) ? std::nextafter(static_cast<float>(bound), INFINITY)
                                                              : INFINITY;
  }
}

std::uint64_t HnswIndex::estimate_memory_bytes() const {
  const std::uint64_t nodes = node_count_;
  std::uint64_t bytes = nodes * dimension_ + nodes + nodes;
  bytes += 4 * (nodes + nodes + raw_vectors_.size());
  for (std::uint32_t n = 0; n < node_count_; ++n) {
    bytes += 24 + 24 + 4 * std::uint64_t{level0_count(n)};
    for (std::size_t layer = 1; layer < list_count(n); ++layer) bytes += 24 + 4 * neighbors(n, layer).size();
  }
  return bytes;
}

std::uint64_t HnswIndex::layout_bytes() const {
  std::uint64_t bytes = blocks_.size() + 8 * deleted_.size();
  // The pick counts as a byte per node whether or not they exist yet (a
  // loaded graph has them from its first insert): the same collection
  // estimates the same however it was opened.
  bytes += 4 * raw_vectors_.size() + 4 * residuals_.size() + values_.size() + 4 * centre_.size() + node_count_;
  bytes += 8 * upper_bits_.size() + 4 * upper_before_.size() + 4 * upper_first_.size() + upper_count_.size() + upper_level_.size();
  bytes += 4 * upper_pool_.size();
  return bytes;
}

}  // namespace karvalith
