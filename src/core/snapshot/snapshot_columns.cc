#include "core/snapshot/snapshot_columns.h"

// GCC 12 misreads the first append into a freshly reserved vector, once
// encode_exact is inlined, as a write into a zero-sized region.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <unistd.h>

#include "core/codec/codec.h"
#include "core/codec/crc32.h"
#include "core/codec/utf8.h"
#include "core/codec/value_codec.h"
#include "core/common/parallel.h"
#include "core/snapshot/snapshot_codec.h"

namespace karvalith {

namespace {

static_assert(sizeof(Uuid) == 16, "ids are stored as their 16 bytes");

// Bytes of codes, ids and floats a node group aims at: small enough that a
// group read into a thread's buffer is still in cache when it is checked and
// copied out.
constexpr std::uint64_t GROUP_BYTES = std::uint64_t{256} << 10;

std::string u64s(std::uint64_t v) { return std::to_string(v); }

// Format 3's block array starts at a multiple of this inside the payload (a
// plain file's payload starts the file), so it can be mapped in place.
constexpr std::uint64_t BLOCK_ALIGN = 4096;
std::uint64_t align_blocks(std::uint64_t offset) { return (offset + BLOCK_ALIGN - 1) / BLOCK_ALIGN * BLOCK_ALIGN; }
// Nodes a thread checks at a time in a format-3 load.
constexpr std::uint32_t CHECK_NODES = 4096;
// A bound on a stored row capacity, so the layout's sums cannot overflow.
constexpr std::uint64_t MAX_ROW_IDS = std::uint64_t{1} << 24;

std::unexpected<Error> early_end() { return decode_error("io error: failed to fill whole buffer"); }

// Appends raw bytes to a buffer sized in advance.
class Cursor {
 public:
  explicit Cursor(std::uint8_t* at) : at_(at) {}
  void put(const void* bytes, std::size_t n) {
    if (n != 0) std::memcpy(at_, bytes, n);
    at_ += n;
  }
  template <class T>
  void put_value(T v) {
    put(&v, sizeof v);
  }
  void skip(std::size_t n) { at_ += n; }

 private:
  std::uint8_t* at_;
};

std::uint64_t group_nodes(std::uint64_t dimension, std::uint64_t level0_capacity) {
  const std::uint64_t per_node = 8 + dimension + 4 * level0_capacity;
  return std::max<std::uint64_t>(1, GROUP_BYTES / per_node);
}

// Sums with overflow checks: a hostile head may claim any sizes.
struct Size {
  std::uint64_t value = 0;
  bool overflow = false;
  Size& add(std::uint64_t n) {
    overflow = overflow || __builtin_add_overflow(value, n, &value);
    return *this;
  }
  Size& add(std::uint64_t n, std::uint64_t m) {
    std::uint64_t product = 0;
    overflow = overflow || __builtin_mul_overflow(n, m, &product);
    return add(product);
  }
};

template <class T>
Status read_vector(const PayloadSource& source, std::uint64_t offset, std::vector<T>& out, std::size_t count) {
  out.resize(count);
  return source.read(offset, {reinterpret_cast<std::uint8_t*>(out.data()), count * sizeof(T)});
}

template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& v) {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T)};
}

// What the head says.
struct Head {
  std::string name;
  std::uint64_t dimension = 0;
  HnswConfig config;
  std::uint32_t node_count = 0;
  std::optional<std::uint32_t> entry_point;
  std::uint64_t max_level = 0;
  std::uint64_t group_nodes = 0;
  bool raw = false;
  std::uint64_t upper_ids = 0;
  std::uint64_t record_bytes = 0;
  std::uint64_t keyword_bytes = 0;
  // Formats 3 and 4: the block array's layout.
  bool blocks = false;
  std::uint64_t capacity0 = 0;
  std::uint64_t link_width = 0;
  std::uint64_t stride = 0;
  // Format 4 only: the walk codes.
  bool walked = false;
  std::uint64_t walk_bits = 0;
  std::uint64_t centred_at = 0;
  std::vector<float> centre;  // dimension floats
};

std::vector<std::uint8_t> encode_head(const Head& h) {
  return encode_exact([&](auto& enc) {
    enc.put_string(h.name);
    enc.put_u64(h.dimension);
    encode_hnsw_config(enc, h.config);
    enc.put_u32(h.node_count);
    enc.put_optional_tag(h.entry_point.has_value());
    if (h.entry_point) enc.put_u32(*h.entry_point);
    enc.put_u64(h.max_level);
    enc.put_u64(h.group_nodes);
    enc.put_bool(h.raw);
    enc.put_u64(h.upper_ids);
    enc.put_u64(h.record_bytes);
    enc.put_u64(h.keyword_bytes);
    if (h.blocks) {
      enc.put_u64(h.capacity0);
      enc.put_u64(h.link_width);
      enc.put_u64(h.stride);
    }
    if (h.walked) {
      enc.put_u64(h.walk_bits);
      enc.put_u64(h.centred_at);
      for (const float x : h.centre) enc.put_f32(x);
    }
  });
}

Result<Head> decode_head(std::span<const std::uint8_t> bytes, bool blocks, bool walked) {
  Decoder dec(bytes);
  Head h;
  h.blocks = blocks;
  h.walked = walked;
  KV_TRY(name, dec.get_string());
  h.name = std::move(*name);
  KV_TRY(dimension, dec.get_u64());
  h.dimension = *dimension;
  KV_TRY(config, decode_hnsw_config(dec));
  h.config = *config;
  KV_TRY(node_count, dec.get_u32());
  h.node_count = *node_count;
  KV_TRY(has_entry, dec.get_optional_tag());
  if (*has_entry) {
    KV_TRY(entry, dec.get_u32());
    h.entry_point = *entry;
  }
  KV_TRY(max_level, dec.get_u64());
  h.max_level = *max_level;
  KV_TRY(groups, dec.get_u64());
  h.group_nodes = *groups;
  KV_TRY(raw, dec.get_bool());
  h.raw = *raw;
  KV_TRY(upper_ids, dec.get_u64());
  h.upper_ids = *upper_ids;
  KV_TRY(record_bytes, dec.get_u64());
  h.record_bytes = *record_bytes;
  KV_TRY(keyword_bytes, dec.get_u64());
  h.keyword_bytes = *keyword_bytes;
  if (blocks) {
    KV_TRY(capacity0, dec.get_u64());
    h.capacity0 = *capacity0;
    KV_TRY(width, dec.get_u64());
    h.link_width = *width;
    KV_TRY(stride, dec.get_u64());
    h.stride = *stride;
  }
  if (walked) {
    KV_TRY(bits, dec.get_u64());
    h.walk_bits = *bits;
    KV_TRY(centred_at, dec.get_u64());
    h.centred_at = *centred_at;
    if (h.dimension > dec.remaining() / 4) return early_end();
    h.centre.resize(static_cast<std::size_t>(h.dimension));
    for (float& x : h.centre) {
      KV_TRY(value, dec.get_f32());
      x = *value;
    }
    // The configuration's own encoding has no room for them.
    h.config.walk_bits = static_cast<std::uint8_t>(std::min<std::uint64_t>(h.walk_bits, UINT8_MAX));
  }
  if (dec.remaining() != 0) return decode_error("head has " + u64s(dec.remaining()) + " bytes after its fields");
  return h;
}

// A failure inside the load: its kind and message.
struct Failure {
  ColumnsProblem problem;
  Error error;
};
std::unexpected<Failure> fail(ColumnsProblem problem, Error error) {
  return std::unexpected(Failure{problem, std::move(error)});
}
std::unexpected<Failure> inconsistent(std::string message) {
  return fail(ColumnsProblem::Inconsistent, Error{ErrorKind::InvalidData, std::move(message)});
}
std::unexpected<Failure> undecodable(Error error) { return fail(ColumnsProblem::Undecodable, std::move(error)); }

// The first neighbour id of `ids` (`count` little-endian u32) that is not
// below `nc`, if any.
std::optional<std::uint32_t> id_out_of_range(const std::uint8_t* ids, std::size_t count, std::uint32_t nc) {
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t id;
    std::memcpy(&id, ids + 4 * i, sizeof id);
    largest = std::max(largest, id);
  }
  if (count == 0 || largest < nc) return std::nullopt;
  for (std::size_t i = 0;; ++i) {
    std::uint32_t id;
    std::memcpy(&id, ids + 4 * i, sizeof id);
    if (id >= nc) return id;
  }
}

// The parts read after the node groups, ready to move into the collection.
struct Tail {
  std::vector<std::uint32_t> upper_counts;
  std::vector<std::uint32_t> upper_ids;
  std::vector<Uuid> ids;
  IdTable table;
  DocumentStore documents;
  InvertedIndexParts keywords;
  std::uint32_t crc = 0;
};

std::expected<Tail, Failure> read_tail(const PayloadSource& source, const Head& h, std::uint64_t offset,
                                std::uint64_t upper_lists, bool with_crc) {
  Tail t;
  const std::uint32_t nc = h.node_count;
  auto take = [&](auto& vec, std::size_t count) -> Status {
    if (auto s = read_vector(source, offset, vec, count); !s) return s;
    offset += count * sizeof(vec[0]);
    if (with_crc) t.crc = crc32_update(t.crc, bytes_of(vec));
    return {};
  };
  if (auto s = take(t.upper_counts, upper_lists); !s) return undecodable(s.error());
  if (auto s = take(t.upper_ids, h.upper_ids); !s) return undecodable(s.error());
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint8_t> records;
  std::vector<std::uint8_t> keyword_bytes;
  if (auto s = take(t.ids, nc); !s) return undecodable(s.error());
  if (auto s = take(offsets, nc); !s) return undecodable(s.error());
  if (auto s = take(records, h.record_bytes); !s) return undecodable(s.error());
  if (auto s = take(keyword_bytes, h.keyword_bytes); !s) return undecodable(s.error());

  Decoder dec(keyword_bytes);
  auto keywords = decode_keyword_fields(dec);
  if (!keywords) return undecodable(keywords.error());
  if (dec.remaining() != 0) {
    return undecodable(Error{ErrorKind::InvalidData,
                             "keyword index has " + u64s(dec.remaining()) + " bytes after its fields"});
  }
  t.keywords = std::move(*keywords);

  std::uint64_t listed = 0;
  for (std::uint32_t count : t.upper_counts) listed += count;
  if (listed != t.upper_ids.size()) {
    return inconsistent("upper-layer lists hold " + u64s(listed) + " ids but " + u64s(t.upper_ids.size()) +
                        " are stored");
  }
  for (std::uint32_t id : t.upper_ids) {
    if (id >= nc) return inconsistent("upper-layer neighbor " + u64s(id) + " out of bounds (node_count=" + u64s(nc) + ")");
  }
  t.table.assign_all(t.ids);
  if (t.table.size() != nc) return inconsistent("internal_to_uuid holds an id more than once");
  auto utf8 = [](std::string_view s) { return !validate_utf8(s).has_value(); };
  if (auto problem = t.documents.assign_records(std::move(offsets), std::move(records), utf8)) {
    return inconsistent(*problem);
  }
  return t;
}

std::unexpected<Failure> cancelled() { return fail(ColumnsProblem::Other, Error{ErrorKind::Cancelled, "stopped"}); }

// The last stage of both formats: the index gets its levels, tombstones and
// upper lists, and the collection its other parts.
std::expected<ColumnsLoad, Failure> finish_collection(HnswIndex index, const Head& h, std::vector<std::uint8_t> levels,
                                                      std::vector<std::uint8_t> deleted, Tail& t,
                                                      PageArray<float> raw, bool huge, std::uint64_t used,
                                                      std::uint32_t crc, FunctionRef<bool()> next_step) {
  index.finish_load(std::move(levels), std::move(deleted), t.upper_counts, t.upper_ids, std::move(raw), h.entry_point,
                    h.max_level, huge);
  t.upper_counts = {};
  t.upper_ids = {};
  CollectionState state(std::string(h.name), h.dimension, h.config);
  state.hnsw = std::move(index);
  InvertedIndexParts& k = t.keywords;
  state.inverted_index =
      InvertedIndex::from_parts(std::move(k.postings), std::move(k.doc_lengths), k.doc_count, k.total_length);
  state.internal_to_uuid.assign(t.ids);
  state.uuid_to_internal = std::move(t.table);
  state.documents = std::move(t.documents);
  if (!next_step()) return cancelled();
  return ColumnsLoad{std::make_shared<Collection>(std::move(state)), used, crc};
}

// Formats 3 and 4 after the node columns (read and checked by the caller,
// with the CRC so far): the block array (and format 4's value array) is
// mapped from the file in place when it can be (else read into memory), then
// checked in runs of nodes on several threads while another reads the tail.
std::expected<ColumnsLoad, Failure> load_blocks(const PayloadSource& source, const Head& h,
                                                std::vector<std::uint8_t> levels, std::vector<std::uint8_t> deleted,
                                                std::uint64_t offset, std::uint32_t crc, std::uint64_t upper_lists,
                                                bool with_crc, FunctionRef<bool()> next_step) {
  const std::uint32_t nc = h.node_count;
  const std::uint64_t dim = h.dimension;
  if (h.link_width != 3 && h.link_width != 4) return inconsistent("level-0 id width " + u64s(h.link_width) + " is not 3 or 4");
  if (h.capacity0 > MAX_ROW_IDS) return inconsistent("level-0 rows of " + u64s(h.capacity0) + " ids");
  const auto width = static_cast<unsigned>(h.link_width);
  if (h.walked && h.walk_bits == 0) return inconsistent("walk codes of 0 bits");
  const auto walk_bits = static_cast<unsigned>(h.walk_bits);
  const std::size_t stride = HnswIndex::stride_of(dim, h.capacity0, width, walk_bits);
  if (h.stride != stride) {
    return inconsistent("blocks of " + u64s(h.stride) + " bytes where the layout makes " + u64s(stride));
  }
  if (h.centred_at > nc) return inconsistent("walk codes centred at " + u64s(h.centred_at) + " of " + u64s(nc) + " nodes");
  const std::uint64_t blocks_at = align_blocks(offset);
  // Format 4: the value rows, each as long as an 8-bit block's head.
  const std::size_t value_stride = h.walked ? HnswIndex::value_stride_of(dim) : 0;
  Size at;
  at.add(blocks_at).add(stride, nc).add(HnswIndex::block_array_bytes(0, stride));
  const std::uint64_t blocks_end = at.value;
  const std::uint64_t values_at = h.walked ? align_blocks(blocks_end) : blocks_end;
  at.add(values_at - blocks_end).add(value_stride, nc);
  const std::uint64_t raw_at = at.value;
  if (h.raw) at.add(4 * dim, nc);
  const std::uint64_t tail_start = at.value;
  at.add(4, upper_lists).add(4, h.upper_ids).add(24, nc).add(h.record_bytes).add(h.keyword_bytes);
  if (at.overflow || at.value > source.size()) return undecodable(early_end().error());
  const std::uint64_t used = at.value;
  if (!next_step()) return cancelled();

  const std::size_t block_bytes = HnswIndex::block_array_bytes(nc, stride);
  std::optional<PageBuffer> blocks = source.map(blocks_at, block_bytes);
  if (!blocks) {
    blocks.emplace();
    blocks->resize(block_bytes);
    if (auto s = source.read(blocks_at, {blocks->data(), block_bytes}); !s) return undecodable(s.error());
  }
  WalkCodeArrays walk;
  if (h.walked) {
    const std::size_t value_bytes = static_cast<std::size_t>(nc) * value_stride;
    std::optional<PageBuffer> values = source.map(values_at, value_bytes);
    if (!values) {
      values.emplace();
      values->resize(value_bytes);
      if (auto s = source.read(values_at, {values->data(), value_bytes}); !s) return undecodable(s.error());
    }
    walk = {walk_bits, h.centre, static_cast<std::uint32_t>(h.centred_at), std::move(*values)};
  }
  std::optional<HnswIndex> index =
      HnswIndex::with_blocks(h.config, dim, nc, h.capacity0, width, std::move(*blocks), std::move(walk));
  if (!index) {
    return inconsistent("level-0 rows of " + u64s(h.capacity0) + " ids of " + u64s(width) + " bytes do not fit " +
                        u64s(nc) + " nodes with m_max0 " + u64s(h.config.m_max0));
  }
  std::uint32_t pad_crc = 0;
  std::uint32_t values_pad_crc = 0;
  if (with_crc) {
    std::vector<std::uint8_t> pad;
    if (auto s = read_vector(source, offset, pad, static_cast<std::size_t>(blocks_at - offset)); !s) {
      return undecodable(s.error());
    }
    pad_crc = crc32(pad);
    if (auto s = read_vector(source, blocks_end, pad, static_cast<std::size_t>(values_at - blocks_end)); !s) {
      return undecodable(s.error());
    }
    values_pad_crc = crc32(pad);
  }

  const bool keep_raw = h.raw && h.config.store_raw_vectors;
  PageArray<float> raw = raw_vector_array(keep_raw ? nc * dim : 0);
  // Task 0 reads the tail, task 1 the raw vectors, task 2 + r checks run r.
  const std::size_t runs = (std::size_t{nc} + CHECK_NODES - 1) / CHECK_NODES;
  std::optional<std::expected<Tail, Failure>> tail;
  std::optional<Failure> raw_failure;
  std::uint32_t raw_crc = 0;
  std::vector<std::optional<Failure>> run_failures(runs);
  std::vector<std::uint32_t> run_crcs(runs);
  std::vector<std::uint32_t> value_crcs(runs);
  std::vector<std::uint8_t> huge(runs, 0);
  const std::span<const std::uint8_t> array = index->block_array();
  const std::span<const std::uint8_t> value_array = index->value_array();
  parallel_for(runs + 2, resolve_thread_count(0), [&](std::size_t task) {
    if (task == 0) {
      tail = read_tail(source, h, tail_start, upper_lists, with_crc);
      return;
    }
    if (task == 1) {
      if (!h.raw) return;
      Result<std::uint32_t> got = 0u;
      if (keep_raw) {
        const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(raw.data()), raw.size() * sizeof(float));
        auto s = source.read(raw_at, bytes);
        got = s ? Result<std::uint32_t>(with_crc ? crc32(bytes) : 0u) : std::unexpected(s.error());
      } else if (with_crc) {
        got = source.crc_of(raw_at, tail_start);
      }
      if (!got) raw_failure = Failure{ColumnsProblem::Undecodable, got.error()};
      else raw_crc = *got;
      return;
    }
    const std::size_t r = task - 2;
    const auto first = static_cast<std::uint32_t>(r * CHECK_NODES);
    const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(nc, std::uint64_t{first} + CHECK_NODES));
    // The CRC first: the check may write a node's derived fields.
    if (with_crc) {
      const std::size_t end = last == nc ? array.size() : std::size_t{last} * stride;
      run_crcs[r] = crc32(array.subspan(std::size_t{first} * stride, end - std::size_t{first} * stride));
      value_crcs[r] = crc32(value_array.subspan(std::size_t{first} * value_stride,
                                                std::size_t{last - first} * value_stride));
    }
    bool any_huge = false;
    for (std::uint32_t n = first; n < last; ++n) {
      auto checked = index->check_loaded_block(n);
      if (!checked) {
        const HnswIndex::BlockProblem p = checked.error();
        run_failures[r] = Failure{ColumnsProblem::Inconsistent,
                                  Error{ErrorKind::InvalidData,
                                        p.count_over_capacity
                                            ? "node " + u64s(n) + " level-0 list of " + u64s(p.value) +
                                                  " ids exceeds its row of " + u64s(h.capacity0)
                                            : "neighbor " + u64s(p.value) + " out of bounds (node_count=" + u64s(nc) +
                                                  ") at node " + u64s(n) + " layer 0"}};
        return;
      }
      any_huge |= *checked;
    }
    huge[r] = any_huge ? 1 : 0;
  });
  for (auto& failure : run_failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  if (raw_failure) return std::unexpected(std::move(*raw_failure));
  if (!tail->has_value()) return std::unexpected(std::move(*tail).error());
  if (!next_step()) return cancelled();
  Tail& t = **tail;
  if (with_crc) {
    crc = crc32_combine(crc, pad_crc, blocks_at - offset);
    for (std::size_t r = 0; r < runs; ++r) {
      const std::uint64_t first = std::uint64_t{r} * CHECK_NODES;
      const std::uint64_t last = std::min<std::uint64_t>(nc, first + CHECK_NODES);
      const std::uint64_t end = last == nc ? array.size() : last * stride;
      crc = crc32_combine(crc, run_crcs[r], end - first * stride);
    }
    if (runs == 0) crc = crc32_combine(crc, crc32(array), array.size());
    crc = crc32_combine(crc, values_pad_crc, values_at - blocks_end);
    for (std::size_t r = 0; r < runs; ++r) {
      const std::uint64_t first = std::uint64_t{r} * CHECK_NODES;
      const std::uint64_t last = std::min<std::uint64_t>(nc, first + CHECK_NODES);
      crc = crc32_combine(crc, value_crcs[r], (last - first) * value_stride);
    }
    crc = crc32_combine(crc, raw_crc, tail_start - raw_at);
    crc = crc32_combine(crc, t.crc, used - tail_start);
  }
  return finish_collection(std::move(*index), h, std::move(levels), std::move(deleted), t, std::move(raw),
                           std::find(huge.begin(), huge.end(), 1) != huge.end(), used, crc, next_step);
}

}  // namespace

bool is_columns_payload(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof COLUMNS_MAGIC && (std::memcmp(bytes.data(), COLUMNS_MAGIC, sizeof COLUMNS_MAGIC) == 0 ||
                                                  std::memcmp(bytes.data(), BLOCKS_MAGIC, sizeof BLOCKS_MAGIC) == 0 ||
                                                  std::memcmp(bytes.data(), WALKED_MAGIC, sizeof WALKED_MAGIC) == 0);
}

Status PayloadSource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return early_end();
  if (file_ == nullptr) {
    if (!out.empty()) std::memcpy(out.data(), memory_.data() + offset, out.size());
    return {};
  }
  auto got = file_->read_at(offset, out);
  if (!got) return std::unexpected(got.error());
  if (*got != out.size()) return early_end();
  return {};
}

std::optional<PageBuffer> PayloadSource::map(std::uint64_t offset, std::size_t length) const {
  static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  if (file_ == nullptr || !mappable_ || length < PageBuffer::MAP_FROM || offset % page != 0 || offset > size_ ||
      length > size_ - offset) {
    return std::nullopt;
  }
  const std::size_t mapped = static_cast<std::size_t>((length + page - 1) / page * page);
  auto data = file_->map_private(offset, mapped);
  if (!data) return std::nullopt;
  return PageBuffer::adopt_mapping(*data, length, mapped);
}

Result<std::uint32_t> PayloadSource::crc_of(std::uint64_t from, std::uint64_t to) const {
  if (file_ == nullptr) {
    if (from > to || to > size_) return early_end();
    return crc32(memory_.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)));
  }
  std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(to - from, std::uint64_t{1} << 20));
  std::uint32_t crc = 0;
  for (std::uint64_t at = from; at < to; at += buffer.size()) {
    const std::span<std::uint8_t> part = std::span(buffer).first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - at)));
    if (auto s = read(at, part); !s) return std::unexpected(s.error());
    crc = crc32_update(crc, part);
  }
  return crc;
}

std::vector<std::uint8_t> encode_collection_columns(const CollectionState& state, ColumnsFormat format) {
  const HnswIndex& index = state.hnsw;
  const bool walked = index.walk_bits() != 0;
  const bool blocks = walked || format == ColumnsFormat::Blocks;
  const std::uint32_t nc = index.node_count();
  const std::uint64_t dim = index.dimension();
  const std::uint64_t group = group_nodes(dim, index.level0_capacity());
  const bool raw = index.has_raw_vectors();

  std::uint64_t level0_ids = 0;
  std::uint64_t upper_lists = 0;
  std::uint64_t upper_ids = 0;
  std::uint64_t record_bytes = 0;
  for (std::uint32_t n = 0; n < nc; ++n) {
    level0_ids += index.neighbors(n, 0).size();
    upper_lists += index.level(n);
    for (std::uint64_t layer = 1; layer <= index.level(n); ++layer) upper_ids += index.neighbors(n, layer).size();
    record_bytes += state.documents.record(n).size();
  }
  const std::vector<std::uint8_t> keywords = encode_keyword_index(state.inverted_index);
  Head h;
  h.name = state.name;
  h.dimension = state.dimension;
  h.config = index.config();
  h.node_count = nc;
  h.entry_point = index.entry_point();
  h.max_level = index.max_level();
  h.group_nodes = group;
  h.raw = raw;
  h.upper_ids = upper_ids;
  h.record_bytes = record_bytes;
  h.keyword_bytes = keywords.size();
  if (blocks) {
    h.group_nodes = 0;
    h.blocks = true;
    h.capacity0 = index.level0_capacity();
    h.link_width = index.link_width();
    h.stride = index.block_bytes();
  }
  if (walked) {
    h.walked = true;
    h.walk_bits = index.walk_bits();
    h.centred_at = index.centred_at();
    const BinaryView view = index.binary_view();
    h.centre.assign(view.centre.begin(), view.centre.end());
  }
  const std::vector<std::uint8_t> head = encode_head(h);

  const std::uint64_t columns_end = sizeof COLUMNS_MAGIC + 8 + head.size() + 2 * std::uint64_t{nc};
  const std::uint64_t pad = blocks ? align_blocks(columns_end) - columns_end : 0;
  // An index without nodes may hold no array at all: its 4 tail bytes are written as zeros.
  const std::size_t block_bytes = HnswIndex::block_array_bytes(nc, index.block_bytes());
  const std::uint64_t blocks_end = columns_end + pad + block_bytes;
  const std::uint64_t values_pad = walked ? align_blocks(blocks_end) - blocks_end : 0;
  const std::size_t value_bytes = walked ? static_cast<std::size_t>(nc) * index.value_stride() : 0;
  const std::uint64_t nodes_bytes = blocks ? pad + block_bytes + values_pad + value_bytes + (raw ? 4 * dim * nc : 0)
                                           : 4 * std::uint64_t{nc} + (8 + dim + (raw ? 4 * dim : 0)) * nc + 4 * level0_ids;
  const std::uint64_t total = columns_end + nodes_bytes + 4 * upper_lists + 4 * upper_ids + 24 * std::uint64_t{nc} +
                              record_bytes + keywords.size();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(total));
  Cursor c(out.data());
  c.put(walked ? WALKED_MAGIC : blocks ? BLOCKS_MAGIC : COLUMNS_MAGIC, sizeof COLUMNS_MAGIC);
  c.put_value<std::uint64_t>(head.size());
  c.put(head.data(), head.size());
  for (std::uint32_t n = 0; n < nc; ++n) c.put_value<std::uint8_t>(index.level(n));
  for (std::uint32_t n = 0; n < nc; ++n) c.put_value<std::uint8_t>(index.is_deleted(n) ? 1 : 0);
  if (blocks) {
    c.skip(static_cast<std::size_t>(pad));  // the vector is zeroed
    const std::size_t held = std::min(index.block_array().size(), block_bytes);
    c.put(index.block_array().data(), held);
    c.skip(block_bytes - held);
    if (walked) {
      c.skip(static_cast<std::size_t>(values_pad));
      c.put(index.value_array().data(), value_bytes);
    }
    if (raw) {
      for (std::uint32_t n = 0; n < nc; ++n) c.put(index.raw_vector(n).data(), index.raw_vector(n).size_bytes());
    }
  } else {
    for (std::uint32_t n = 0; n < nc; ++n) c.put_value(static_cast<std::uint32_t>(index.neighbors(n, 0).size()));
  }
  for (std::uint64_t first = 0; !blocks && first < nc; first += group) {
    const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(nc, first + group));
    const auto from = static_cast<std::uint32_t>(first);
    for (std::uint32_t n = from; n < last; ++n) c.put_value(index.quantized_view(n).min);
    for (std::uint32_t n = from; n < last; ++n) c.put_value(index.quantized_view(n).scale);
    for (std::uint32_t n = from; n < last; ++n) c.put(index.codes_of(n), static_cast<std::size_t>(dim));
    for (std::uint32_t n = from; n < last; ++n) {
      for (const std::uint32_t id : index.neighbors(n, 0)) c.put_value(id);
    }
    if (raw) {
      for (std::uint32_t n = from; n < last; ++n) c.put(index.raw_vector(n).data(), index.raw_vector(n).size_bytes());
    }
  }
  for (std::uint32_t n = 0; n < nc; ++n) {
    for (std::uint64_t layer = 1; layer <= index.level(n); ++layer) {
      c.put_value(static_cast<std::uint32_t>(index.neighbors(n, layer).size()));
    }
  }
  for (std::uint32_t n = 0; n < nc; ++n) {
    for (std::uint64_t layer = 1; layer <= index.level(n); ++layer) {
      for (const std::uint32_t id : index.neighbors(n, layer)) c.put_value(id);
    }
  }
  c.put(state.internal_to_uuid.data(), 16 * std::size_t{nc});
  std::uint64_t offset = 0;
  for (std::uint32_t n = 0; n < nc; ++n) {
    const std::size_t size = state.documents.record(n).size();
    c.put_value(state.documents.contains(n) ? offset : DocumentStore::ABSENT);
    offset += size;
  }
  for (std::uint32_t n = 0; n < nc; ++n) {
    const auto record = state.documents.record(n);
    c.put(record.data(), record.size());
  }
  c.put(keywords.data(), keywords.size());
  return out;
}

Result<ColumnsLoad> load_collection_columns(const PayloadSource& source, bool with_crc,
                                            FunctionRef<bool()> next_step, ColumnsProblem& problem) {
  auto run = [&]() -> std::expected<ColumnsLoad, Failure> {
    if constexpr (std::endian::native != std::endian::little) {
      return undecodable(Error{ErrorKind::InvalidData, "format 2 snapshots are read on little-endian hosts only"});
    }
    // Magic, head length, head, node columns.
    std::uint8_t start[16];
    if (auto s = source.read(0, start); !s) return undecodable(s.error());
    if (!is_columns_payload(start)) return undecodable(Error{ErrorKind::InvalidData, "not a format 2 payload"});
    const bool walked = std::memcmp(start, WALKED_MAGIC, sizeof WALKED_MAGIC) == 0;
    const bool blocks = walked || std::memcmp(start, BLOCKS_MAGIC, sizeof BLOCKS_MAGIC) == 0;
    std::uint64_t head_length;
    std::memcpy(&head_length, start + 8, sizeof head_length);
    if (head_length > source.size() - 16) return undecodable(early_end().error());
    std::vector<std::uint8_t> head_bytes;
    if (auto s = read_vector(source, 16, head_bytes, static_cast<std::size_t>(head_length)); !s) {
      return undecodable(s.error());
    }
    auto head = decode_head(head_bytes, blocks, walked);
    if (!head) return undecodable(head.error());
    const Head& h = *head;
    const std::uint32_t nc = h.node_count;
    const std::uint64_t dim = h.dimension;
    std::uint64_t offset = 16 + head_length;
    const std::uint64_t column_bytes = blocks ? 2 : 6;  // format 3 keeps the counts in the blocks
    if (Size{}.add(offset).add(column_bytes, nc).value > source.size()) return undecodable(early_end().error());
    std::vector<std::uint8_t> levels;
    std::vector<std::uint8_t> deleted;
    std::vector<std::uint32_t> counts;
    if (auto s = read_vector(source, offset, levels, nc); !s) return undecodable(s.error());
    if (auto s = read_vector(source, offset + nc, deleted, nc); !s) return undecodable(s.error());
    if (!blocks) {
      if (auto s = read_vector(source, offset + 2 * std::uint64_t{nc}, counts, nc); !s) return undecodable(s.error());
    }
    std::uint32_t crc = 0;
    if (with_crc) {
      crc = crc32_update(crc32_update(crc32_update(crc32(start), head_bytes), levels), deleted);
      crc = crc32_update(crc, bytes_of(counts));
    }
    offset += column_bytes * std::uint64_t{nc};
    head_bytes = {};

    // validate()'s checks of what the node columns and the head hold.
    if (auto p = config_problem(h.config, dim)) return inconsistent("invalid configuration: " + *p);
    if (h.entry_point && *h.entry_point >= nc) {
      return inconsistent("entry_point " + u64s(*h.entry_point) + " >= node_count " + u64s(nc));
    }
    std::uint64_t upper_lists = 0;
    for (std::uint32_t n = 0; n < nc; ++n) {
      if (levels[n] > h.max_level) {
        return inconsistent("node " + u64s(n) + " level " + u64s(levels[n]) + " > max_level " + u64s(h.max_level));
      }
      if (deleted[n] > 1) return inconsistent("node " + u64s(n) + " tombstone " + u64s(deleted[n]) + " is not 0 or 1");
      upper_lists += levels[n];
    }
    if (h.entry_point) {
      if (levels[*h.entry_point] != h.max_level) {
        return inconsistent("entry_point " + u64s(*h.entry_point) + " level " + u64s(levels[*h.entry_point]) +
                            " != max_level " + u64s(h.max_level));
      }
    } else if (nc != 0) {
      return inconsistent("entry_point absent with node_count " + u64s(nc));
    }
    if (blocks) {
      return load_blocks(source, h, std::move(levels), std::move(deleted), offset, crc, upper_lists, with_crc,
                         next_step);
    }
    if (nc != 0 && h.group_nodes == 0) return undecodable(Error{ErrorKind::InvalidData, "node groups of 0 nodes"});

    // Where each group starts; everything must lie inside the payload
    // before anything is allocated for it.
    const std::uint64_t group = std::max<std::uint64_t>(h.group_nodes, 1);
    const std::size_t groups = static_cast<std::size_t>((std::uint64_t{nc} + group - 1) / group);
    std::vector<std::uint64_t> starts(groups + 1);
    std::uint64_t longest0 = 0;
    Size at;
    at.add(offset);
    for (std::size_t g = 0; g < groups; ++g) {
      starts[g] = at.value;
      const std::uint64_t first = g * group;
      const std::uint64_t k = std::min<std::uint64_t>(nc - first, group);
      std::uint64_t ids = 0;
      for (std::uint64_t n = first; n < first + k; ++n) {
        ids += counts[n];
        longest0 = std::max<std::uint64_t>(longest0, counts[n]);
      }
      at.add(8, k).add(dim, k).add(4, ids);
      if (h.raw) at.add(4 * dim, k);
      if (at.overflow || at.value > source.size()) return undecodable(early_end().error());
    }
    starts[groups] = at.value;
    const std::uint64_t tail_start = at.value;
    at.add(4, upper_lists).add(4, h.upper_ids).add(24, nc).add(h.record_bytes).add(h.keyword_bytes);
    if (at.overflow || at.value > source.size()) return undecodable(early_end().error());
    const std::uint64_t used = at.value;
    if (!next_step()) return cancelled();

    HnswIndex index = HnswIndex::with_nodes(h.config, dim, nc, longest0);
    const bool keep_raw = h.raw && h.config.store_raw_vectors;
    PageArray<float> raw = raw_vector_array(keep_raw ? nc * dim : 0);
    // Task 0 reads the tail; task 1 + g loads group g. Each group's
    // failure and CRC are kept apart, so the error reported is the first
    // in file order whatever the threads' timing.
    std::optional<std::expected<Tail, Failure>> tail;
    std::vector<std::optional<Failure>> group_failures(groups);
    std::vector<std::uint32_t> group_crcs(groups);
    std::vector<std::uint8_t> huge(groups, 0);
    const unsigned threads = worker_count(groups + 1, resolve_thread_count(0));
    std::vector<std::vector<std::uint8_t>> buffers(threads);
    parallel_for(groups + 1, threads, [&](std::size_t task, unsigned thread) {
      if (task == 0) {
        tail = read_tail(source, h, tail_start, upper_lists, with_crc);
        return;
      }
      const std::size_t g = task - 1;
      const auto first = static_cast<std::uint32_t>(g * group);
      const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(nc - first, group));
      std::vector<std::uint8_t>& buffer = buffers[thread];
      buffer.resize(static_cast<std::size_t>(starts[g + 1] - starts[g]));
      if (auto s = source.read(starts[g], buffer); !s) {
        group_failures[g] = Failure{ColumnsProblem::Undecodable, s.error()};
        return;
      }
      if (with_crc) group_crcs[g] = crc32(buffer);
      const std::uint8_t* mins = buffer.data();
      const std::uint8_t* scales = mins + 4 * std::size_t{k};
      const std::uint8_t* codes = scales + 4 * std::size_t{k};
      const std::uint8_t* ids = codes + static_cast<std::size_t>(dim) * k;
      bool any_huge = false;
      for (std::uint32_t i = 0; i < k; ++i) {
        const std::uint32_t n = first + i;
        if (auto bad = id_out_of_range(ids, counts[n], nc)) {
          group_failures[g] = Failure{ColumnsProblem::Inconsistent,
                                      Error{ErrorKind::InvalidData, "neighbor " + u64s(*bad) + " out of bounds (node_count=" +
                                                                        u64s(nc) + ") at node " + u64s(n) + " layer 0"}};
          return;
        }
        float min;
        float scale;
        std::memcpy(&min, mins + 4 * std::size_t{i}, sizeof min);
        std::memcpy(&scale, scales + 4 * std::size_t{i}, sizeof scale);
        any_huge |= index.load_node(n, codes + static_cast<std::size_t>(dim) * i, min, scale, ids, counts[n]);
        ids += 4 * std::size_t{counts[n]};
      }
      huge[g] = any_huge ? 1 : 0;
      if (keep_raw) std::memcpy(raw.data() + static_cast<std::size_t>(dim) * first, ids, 4 * static_cast<std::size_t>(dim) * k);
    });
    buffers = {};
    for (auto& failure : group_failures) {
      if (failure) return std::unexpected(std::move(*failure));
    }
    if (!tail->has_value()) return std::unexpected(std::move(*tail).error());
    if (!next_step()) return cancelled();
    Tail& t = **tail;

    if (with_crc) {
      for (std::size_t g = 0; g < groups; ++g) crc = crc32_combine(crc, group_crcs[g], starts[g + 1] - starts[g]);
      crc = crc32_combine(crc, t.crc, used - tail_start);
    }
    return finish_collection(std::move(index), h, std::move(levels), std::move(deleted), t, std::move(raw),
                             std::find(huge.begin(), huge.end(), 1) != huge.end(), used, crc, next_step);
  };
  // A file may claim a graph (rows as long as its longest list) larger than
  // the memory: an error, not an exception out of the core.
  auto guarded = [&]() -> std::expected<ColumnsLoad, Failure> {
    try {
      return run();
    } catch (const std::bad_alloc&) {
      return fail(ColumnsProblem::Other, Error{ErrorKind::Other, "out of memory while building the collection"});
    }
  };
  auto loaded = guarded();
  if (!loaded) {
    problem = loaded.error().problem;
    return std::unexpected(std::move(loaded.error().error));
  }
  return std::move(*loaded);
}

}  // namespace karvalith
