// The live documents of a collection, by slot, in one byte arena. Each
// document is one record (varint text length, text, varint entry count, then
// per entry a varint key length, key, tag byte and value; ints zigzag
// varints, floats 8 bytes, strings varint length and bytes); a slot holds the
// offset of its record. Keeping documents as bytes instead of one heap object
// per document with its map node saves about 250 bytes per document; a
// document is decoded when a caller asks for it. A record offset takes 5
// bytes (a 32-bit low part and a high byte, so arenas up to 1 TiB), and a
// document with no text and no metadata takes no arena bytes at all: both
// matter for collections of embeddings alone, where the record store would
// otherwise cost 10 bytes per document.
//
// Records of replaced and erased documents stay in the arena as garbage until
// it outweighs the live bytes; the arena is then rewritten in slot order.
// Thread safety: none of its own (the collection's lock).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/function_ref.h"
#include "core/common/page_array.h"
#include "core/document/document.h"

namespace karvalith {

class DocumentStore {
 public:
  std::size_t size() const { return live_; }  // live documents
  bool empty() const { return live_ == 0; }
  bool contains(std::uint32_t slot) const { return slot < high_.size() && high_[slot] != ABSENT_HIGH; }

  // Stores (or replaces) the document of `slot`.
  void put(std::uint32_t slot, std::string_view text, const Metadata& metadata);
  // Stores a record as record() returned it (from this or another store).
  void put_record(std::uint32_t slot, std::span<const std::uint8_t> record);
  // Takes over a stored arena: the records of the live slots back to back in
  // slot order (record() of each), `offsets` one per slot, ABSENT for none;
  // empty records are dropped from the arena. Nothing is trusted: the live records must follow one
  // another in slot order from the arena's start to its end, each well
  // formed (varints of at most 10 bytes, lengths within the record, known
  // value tags, bools 0 or 1) with every text, key and string value accepted
  // by `valid_text`. On failure the store is unchanged and the message names
  // the first problem.
  std::optional<std::string> assign_records(std::vector<std::uint64_t> offsets, std::vector<std::uint8_t> arena,
                                            FunctionRef<bool(std::string_view)> valid_text);
  // The offset of a slot without a document.
  static constexpr std::uint64_t ABSENT = UINT64_MAX;

  // Drops the document of `slot`; nothing when it has none.
  void erase(std::uint32_t slot);
  void clear();

  // The slot's encoded record; empty when the slot holds no document.
  std::span<const std::uint8_t> record(std::uint32_t slot) const;
  // The slot's text, a view into the arena valid until the next change.
  std::string_view text(std::uint32_t slot) const;
  Metadata metadata(std::uint32_t slot) const;
  // The whole document, with `id` as its id. The slot must hold one.
  Document document(std::uint32_t slot, const Uuid& id) const;

  // Requests the memory document() reads for `slot`, in two steps: the
  // slot's offset, then (once that is at hand) the record it points to.
  // Decoding a few scattered documents waits on these misses one after the
  // other; requested for all of them first, they overlap.
  void prefetch_offset(std::uint32_t slot) const {
    if (slot >= high_.size()) return;
    __builtin_prefetch(high_.data() + slot);
    __builtin_prefetch(low_.data() + slot);
  }
  void prefetch_record(std::uint32_t slot) const {
    if (!contains(slot)) return;
    const std::uint8_t* record = start(slot);
    __builtin_prefetch(record);
    __builtin_prefetch(record + 64);
  }

  // Calls fn(slot) for every slot holding a document, in slot order.
  template <class Fn>
  void for_each_slot(Fn&& fn) const {
    for (std::size_t slot = 0; slot < high_.size(); ++slot) {
      if (high_[slot] != ABSENT_HIGH) fn(static_cast<std::uint32_t>(slot));
    }
  }

  // Offsets and live record bytes: garbage awaiting compaction (at most the
  // live bytes or 1 MiB) and spare capacity are not counted, so the figure
  // depends on what the store holds, not on its history.
  std::uint64_t memory_bytes() const { return 5 * high_.size() + arena_.size() - garbage_; }
  // Arena bytes, garbage included.
  std::uint64_t arena_bytes() const { return arena_.size(); }

 private:
  // High bytes that mark a slot without a document and one whose record is
  // the empty one; real offsets stay below 2^40 - 2^33.
  static constexpr std::uint8_t ABSENT_HIGH = 0xFF;
  static constexpr std::uint8_t EMPTY_HIGH = 0xFE;

  // Where the slot's record starts (the slot must hold a document).
  const std::uint8_t* start(std::uint32_t slot) const;
  void append(std::uint32_t slot, std::span<const std::uint8_t> record);
  void compact();

  PageArray<std::uint32_t> low_;  // slot -> low 32 bits of its record's offset
  PageArray<std::uint8_t> high_;  // slot -> the offset's high byte, or ABSENT_HIGH / EMPTY_HIGH
  PageArray<std::uint8_t> arena_;
  std::size_t live_ = 0;
  std::uint64_t garbage_ = 0;  // bytes of records no slot refers to
};

}  // namespace karvalith
