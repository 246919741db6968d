#include "core/document/document_store.h"

#include <bit>
#include <optional>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/common/thread_scratch.h"

namespace karvalith {

namespace {

// Garbage below this many bytes is never compacted away: small stores would
// otherwise rewrite their arena on almost every change.
constexpr std::uint64_t MIN_GARBAGE_TO_COMPACT = std::uint64_t{1} << 20;

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_chars(std::vector<std::uint8_t>& out, std::string_view s) {
  put_varint(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
}

// Reads the records this file wrote; they never leave memory, so the reader
// trusts their framing.
class RecordReader {
 public:
  explicit RecordReader(const std::uint8_t* at) : at_(at) {}

  const std::uint8_t* position() const { return at_; }

  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t byte = *at_++;
      v |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return v;
    }
  }
  std::string_view chars() {
    const std::uint64_t length = varint();
    const std::string_view s(reinterpret_cast<const char*>(at_), length);
    at_ += length;
    return s;
  }
  std::uint8_t byte() { return *at_++; }
  std::uint64_t fixed64() {
    std::uint64_t v;
    std::memcpy(&v, at_, sizeof v);
    at_ += sizeof v;
    return v;
  }

  // Reads (or skips, with a null `out`) one metadata value of kind `tag`.
  void value(MetadataTag tag, MetadataValue* out) {
    switch (tag) {
      case MetadataTag::Bool: {
        const bool v = byte() != 0;
        if (out) *out = v;
        return;
      }
      case MetadataTag::Int: {
        const std::uint64_t z = varint();
        if (out) *out = static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));
        return;
      }
      case MetadataTag::Float: {
        const double v = std::bit_cast<double>(fixed64());
        if (out) *out = v;
        return;
      }
      case MetadataTag::String: {
        const std::string_view v = chars();
        if (out) *out = std::string(v);
        return;
      }
    }
  }

  // Skips the metadata that follows the text, or decodes it into `out`.
  void metadata(Metadata* out) {
    const std::uint64_t entries = varint();
    if (out) out->reserve(entries);
    for (std::uint64_t i = 0; i < entries; ++i) {
      const std::string_view key = chars();
      const auto tag = static_cast<MetadataTag>(byte());
      if (out) {
        MetadataValue v;
        value(tag, &v);
        out->insert_or_assign(std::string(key), std::move(v));
      } else {
        value(tag, nullptr);
      }
    }
  }

 private:
  const std::uint8_t* at_;
};

// Walks a record that may be damaged: every read is bounds-checked.
class RecordChecker {
 public:
  RecordChecker(std::span<const std::uint8_t> bytes, FunctionRef<bool(std::string_view)> valid_text)
      : at_(bytes.data()), end_(bytes.data() + bytes.size()), valid_text_(valid_text) {}

  const std::uint8_t* position() const { return at_; }

  // The first problem of the record at the current position, moving past it.
  std::optional<std::string> record() {
    if (auto problem = chars("text")) return problem;
    std::uint64_t entries = 0;
    if (!varint(entries)) return "bad metadata count";
    for (std::uint64_t i = 0; i < entries; ++i) {
      if (auto problem = chars("metadata key")) return problem;
      if (at_ == end_) return "record ends inside a metadata entry";
      const std::uint8_t tag = *at_++;
      switch (tag) {
        case static_cast<std::uint8_t>(MetadataTag::Bool):
          if (at_ == end_ || *at_ > 1) return "bad bool value";
          ++at_;
          break;
        case static_cast<std::uint8_t>(MetadataTag::Int): {
          std::uint64_t ignored = 0;
          if (!varint(ignored)) return "bad int value";
          break;
        }
        case static_cast<std::uint8_t>(MetadataTag::Float):
          if (end_ - at_ < 8) return "record ends inside a float value";
          at_ += 8;
          break;
        case static_cast<std::uint8_t>(MetadataTag::String):
          if (auto problem = chars("string value")) return problem;
          break;
        default: return "unknown metadata tag " + std::to_string(tag);
      }
    }
    return std::nullopt;
  }

 private:
  // At most 10 bytes, the last one ending the number within 64 bits.
  bool varint(std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ == end_) return false;
      const std::uint8_t byte = *at_++;
      if (shift == 63 && byte > 1) return false;
      v |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  std::optional<std::string> chars(const char* what) {
    std::uint64_t length = 0;
    if (!varint(length) || length > static_cast<std::uint64_t>(end_ - at_)) {
      return std::string("bad ") + what + " length";
    }
    const std::string_view s(reinterpret_cast<const char*>(at_), static_cast<std::size_t>(length));
    if (!valid_text_(s)) return std::string(what) + " is not valid utf8";
    at_ += length;
    return std::nullopt;
  }

  const std::uint8_t* at_;
  const std::uint8_t* end_;
  FunctionRef<bool(std::string_view)> valid_text_;
};

void encode_record(std::vector<std::uint8_t>& out, std::string_view text, const Metadata& metadata) {
  put_chars(out, text);
  put_varint(out, metadata.size());
  for (const auto& [key, value] : metadata) {
    put_chars(out, key);
    out.push_back(static_cast<std::uint8_t>(tag_of(value)));
    switch (tag_of(value)) {
      case MetadataTag::Bool: out.push_back(std::get<bool>(value) ? 1 : 0); break;
      case MetadataTag::Int: {
        // Zigzag: small negative numbers stay short too.
        const auto v = static_cast<std::uint64_t>(std::get<std::int64_t>(value));
        put_varint(out, (v << 1) ^ (std::get<std::int64_t>(value) < 0 ? ~std::uint64_t{0} : 0));
        break;
      }
      case MetadataTag::Float: {
        const auto bits = std::bit_cast<std::uint64_t>(std::get<double>(value));
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&bits);
        out.insert(out.end(), bytes, bytes + sizeof bits);
        break;
      }
      case MetadataTag::String: put_chars(out, std::get<std::string>(value)); break;
    }
  }
}

}  // namespace

std::span<const std::uint8_t> DocumentStore::record(std::uint32_t slot) const {
  if (!contains(slot)) return {};
  const std::uint8_t* begin = start(slot);
  RecordReader reader(begin);
  reader.chars();
  reader.metadata(nullptr);
  return {begin, static_cast<std::size_t>(reader.position() - begin)};
}

std::string_view DocumentStore::text(std::uint32_t slot) const {
  if (!contains(slot)) return {};
  return RecordReader(start(slot)).chars();
}

Metadata DocumentStore::metadata(std::uint32_t slot) const {
  Metadata metadata;
  if (!contains(slot)) return metadata;
  RecordReader reader(start(slot));
  reader.chars();
  reader.metadata(&metadata);
  return metadata;
}

Document DocumentStore::document(std::uint32_t slot, const Uuid& id) const {
  Document document{id, {}, {}};
  if (!contains(slot)) return document;
  RecordReader reader(start(slot));
  document.text = std::string(reader.chars());
  reader.metadata(&document.metadata);
  return document;
}

std::optional<std::string> DocumentStore::assign_records(std::vector<std::uint64_t> offsets,
                                                        std::vector<std::uint8_t> arena,
                                                        FunctionRef<bool(std::string_view)> valid_text) {
  RecordChecker checker(arena, valid_text);
  std::size_t live = 0;
  for (std::size_t slot = 0; slot < offsets.size(); ++slot) {
    if (offsets[slot] == ABSENT) continue;
    const std::uint64_t at = static_cast<std::uint64_t>(checker.position() - arena.data());
    if (offsets[slot] != at) {
      return "document of slot " + std::to_string(slot) + " at offset " + std::to_string(offsets[slot]) +
             " where " + std::to_string(at) + " was expected";
    }
    if (auto problem = checker.record()) return "document of slot " + std::to_string(slot) + ": " + *problem;
    ++live;
  }
  const auto end = static_cast<std::size_t>(checker.position() - arena.data());
  if (end != arena.size()) {
    return "document records end at " + std::to_string(end) + " of " + std::to_string(arena.size()) + " bytes";
  }
  if (arena.size() >> 32 >= EMPTY_HIGH) return "document records of more than 1 TiB";
  // Checked: now copied into the columns, empty records taking no bytes.
  // Each record ends where the next live slot's begins.
  low_.resize(offsets.size());
  high_.assign(offsets.size(), ABSENT_HIGH);
  arena_.clear();
  std::uint64_t kept = 0;
  auto take = [&](std::size_t slot, std::uint64_t begin, std::uint64_t end) {
    if (end - begin == 2 && arena[begin] == 0 && arena[begin + 1] == 0) {
      high_[slot] = EMPTY_HIGH;
      return;
    }
    arena_.resize(kept + (end - begin));
    std::memcpy(arena_.data() + kept, arena.data() + begin, end - begin);
    low_[slot] = static_cast<std::uint32_t>(kept);
    high_[slot] = static_cast<std::uint8_t>(kept >> 32);
    kept += end - begin;
  };
  std::optional<std::size_t> previous;
  for (std::size_t slot = 0; slot < offsets.size(); ++slot) {
    if (offsets[slot] == ABSENT) continue;
    if (previous) take(*previous, offsets[*previous], offsets[slot]);
    previous = slot;
  }
  if (previous) take(*previous, offsets[*previous], arena.size());
  live_ = live;
  garbage_ = 0;
  return std::nullopt;
}

void DocumentStore::put(std::uint32_t slot, std::string_view text, const Metadata& metadata) {
  // Encoded aside first: `text` may be a view into this arena, which the
  // erase (compaction) or the append (growth) would move.
  struct EncodedRecord;
  std::vector<std::uint8_t>& encoded = thread_scratch<std::vector<std::uint8_t>, EncodedRecord>();
  encoded.clear();
  encode_record(encoded, text, metadata);
  put_record(slot, encoded);
}

void DocumentStore::put_record(std::uint32_t slot, std::span<const std::uint8_t> record) {
  erase(slot);  // `record` must not point into this arena
  append(slot, record);
}

const std::uint8_t* DocumentStore::start(std::uint32_t slot) const {
  static constexpr std::uint8_t EMPTY_RECORD[2] = {0, 0};  // no text, no metadata entries
  const std::uint8_t high = high_[slot];
  if (high == EMPTY_HIGH) return EMPTY_RECORD;
  return arena_.data() + ((std::uint64_t{high} << 32) | low_[slot]);
}

void DocumentStore::append(std::uint32_t slot, std::span<const std::uint8_t> record) {
  if (high_.size() <= slot) {
    low_.resize(std::size_t{slot} + 1);
    high_.resize(std::size_t{slot} + 1, ABSENT_HIGH);
  }
  ++live_;
  if (record.size() == 2 && record[0] == 0 && record[1] == 0) {
    high_[slot] = EMPTY_HIGH;
    return;
  }
  const std::uint64_t at = arena_.size();
  if ((at + record.size()) >> 32 >= EMPTY_HIGH) throw std::bad_alloc();  // beyond 1 TiB
  low_[slot] = static_cast<std::uint32_t>(at);
  high_[slot] = static_cast<std::uint8_t>(at >> 32);
  arena_.resize(at + record.size());
  std::memcpy(arena_.data() + at, record.data(), record.size());
}

void DocumentStore::erase(std::uint32_t slot) {
  if (!contains(slot)) return;
  if (high_[slot] != EMPTY_HIGH) garbage_ += record(slot).size();
  high_[slot] = ABSENT_HIGH;
  --live_;
  if (garbage_ >= MIN_GARBAGE_TO_COMPACT && garbage_ > arena_.size() - garbage_) compact();
}

void DocumentStore::clear() {
  low_.clear();
  high_.clear();
  arena_.clear();
  live_ = 0;
  garbage_ = 0;
}

void DocumentStore::compact() {
  DocumentStore fresh;
  fresh.low_.resize(low_.size());
  fresh.high_.assign(high_.size(), ABSENT_HIGH);
  for_each_slot([&](std::uint32_t slot) { fresh.append(slot, record(slot)); });
  *this = std::move(fresh);
}

}  // namespace karvalith
