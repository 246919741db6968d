// The HNSW graph. What a walk reads about a node lives in one block per node,
// all blocks in one array at a fixed stride:
//   codes (dimension bytes) | pad to 4 | min | scale | norm_sq | code_sum |
//   level-0 count (u32) | level-0 ids (capacity0 slots of link_width bytes) | pad to 4
// so scoring a node and expanding it touch one contiguous region instead of
// four arrays. Level-0 ids take 3 bytes while every id fits (up to 2^24
// nodes), 4 beyond: at m 16 a 384-d block is 500 bytes instead of 532. The
// rows are re-laid out once when the graph outgrows 3-byte ids.
//
// With codes of one or two bits for the walks (use_walk_codes), a block is
//   bit planes | terms (binary_view.h) | level-0 count | level-0 ids | pad
// (212 bytes at 384-d, two bits, m 16) and the codes, min, scale, norm_sq and
// code_sum keep the same layout in a value array of their own, which only
// re-scoring, inserting and filtered scans read. norm_sq (the squared norm of the dequantized vector) and
// code_sum (the sum of the codes) are derived from the codes, min and scale;
// snapshots that store the blocks as they are (format 3) carry them, and a
// load derives them again. Raw vectors, tombstones and the sparse upper-layer
// lists (with the levels of their nodes) keep arrays of their own.
// Insertion lives in insert.cc, queries in search.cc.
//
// Thread safety: none of its own. Mutations (insert, mark_deleted) need the collection's exclusive lock; searches
// and accessors may run concurrently under the shared lock.
#pragma once

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "core/common/page_array.h"
#include "core/common/page_buffer.h"
#include "core/common/result.h"
#include "core/hnsw/binary_view.h"
#include "core/hnsw/candidate.h"
#include "core/hnsw/config.h"
#include "core/quantization/scalar.h"

namespace karvalith {

struct InsertScratch;
class ContextLease;
class NodeLocks;

// A node's out-links on one layer: `count` little-endian ids of `width`
// bytes each (3 or 4). A view: valid until the graph changes.
class LinkList {
 public:
  LinkList() = default;
  LinkList(const std::uint8_t* bytes, std::uint32_t count, unsigned width)
      : bytes_(bytes), count_(count), width_(width) {}
  explicit LinkList(std::span<const std::uint32_t> ids)
      : bytes_(reinterpret_cast<const std::uint8_t*>(ids.data())), count_(static_cast<std::uint32_t>(ids.size())) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  unsigned width() const { return width_; }
  const std::uint8_t* bytes() const { return bytes_; }
  std::uint32_t operator[](std::size_t i) const { return read_id(bytes_ + i * width_, width_); }

  // One load and a mask for 3-byte ids: a 3-byte list lies in the graph's
  // block array, which keeps readable bytes after its last id (LINK_TAIL).
  static std::uint32_t read_id(const std::uint8_t* p, unsigned width) {
    std::uint32_t id;
    std::memcpy(&id, p, sizeof id);
    return width == 3 ? id & 0xFFFFFFu : id;
  }

  class iterator {
   public:
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;
    using pointer = void;
    using reference = std::uint32_t;
    iterator() = default;
    iterator(const LinkList* list, std::size_t i) : list_(list), i_(i) {}
    std::uint32_t operator*() const { return (*list_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const iterator& other) const { return i_ == other.i_; }

   private:
    const LinkList* list_ = nullptr;
    std::size_t i_ = 0;
  };
  using const_iterator = iterator;
  using value_type = std::uint32_t;
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, count_}; }

  std::vector<std::uint32_t> to_vector() const { return {begin(), end()}; }

 private:
  const std::uint8_t* bytes_ = nullptr;
  std::uint32_t count_ = 0;
  unsigned width_ = 4;
};

// An index's array of raw vectors: `values` zero floats in huge pages.
inline PageArray<float> raw_vector_array(std::uint64_t values) {
  PageArray<float> array(PageBuffer::Pages::Huge);
  array.resize(static_cast<std::size_t>(values));
  return array;
}

// Plain-data form of an index, field by field in snapshot order. Used by the
// snapshot code to write and read indexes.
struct HnswParts {
  HnswConfig config;
  std::vector<std::uint8_t> vector_data;  // node_count * dimension codes
  std::vector<float> vector_min;
  std::vector<float> vector_scale;
  std::vector<float> raw_vectors;  // empty or node_count * dimension
  std::vector<std::vector<std::vector<std::uint32_t>>> neighbors;  // [node][layer] -> ids
  std::vector<std::uint8_t> layers;
  std::vector<std::uint8_t> deleted;  // 0 or 1 per node
  std::optional<std::uint32_t> entry_point;
  std::uint64_t max_level = 0;
  std::uint64_t dimension = 0;
  std::uint32_t node_count = 0;
};

// A stored index as views into a decoded file, for loading without a
// vector per neighbour list. Floats and ids are little-endian bytes.
struct HnswArrays {
  HnswConfig config;
  std::uint64_t dimension = 0;
  std::uint32_t node_count = 0;
  std::span<const std::uint8_t> codes;   // node_count * dimension
  std::span<const std::uint8_t> mins;    // node_count floats
  std::span<const std::uint8_t> scales;  // node_count floats
  std::vector<float> raw_vectors;        // empty or node_count * dimension
  // Every list, node after node, level + 1 lists per node, each the bytes
  // of its u32 ids.
  std::span<const std::span<const std::uint8_t>> lists;
  std::span<const std::uint8_t> layers;   // node_count
  std::span<const std::uint8_t> deleted;  // node_count, 0 or 1
  std::optional<std::uint32_t> entry_point;
  std::uint64_t max_level = 0;
};

// A stored graph's walk codes besides its blocks (HnswIndex::with_blocks).
struct WalkCodeArrays {
  unsigned bits = 0;  // 0: none
  std::vector<float> centre;
  std::uint32_t centred_at = 0;
  PageBuffer values;
};

class HnswIndex {
 public:
  HnswIndex(const HnswConfig& config, std::uint64_t dimension);

  // Adds node `id`, which must equal node_count(); `vector` must hold
  // dimension() floats and `qv` must be its quantization. Fails only with an
  // internal fault (the thread's insertion marks already in use); the index
  // is unchanged then.
  Status insert(std::uint32_t id, std::span<const float> vector, QuantizedVector qv);
  // Adds quantized.size() nodes (ids from node_count() on; `vectors` holds
  // their dimension() floats each, back to back) from `threads` threads at
  // once, hnswlib-style: each node's lists are read and changed under its
  // own spinlock, and a node that rises above the top level holds the entry
  // point until it is linked. The caller has the index to itself (the
  // collection's exclusive lock, or an index nobody else sees yet). With one
  // thread it is insert() node after node.
  Status insert_batch(std::span<const float> vectors, std::span<QuantizedVector> quantized, unsigned threads);

  // The k nearest live nodes by ascending distance (re-scored on the stored
  // vectors), with the configured ef_search: knn_search of search.h admitting
  // every live node. Fails only with an internal fault (the search marks of
  // this thread already taken).
  Result<std::vector<Candidate>> knn_search(std::span<const float> query, std::uint64_t k) const;
  // Same, reusing the caller's vector (no allocation once it has grown).
  Status knn_search_into(std::span<const float> query, std::uint64_t k,
                         std::vector<Candidate>& out) const;

  // Tombstones node n; false when n is not a node.
  bool mark_deleted(std::uint32_t n);

  HnswParts to_parts() const;
  // Rebuilds an index from parts whose lengths were checked by the loader.
  // Anything else inconsistent (lists per node differing from level + 1,
  // overlong lists, a raw-vector array of the wrong length) is tolerated
  // without any out-of-range read.
  static HnswIndex from_parts(HnswParts parts);
  // The same from arrays the caller has checked as validate() checks parts
  // (lengths, list counts, ids below node_count; raw vectors all or none).
  // Nothing when a level-0 list is longer than a row holds without
  // re-laying out (only stored m_max0 values above 256 lead there).
  static std::optional<HnswIndex> from_arrays(HnswArrays arrays);

  // Loading from a snapshot's columns, node groups from several threads at
  // once (snapshot/snapshot_columns.cc). with_nodes makes `node_count` zeroed
  // nodes whose level-0 rows hold max(longest0, min(m_max0, 256)) ids;
  // load_node writes node n's codes, min, scale and level-0 list (`count`
  // little-endian u32 ids at `ids`) and derives its norm and code sum,
  // returning true when a component may be beyond SAFE_MAGNITUDE; distinct
  // nodes may be loaded concurrently. finish_load gives every node its level,
  // tombstone and, from `upper_counts` (level(n) counts per node, node after
  // node) and `upper_ids`, its upper lists. The caller has checked what
  // validate() checks: n < node_count, count <= longest0, ids below
  // node_count, the counts summing to the ids, raw vectors all or none.
  static HnswIndex with_nodes(const HnswConfig& config, std::uint64_t dimension, std::uint32_t node_count,
                              std::uint64_t longest0);
  bool load_node(std::uint32_t n, const std::uint8_t* codes, float min, float scale, const std::uint8_t* ids,
                 std::uint32_t count);
  // Loading a block array stored as it is laid out in memory (possibly a
  // private mapping of the file, read in place): nothing when its size, the
  // row capacity (below what inserting needs) or the id width does not fit
  // this layout. Each node is then checked with check_loaded_block (distinct
  // nodes from several threads at once) before finish_load.
  // With walk codes (`walk.bits` 1 or 2) the blocks are laid out for them and
  // `walk` holds the value rows, the centre and the node count it was taken at.
  static std::optional<HnswIndex> with_blocks(const HnswConfig& config, std::uint64_t dimension,
                                              std::uint32_t node_count, std::uint64_t capacity0, unsigned width,
                                              PageBuffer blocks, WalkCodeArrays walk = {});
  // Node n's level-0 list is checked against the row capacity and the node
  // count; its norm and code sum are derived again and written only where
  // they differ from the stored ones, so a mapped block normally stays the
  // file's page. Returns whether the node is huge (as load_node does).
  struct BlockProblem {
    bool count_over_capacity;  // else an id out of range
    std::uint32_t value;       // the count, or the id
  };
  std::expected<bool, BlockProblem> check_loaded_block(std::uint32_t n);
  // The bytes of node_count() blocks (and the readable tail after them),
  // as with_blocks takes them.
  std::span<const std::uint8_t> block_array() const { return {blocks_.data(), blocks_.size()}; }
  // Block stride for these dimensions, row capacity, id width and walk codes.
  static std::size_t stride_of(std::uint64_t dimension, std::uint64_t capacity, unsigned width,
                               unsigned walk_bits = 0) {
    const std::size_t row = sizeof(std::uint32_t) + width * static_cast<std::size_t>(capacity);
    const std::size_t head =
        walk_bits == 0 ? row_offset_of(dimension) : BinaryView::head_bytes(dimension, walk_bits);
    return head + ((row + 3) & ~std::size_t{3});
  }
  // With walk codes: the value rows (codes | pad | min | scale | norm_sq |
  // code_sum at value_stride() bytes each), as with_blocks takes them, and the
  // node count the centre was taken at.
  std::span<const std::uint8_t> value_array() const { return {values_.data(), values_.size()}; }
  static std::size_t value_stride_of(std::uint64_t dimension) { return row_offset_of(dimension); }
  std::size_t value_stride() const { return row_offset_of(dimension_); }
  std::uint32_t centred_at() const { return centred_at_; }
  // Bytes of an array of `node_count` blocks at `stride`.
  static std::size_t block_array_bytes(std::uint64_t node_count, std::size_t stride) {
    return static_cast<std::size_t>(node_count) * stride + LINK_TAIL;
  }
  void finish_load(std::vector<std::uint8_t> layers, std::vector<std::uint8_t> deleted,
                   std::span<const std::uint32_t> upper_counts, std::span<const std::uint32_t> upper_ids,
                   PageArray<float> raw_vectors, std::optional<std::uint32_t> entry_point,
                   std::uint64_t max_level, bool huge);

  // Byte estimate: codes, one byte each for level and tombstone,
  // 4 per float (mins, scales, raw vectors), and per node 24 plus,
  // per neighbour list, 24 + 4 per id.
  std::uint64_t estimate_memory_bytes() const;
  // Bytes the arrays of this layout actually hold (flat level-0 rows at
  // their stride, 4-byte upper-list slots, list headers of the nodes that
  // have upper lists); ignores allocator slack.
  std::uint64_t layout_bytes() const;

  // --- accessors ---------------------------------------------------------
  const HnswConfig& config() const { return config_; }
  std::uint64_t dimension() const { return dimension_; }
  std::uint32_t node_count() const { return node_count_; }
  std::optional<std::uint32_t> entry_point() const { return entry_point_; }
  std::uint64_t max_level() const { return max_level_; }
  // Kept only for the nodes with upper lists (a node of level 0 has none).
  std::uint8_t level(std::uint32_t n) const {
    const std::optional<std::size_t> rank = upper_rank(n);
    return rank ? upper_level_[*rank] : 0;
  }
  bool is_deleted(std::uint32_t n) const { return (deleted_[n / 64] >> (n % 64) & 1) != 0; }
  // The tombstones, a bit per node (bit n % 64 of word n / 64).
  std::span<const std::uint64_t> deleted_words() const { return {deleted_.data(), deleted_.size()}; }

  // Number of neighbour lists node n has (level + 1 for consistent data).
  std::size_t list_count(std::uint32_t n) const {
    const std::optional<std::size_t> rank = upper_rank(n);
    return 1 + (rank ? upper_count_[*rank] : 0);
  }

  // Out-links of n on `layer`; empty when n has no list there.
  LinkList neighbors(std::uint32_t n, std::uint64_t layer) const {
    assert(n < node_count_);
    if (layer == 0) return {row0(n) + sizeof(std::uint32_t), level0_count(n), link_width_};
    const std::optional<std::size_t> rank = upper_rank(n);
    if (!rank || layer - 1 >= upper_count_[*rank]) return {};
    const std::uint32_t* list = upper_list(*rank, layer);
    return LinkList({list + 1, list[0]});
  }

  // Bytes per level-0 id: 3 up to ID3_NODES nodes, 4 beyond.
  unsigned link_width() const { return link_width_; }
  static constexpr std::uint64_t ID3_NODES = std::uint64_t{1} << 24;

  // Highest layer on which any node has a list; walks above it cannot move.
  std::uint64_t top_list_layer() const { return top_list_layer_; }
  // Ids a level-0 row can hold before the flat array is re-laid out.
  std::uint64_t level0_capacity() const { return capacity0_; }

  QuantizedView quantized_view(std::uint32_t n) const {
    assert(n < node_count_);
    const float* meta = meta_of(n);
    return QuantizedView{codes_of(n), meta[0], meta[1]};
  }
  const std::uint8_t* codes_of(std::uint32_t n) const { return value_row(n); }
  const float* min_of(std::uint32_t n) const { return meta_of(n); }
  // Squared norm of the dequantized vector (+inf beyond the float range) and
  // sum of the codes: what a distance needs besides the dot product of the
  // query with the codes.
  float norm_sq_of(std::uint32_t n) const { return meta_of(n)[2]; }
  std::uint32_t code_sum_of(std::uint32_t n) const {
    std::uint32_t sum;
    std::memcpy(&sum, meta_of(n) + 3, sizeof sum);
    return sum;
  }
  // Start of node n's block (its 8-bit codes, or its bit planes with walk
  // codes) and the block stride, for prefetching the whole block.
  const std::uint8_t* block(std::uint32_t n) const {
    return blocks_.data() + static_cast<std::size_t>(n) * stride_;
  }
  std::size_t block_bytes() const { return stride_; }

  // Whether some node (deleted ones included) has a component beyond
  // SAFE_MAGNITUDE (distance.h): walks then check their single-precision
  // values for overflow.
  bool has_huge_nodes() const { return huge_nodes_; }

  // Bits per component of the codes walks read: 0 for the 8-bit codes, else
  // 1 or 2 (binary_view()), the 8-bit codes then read only to re-score.
  unsigned walk_bits() const { return walk_bits_; }
  // Gives every node codes of `bits` (1 or 2) per component and re-lays the
  // blocks out for walks on them; nothing when it has them already. Codes
  // are offsets from the nodes' mean, taken again whenever the graph has
  // doubled since (so later inserts are coded against a centre that fits).
  // An index constructed with config().walk_bits set starts with them;
  // loaders fill 8-bit blocks and call this at the end.
  void use_walk_codes(unsigned bits);
  BinaryView binary_view() const {
    return {blocks_.data(), stride_, static_cast<std::size_t>(dimension_), walk_bits_,
            BinaryView::terms_offset_of(dimension_, walk_bits_), centre_};
  }

  bool has_raw_vectors() const { return !raw_vectors_.empty(); }
  std::span<const float> raw_vector(std::uint32_t n) const {
    if (raw_vectors_.empty()) return {};
    return {raw_vectors_.data() + static_cast<std::size_t>(n) * dimension_, dimension_};
  }
  // Raw copy, or the dequantized codes (code * scale + min).
  void copy_vector(std::uint32_t n, float* out) const;
  // With raw vectors: an upper bound on |v - v'|, the distance from node n's
  // raw vector to its dequantized codes (+inf when there is none). A scan
  // ranks raw nodes by their codes and scores on the raw vectors only those
  // this bound cannot exclude; the worst case sqrt(d) (s / 2 + eps) is
  // typically thirty times larger. Derived on insert and load, not stored.
  float residual_of(std::uint32_t n) const { return n < residuals_.size() ? residuals_[n] : INFINITY; }
  // How many of node n's level-0 list are the neighbour heuristic's picks
  // (the rest its fill-ups) when a prune wrote the list, else UNKNOWN_PICKS.
  static constexpr std::uint8_t UNKNOWN_PICKS = 0xFF;
  std::size_t level0_picks(std::uint32_t n) const {
    return n < level0_picks_.size() ? level0_picks_[n] : UNKNOWN_PICKS;
  }

 private:
  // Position of node n among the nodes with upper lists, if it has any.
  std::optional<std::size_t> upper_rank(std::uint32_t n) const {
    const std::size_t word = n / 64;
    if (word >= upper_bits_.size()) return std::nullopt;
    const std::uint64_t bits = upper_bits_[word];
    const std::uint64_t bit = std::uint64_t{1} << (n % 64);
    if ((bits & bit) == 0) return std::nullopt;
    return upper_before_[word] + static_cast<std::size_t>(__builtin_popcountll(bits & (bit - 1)));
  }
  // The slot of the node with this rank on `layer` (>= 1): its count, then
  // room for upper_capacity_ ids.
  const std::uint32_t* upper_list(std::size_t rank, std::uint64_t layer) const {
    return upper_pool_.data() + (upper_first_[rank] + (layer - 1)) * (1 + upper_capacity_);
  }
  std::uint32_t* upper_list(std::size_t rank, std::uint64_t layer) {
    return upper_pool_.data() + (upper_first_[rank] + (layer - 1)) * (1 + upper_capacity_);
  }
  // Gives node n (< node_count_) at least `lists` upper lists, new ones
  // empty, and returns its rank. Nodes get theirs in id order, appended; a
  // node given lists out of order (only inconsistent stored graphs lead
  // there) moves the ranks after it.
  std::size_t ensure_upper_lists(std::uint32_t n, std::size_t lists);
  // Records node n's level: by rank, so a node above level 0 gets a rank even
  // without lists (only inconsistent stored graphs have such nodes).
  void set_level(std::uint32_t n, std::uint8_t level);
  // Replaces node n's list on `layer` (>= 1; the node has it; ids.size() <=
  // upper_capacity_).
  void set_upper(std::size_t rank, std::uint64_t layer, std::span<const std::uint32_t> ids);
  // Tombstones from one flag byte per node (nonzero: deleted).
  void set_tombstones(std::span<const std::uint8_t> flags);
  // Covers nodes below `node_count` in the rank bitmap.
  void cover_upper_bits(std::uint64_t node_count);

  // Byte offsets inside a block.
  static std::size_t row_offset_of(std::uint64_t dimension) {
    return ((static_cast<std::size_t>(dimension) + 3) & ~std::size_t{3}) + 4 * sizeof(float);
  }
  std::size_t meta_offset() const { return (static_cast<std::size_t>(dimension_) + 3) & ~std::size_t{3}; }
  std::size_t row_offset() const {
    return walk_bits_ == 0 ? row_offset_of(dimension_) : BinaryView::head_bytes(dimension_, walk_bits_);
  }
  std::size_t stride_for(std::uint64_t capacity, unsigned width) const {
    return stride_of(dimension_, capacity, width, walk_bits_);
  }
  // Node n's codes, min, scale, norm_sq and code_sum: the head of its block,
  // or its row of the value array with walk codes.
  const std::uint8_t* value_row(std::uint32_t n) const {
    return walk_bits_ == 0 ? block(n) : values_.data() + static_cast<std::size_t>(n) * value_stride();
  }
  std::uint8_t* value_row(std::uint32_t n) {
    return walk_bits_ == 0 ? blocks_.data() + static_cast<std::size_t>(n) * stride_
                           : values_.data() + static_cast<std::size_t>(n) * value_stride();
  }
  // Node n's walk codes against the current centre (`vector` scratch of
  // dimension floats).
  void encode_walk_code(std::uint32_t n, std::vector<float>& vector);
  // Takes the nodes' mean as the centre and codes every node again, when the
  // graph has doubled since the last time.
  void recentre_if_grown();
  static unsigned width_for(std::uint64_t node_count) { return node_count <= ID3_NODES ? 3 : 4; }
  // Bytes after the last block, so a 4-byte read of the last 3-byte id stays
  // inside the array.
  static constexpr std::size_t LINK_TAIL = 4;
  std::size_t blocks_size(std::uint64_t node_count) const { return block_array_bytes(node_count, stride_); }
  const float* meta_of(std::uint32_t n) const {
    return reinterpret_cast<const float*>(value_row(n) + meta_offset());
  }
  const std::uint8_t* row0(std::uint32_t n) const { return block(n) + row_offset(); }
  std::uint8_t* row0(std::uint32_t n) {
    return blocks_.data() + static_cast<std::size_t>(n) * stride_ + row_offset();
  }
  std::uint32_t level0_count(std::uint32_t n) const {
    std::uint32_t count;
    std::memcpy(&count, row0(n), sizeof count);
    return count;
  }
  // Replaces node n's level-0 list (ids.size() <= capacity0_).
  void set_level0(std::uint32_t n, std::span<const std::uint32_t> ids);
  // The same from `count` little-endian u32 ids at `bytes`.
  void set_level0_bytes(std::uint32_t n, const std::uint8_t* bytes, std::uint32_t count);
  // Writes node n's codes, min and scale and derives its norm_sq and code_sum.
  void write_vector(std::uint32_t n, const std::uint8_t* codes, float min, float scale);
  // write_vector without the derived fields.
  void place_vector(std::uint32_t n, const std::uint8_t* codes, float min, float scale);
  // Derives node n's norm_sq and code_sum from its codes, min and scale
  // (graph.cc).
  void derive_meta(std::uint32_t n);
  // Derives residual_of for nodes from..node_count() (none without raw
  // vectors), after their codes and raw vectors are in place.
  void derive_residuals(std::uint32_t from);
  // The same, returning whether the node is huge instead of recording it.
  bool derive_node_meta(std::uint32_t n);
  // What derive_node_meta writes, computed from the block's codes, min and scale.
  struct NodeMeta {
    float norm_sq;
    std::uint32_t code_sum;
    bool huge;
  };
  NodeMeta node_meta(std::uint32_t n) const;
  // Makes every level-0 row able to hold `need` ids.
  void reserve_level0(std::uint64_t need);
  // Re-lays out every block for rows of `capacity` ids of `width` bytes.
  void relayout(std::uint64_t capacity, unsigned width);
  // Walks from `entry` (with `max_level` the top layer) to choose the new
  // node's neighbours, hands its lists to store_lists, then adds the
  // back-links; `links` reads lists, `locks` (null with one inserting thread)
  // guards every change of another node's lists (insert.cc).
  template <class Links, class StoreLists>
  void link_new_node(std::uint32_t id, std::span<const float> vector, std::uint8_t level, std::uint32_t entry,
                     std::uint64_t max_level, ContextLease& lease, const Links& links, NodeLocks* locks,
                     StoreLists&& store_lists);
  // Appends new_id to w's list on `layer`, pruning it with the heuristic when
  // it would exceed its bound (insert.cc).
  void add_back_link(std::uint32_t w, std::uint64_t layer, std::uint32_t new_id,
                     InsertScratch& scratch);
  // Appends one node's arrays and lists (insert.cc).
  void store_node(std::span<const float> vector, const QuantizedVector& qv,
                  std::uint8_t level,
                  std::span<const std::uint32_t> level0,
                  std::vector<std::vector<std::uint32_t>> upper);

  HnswConfig config_;
  // One block per node at stride_ bytes (layout at the top of this file).
  // Blocks are 4-byte aligned: stride_ and the offsets are multiples of 4.
  // A PageBuffer, so a build grows it without a second copy.
  PageBuffer blocks_;
  std::size_t stride_ = 0;
  unsigned walk_bits_ = 0;
  PageBuffer values_;            // with walk codes: a value row per node
  std::vector<float> centre_;    // with walk codes: what they are offsets from
  std::uint32_t centred_at_ = 0;  // node count when the centre was taken
  // In huge pages: a search re-scores rows scattered over the array, each a
  // miss in the address translation cache with small pages.
  PageArray<float> raw_vectors_ = raw_vector_array(0);
  PageArray<float> residuals_;  // residual_of, one per node with raw vectors
  // How many of a node's level-0 list are the neighbour heuristic's picks
  // (the rest its fill-ups), when the list is what the heuristic wrote with
  // code distances to the node; UNKNOWN_PICKS otherwise (lists loaded,
  // chosen by the node's own insert, or appended to). Lets a prune score
  // about m pairs instead of about m^2 / 2 (select_with_known_picks).
  PageArray<std::uint8_t> level0_picks_;
  void set_level0_picks(std::uint32_t n, std::size_t picks) {
    if (n < level0_picks_.size()) level0_picks_[n] = picks < UNKNOWN_PICKS ? static_cast<std::uint8_t>(picks) : UNKNOWN_PICKS;
  }
  std::uint64_t capacity0_ = 0;  // ids a level-0 row holds
  unsigned link_width_ = 3;       // bytes per level-0 id
  // Layers >= 1, only for the nodes that have such lists (1/m of them):
  // a bit per node says whether it has any, with a count of such nodes
  // before each 64 (its rank is that count plus the bits before it). By
  // rank: its first slot in the pool and its number of lists; its lists are
  // consecutive slots of 1 + upper_capacity_ u32 (count, ids). A slot holds
  // m ids (more when a stored graph has longer lists), so pruning never
  // moves a list and no thread ever grows the pool while others insert.
  PageArray<std::uint64_t> upper_bits_;
  PageArray<std::uint32_t> upper_before_;
  PageArray<std::uint32_t> upper_first_;
  PageArray<std::uint8_t> upper_count_;
  PageArray<std::uint8_t> upper_level_;  // the node's level, which stored graphs may give apart from its lists
  PageArray<std::uint32_t> upper_pool_;
  std::size_t upper_capacity_ = 0;
  PageArray<std::uint64_t> deleted_;  // tombstones, a bit per node
  std::optional<std::uint32_t> entry_point_;
  std::uint64_t max_level_ = 0;
  std::uint64_t dimension_ = 0;
  std::uint32_t node_count_ = 0;

  std::uint64_t top_list_layer_ = 0;
  bool huge_nodes_ = false;
};

}  // namespace karvalith
