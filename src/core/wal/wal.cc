#include "core/wal/wal.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "core/codec/crc32.h"

namespace karvalith {
namespace {

void put_be32(std::uint8_t* out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t get_be32(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
         (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

std::filesystem::path directory_of(const std::filesystem::path& path) {
  std::filesystem::path parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

// Reads through an 8192-byte buffer; large reads bypass it.
class BufferedReader {
 public:
  explicit BufferedReader(FileHandle file) : file_(std::move(file)) {}

  // Fills `out` unless the file ends first; returns the bytes placed.
  Result<std::size_t> read_up_to(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
      if (begin_ < end_) {
        const std::size_t n = std::min(end_ - begin_, out.size() - done);
        std::memcpy(out.data() + done, buffer_.data() + begin_, n);
        begin_ += n;
        done += n;
        continue;
      }
      const bool direct = out.size() - done >= buffer_.size();
      auto got = direct ? file_.read_some(out.subspan(done)) : file_.read_some(buffer_);
      if (!got) return std::unexpected(got.error());
      if (*got == 0) break;
      if (direct) {
        done += *got;
      } else {
        begin_ = 0;
        end_ = *got;
      }
    }
    return done;
  }

 private:
  FileHandle file_;
  std::array<std::uint8_t, 8192> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Reads `length` payload bytes into `payload`, growing it only as data
// actually arrives, so a corrupt length cannot force a huge allocation.
// Returns false when the file ends first.
Result<bool> read_payload(BufferedReader& reader, std::uint32_t length,
                          std::vector<std::uint8_t>& payload) {
  constexpr std::size_t FIRST_STEP = 64 * 1024;
  payload.clear();
  std::size_t have = 0;
  while (have < length) {
    const std::size_t step = std::min<std::size_t>(length - have, std::max(FIRST_STEP, have));
    payload.resize(have + step);
    auto got = reader.read_up_to(std::span(payload).subspan(have, step));
    if (!got) return std::unexpected(got.error());
    have += *got;
    if (*got < step) {
      payload.resize(have);
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- writer ----

SyncWriteAheadLog::SyncWriteAheadLog(std::filesystem::path path, EncryptionKeyPtr key,
                                     FileHandle writer, std::uint64_t length)
    : path_(std::move(path)), key_(std::move(key)), writer_(std::move(writer)), length_(length) {}

Result<std::unique_ptr<SyncWriteAheadLog>> SyncWriteAheadLog::open(std::filesystem::path path,
                                                                   EncryptionKeyPtr key) {
  auto file = FileHandle::open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (!file) return std::unexpected(file.error());
  auto length = file->size();
  if (!length) return std::unexpected(length.error());
  // Records fsynced into a file whose directory entry is not yet durable
  // could vanish with it.
  if (auto synced = sync_directory(directory_of(path)); !synced) {
    return std::unexpected(synced.error());
  }
  return std::unique_ptr<SyncWriteAheadLog>(
      new SyncWriteAheadLog(std::move(path), std::move(key), std::move(*file), *length));
}

std::uint64_t SyncWriteAheadLog::size() const {
  std::lock_guard lock(writer_mutex_);
  return length_;
}

Status SyncWriteAheadLog::append_payload(std::span<const std::uint8_t> encoded_entry) {
  const std::uint64_t payload_size =
      std::uint64_t{encoded_entry.size()} + (key_ ? EncryptionKey::SEAL_OVERHEAD : 0);
  if (payload_size > std::numeric_limits<std::uint32_t>::max()) {
    return make_error(ErrorKind::Other, "log record payload of " + std::to_string(payload_size) +
                                            " bytes does not fit the 32-bit record length");
  }

  // The whole record is built first so it reaches the file in one write.
  std::vector<std::uint8_t> record(WAL_HEADER_BYTES + payload_size);
  const std::span<std::uint8_t> payload = std::span(record).subspan(WAL_HEADER_BYTES);
  std::uint32_t check = WAL_SEALED_CHECK;
  if (key_) {
    if (auto sealed = key_->encrypt_into(encoded_entry, payload); !sealed) return sealed;
  } else {
    if (!encoded_entry.empty()) {
      std::memcpy(payload.data(), encoded_entry.data(), encoded_entry.size());
    }
    check = crc32(encoded_entry);
  }
  put_be32(record.data(), static_cast<std::uint32_t>(payload_size));
  put_be32(record.data() + 4, check);

  std::lock_guard writer(writer_mutex_);
  if (broken_) return make_error(ErrorKind::Io, broken_reason_);

  Status written = writer_.write_all(record);
  if (written) written = writer_.sync();
  if (written) {
    length_ += record.size();
    return {};
  }
  // A partial record would hide every later record from the reader: cut it off.
  Status undone = writer_.truncate(length_);
  if (undone) undone = writer_.sync();
  if (!undone) {
    broken_ = true;
    broken_reason_ = "write-ahead log unusable: a failed append (" + written.error().message +
                     ") could not be rolled back (" + undone.error().message + ")";
  }
  return written;
}

Status SyncWriteAheadLog::truncate() {
  std::lock_guard writer(writer_mutex_);
  // The same file, emptied through a fresh append handle: either every step
  // succeeds and the fresh handle takes over, or the current writer stays.
  auto fresh = FileHandle::open(path_, O_WRONLY | O_APPEND);
  if (!fresh) return std::unexpected(fresh.error());
  if (auto cut = fresh->truncate(0); !cut) return cut;
  // From here the file is empty whatever happens next; both handles append to it.
  length_ = 0;
  broken_ = false;
  broken_reason_.clear();
  if (auto synced = fresh->sync(); !synced) return synced;
  writer_ = std::move(*fresh);
  return {};
}

// ---- reader ----

Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit) {
  auto file = FileHandle::open(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  BufferedReader reader(std::move(*file));

  WalStop stop;
  std::vector<std::uint8_t> payload;
  for (;;) {
    std::array<std::uint8_t, WAL_HEADER_BYTES> header;
    auto got = reader.read_up_to(header);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return stop;  // CleanEnd at stop.offset
    if (*got < header.size()) {
      stop.reason = WalStopReason::TornTail;
      return stop;
    }
    const std::uint32_t length = get_be32(header.data());
    const std::uint32_t check = get_be32(header.data() + 4);
    auto complete = read_payload(reader, length, payload);
    if (!complete) return std::unexpected(complete.error());
    if (!*complete) {
      stop.reason = WalStopReason::TornTail;
      return stop;
    }

    std::span<const std::uint8_t> readable;
    std::vector<std::uint8_t> opened;
    if (check != WAL_SEALED_CHECK) {
      if (crc32(payload) != check) {
        stop.reason = WalStopReason::Unreadable;
        stop.detail = "record checksum mismatch";
        return stop;
      }
      readable = payload;
    } else if (key != nullptr) {
      auto plain = key->decrypt(payload);
      if (plain) {
        opened = std::move(*plain);
        readable = opened;
      } else if (crc32(payload) == WAL_SEALED_CHECK) {
        readable = payload;  // a plain record whose CRC happens to be all ones
      } else {
        stop.reason = WalStopReason::Unreadable;
        stop.detail = plain.error().message;
        return stop;
      }
    } else if (crc32(payload) == WAL_SEALED_CHECK) {
      readable = payload;  // a plain record whose CRC happens to be all ones
    } else {
      stop.reason = WalStopReason::Unreadable;
      stop.detail = "sealed record but no encryption key was provided";
      return stop;
    }
    visit(readable, stop.offset);
    stop.offset += WAL_HEADER_BYTES + length;
  }
}

Result<WalRecords> read_records(const std::filesystem::path& path, const EncryptionKey* key) {
  WalRecords records;
  auto stop = read_records(path, key, [&](std::span<const std::uint8_t> payload, std::uint64_t) {
    records.payloads.emplace_back(payload.begin(), payload.end());
  });
  if (!stop) return std::unexpected(stop.error());
  records.stop = std::move(*stop);
  return records;
}

Status cut_back(const std::filesystem::path& path, std::uint64_t offset) {
  auto file = FileHandle::open(path, O_WRONLY);
  if (!file) return std::unexpected(file.error());
  if (auto cut = file->truncate(offset); !cut) return cut;
  return file->sync();
}

}  // namespace karvalith
