// Snapshot payloads of formats 2 and 3: the large arrays as flat columns, so
// a load reads them straight into place (a few copies, checked on several
// threads) instead of decoding one list at a time.
//
// Format 2, numbers little-endian:
//   "KVLCOL02" | head length (u64) | head | levels (u8 x N) |
//   tombstones (u8 x N, 0 or 1) | level-0 counts (u32 x N) | node groups |
//   upper-list counts (u32, level(n) per node, node after node) |
//   upper-list ids (u32) | ids (16 bytes x N) |
//   record offsets (u64 x N, all ones for a slot without a document) |
//   records (DocumentStore's encoding, back to back in slot order) |
//   keyword index (snapshot_codec.h's four fields)
// head (codec.h): name (string) | dimension (u64) | configuration |
//   node count N (u32) | entry point (optional u32) | max level (u64) |
//   nodes per group (u64) | raw vectors stored (bool) |
//   upper-list id count (u64) | record bytes (u64) | keyword index bytes (u64)
// node group of k nodes: mins (f32 x k) | scales (f32 x k) |
//   codes (dimension x k) | their level-0 ids (u32) |
//   raw vectors (f32 x dimension x k, when stored)
//
// Format 3 stores the graph's block array (graph.h) as it lies in memory, so
// a plain file's blocks are mapped and read in place: opening costs a pass
// of checks over the file's cached pages instead of a copy into fresh memory.
//   "KVLCOL03" | head length (u64) | head | levels (u8 x N) |
//   tombstones (u8 x N) | zeros up to a multiple of 4096 bytes |
//   blocks (N x stride, then 4 bytes) | raw vectors (f32 x dimension x N,
//   when stored) | upper-list counts | ... (the rest as in format 2)
// head: format 2's (nodes per group 0), then level-0 row capacity (u64) |
//   bytes per level-0 id (u64, 3 or 4) | block stride (u64).
// A block's norm and code sum are derived again on loading and rewritten
// where they differ; its list is checked as format 2's are.
//
// Format 4 is format 3 for a graph with walk codes (graph.h): its blocks
// hold the bit codes and level-0 lists, and its value rows follow them.
//   "KVLCOL04" | head length (u64) | head | levels | tombstones | zeros up
//   to a multiple of 4096 | blocks (N x stride, then 4 bytes) | zeros up to
//   a multiple of 4096 | value rows (N x value stride) | raw vectors |
//   upper-list counts | ... (the rest as in format 2)
// head: format 3's, then walk bits (u64, 1 or 2) | node count the centre
//   was taken at (u64) | centre (f32 x dimension). Both arrays are mapped
//   from a plain file; formats 2 and 3 open as before, and a collection
//   without walk codes is still written in format 3.
//
// An older payload starts with its name's u64 length, which can never read
// as "KVLCOL0x" (far beyond any file's size), so the formats never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/common/function_ref.h"
#include "core/common/page_buffer.h"
#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/files/file_io.h"

namespace karvalith {

inline constexpr std::uint8_t COLUMNS_MAGIC[8] = {'K', 'V', 'L', 'C', 'O', 'L', '0', '2'};
inline constexpr std::uint8_t BLOCKS_MAGIC[8] = {'K', 'V', 'L', 'C', 'O', 'L', '0', '3'};
inline constexpr std::uint8_t WALKED_MAGIC[8] = {'K', 'V', 'L', 'C', 'O', 'L', '0', '4'};

// True when `bytes` starts with COLUMNS_MAGIC, BLOCKS_MAGIC or WALKED_MAGIC.
bool is_columns_payload(std::span<const std::uint8_t> bytes);

enum class ColumnsFormat {
  Groups,  // format 2
  Blocks,  // format 3, what snapshots are written in
};

// The payload of a live collection. The caller holds the collection's lock
// (shared is enough). A collection with walk codes is always written in
// format 4, whatever `format` asks.
std::vector<std::uint8_t> encode_collection_columns(const CollectionState& state,
                                                    ColumnsFormat format = ColumnsFormat::Blocks);

// Where a payload is read from: the first `size` bytes of an open file, or
// memory. Reads past `size` are the decoder's early-end error.
class PayloadSource {
 public:
  // `mappable`: map() may map the file's bytes (the caller keeps the file
  // from being rewritten in place while they are used).
  static PayloadSource of_file(FileHandle& file, std::uint64_t size, bool mappable = false) {
    return PayloadSource(&file, {}, size, mappable);
  }
  static PayloadSource of_memory(std::span<const std::uint8_t> bytes) {
    return PayloadSource(nullptr, bytes, bytes.size());
  }
  std::uint64_t size() const { return size_; }
  // Fills `out` from `offset` on (safe from several threads at once).
  Status read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // Bytes [offset, offset + length) of a mappable file as a private
  // mapping, when they start on a page and are large enough to be worth it;
  // else nothing (the caller reads them).
  std::optional<PageBuffer> map(std::uint64_t offset, std::size_t length) const;
  // CRC-32 of bytes [from, to), read a megabyte at a time.
  Result<std::uint32_t> crc_of(std::uint64_t from, std::uint64_t to) const;

 private:
  PayloadSource(FileHandle* file, std::span<const std::uint8_t> memory, std::uint64_t size, bool mappable = false)
      : file_(file), memory_(memory), size_(size), mappable_(mappable) {}
  FileHandle* file_;
  std::span<const std::uint8_t> memory_;
  std::uint64_t size_;
  bool mappable_;
};

// How a format-2 load failed: what load_collection reports.
enum class ColumnsProblem { Undecodable, Inconsistent, Other };

struct ColumnsLoad {
  CollectionPtr collection;
  std::uint64_t used = 0;  // payload bytes the collection was read from
  std::uint32_t crc = 0;   // CRC-32 of those bytes, when asked for
};

// Reads a format-2 or format-3 payload and checks everything validate() checks of an
// older one (and that the records are well formed), raw vectors dropped when
// the configuration does not keep them. `with_crc`: also the CRC of the bytes
// used, computed while they pass. `next_step` is called between the load's
// three stages (node columns, node groups, the rest); false stops the load
// with ErrorKind::Cancelled. On failure `problem` says which kind it was; the
// message has no prefix.
Result<ColumnsLoad> load_collection_columns(const PayloadSource& source, bool with_crc,
                                            FunctionRef<bool()> next_step, ColumnsProblem& problem);

}  // namespace karvalith
