#include "core/wal/wal.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "core/codec/crc32.h"
#include "core/files/file_io.h"

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

SyncWriteAheadLog::SyncWriteAheadLog(std::filesystem::path path, EncryptionKeyPtr key, FileSystem& files,
                                     std::unique_ptr<WritableFile> writer, std::uint64_t length)
    : path_(std::move(path)), key_(std::move(key)), files_(files), writer_(std::move(writer)), length_(length) {}

Result<std::unique_ptr<SyncWriteAheadLog>> SyncWriteAheadLog::open(std::filesystem::path path, EncryptionKeyPtr key,
                                                                   FileSystem& files) {
  auto file = files.open_writable(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0600);
  if (!file) return std::unexpected(file.error());
  if (auto regular = (*file)->require_regular(); !regular) return std::unexpected(regular.error());
  auto length = (*file)->size();
  if (!length) return std::unexpected(length.error());
  // Records fsynced into a file whose directory entry is not yet durable
  // could vanish with it.
  if (auto synced = files.sync_directory(directory_of(path)); !synced) {
    return std::unexpected(synced.error());
  }
  return std::unique_ptr<SyncWriteAheadLog>(
      new SyncWriteAheadLog(std::move(path), std::move(key), files, std::move(*file), *length));
}

std::uint64_t SyncWriteAheadLog::size() const {
  std::lock_guard lock(writer_mutex_);
  return length_;
}

Status SyncWriteAheadLog::append_payload(std::span<const std::uint8_t> encoded_entry) {
  if (encoded_entry.empty()) {
    // Zeros are what a file system leaves where data never arrived; an empty
    // record would look the same.
    return make_error(ErrorKind::Other, "an empty log record cannot be written");
  }
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

  Status written = writer_->append(record);
  if (written) written = writer_->sync();
  if (written) {
    length_ += record.size();
    return {};
  }
  // A partial record would hide every later record from the reader: cut it off.
  Status undone = writer_->truncate(length_);
  if (undone) undone = writer_->sync();
  if (!undone) {
    broken_ = true;
    broken_reason_ = "write-ahead log unusable: a failed append (" + written.error().message +
                     ") could not be rolled back (" + undone.error().message + ")";
  }
  return written;
}

Status SyncWriteAheadLog::close() {
  std::lock_guard writer(writer_mutex_);
  if (closed_) return {};
  closed_ = true;
  broken_ = true;
  broken_reason_ = "the write-ahead log is closed";
  return writer_->close();
}

Status SyncWriteAheadLog::reopen() {
  std::lock_guard writer(writer_mutex_);
  if (closed_) return make_error(ErrorKind::Io, broken_reason_);
  auto fresh = files_.open_writable(path_, O_WRONLY | O_APPEND | O_NONBLOCK);
  if (!fresh) return std::unexpected(fresh.error());
  if (auto regular = (*fresh)->require_regular(); !regular) return regular;
  auto length = (*fresh)->size();
  if (!length) return std::unexpected(length.error());
  writer_ = std::move(*fresh);
  length_ = *length;
  broken_ = false;
  broken_reason_.clear();
  return {};
}

Status SyncWriteAheadLog::truncate() {
  std::lock_guard writer(writer_mutex_);
  if (closed_) return make_error(ErrorKind::Io, broken_reason_);
  // The same file, emptied through a fresh append handle: either every step
  // succeeds and the fresh handle takes over, or the current writer stays.
  auto fresh = files_.open_writable(path_, O_WRONLY | O_APPEND);
  if (!fresh) return std::unexpected(fresh.error());
  if (auto cut = (*fresh)->truncate(0); !cut) return cut;
  // From here the file is empty whatever happens next; both handles append to it.
  length_ = 0;
  broken_ = false;
  broken_reason_.clear();
  if (auto synced = (*fresh)->sync(); !synced) return synced;
  writer_ = std::move(*fresh);
  return {};
}

// ---- reader ----

namespace {

constexpr std::uint64_t PAGE_BYTES = 4096;

// Where the run of zero bytes that ends the file starts (`size` when the last
// byte is not zero), looking no further back than `floor`.
Result<std::uint64_t> trailing_zero_start(FileHandle& file, std::uint64_t size, std::uint64_t floor) {
  std::array<std::uint8_t, 8192> chunk;
  std::uint64_t end = size;
  while (end > floor) {
    const std::uint64_t begin = std::max(floor, end - std::min<std::uint64_t>(end - floor, chunk.size()));
    const std::span<std::uint8_t> part = std::span(chunk).first(static_cast<std::size_t>(end - begin));
    auto got = file.read_at(begin, part);
    if (!got) return std::unexpected(got.error());
    if (*got != part.size()) return end;  // the file shrank: treat what is left as data
    for (std::size_t i = part.size(); i > 0; --i) {
      if (part[i - 1] != 0) return begin + i;
    }
    end = begin;
  }
  return floor;
}

// Whether `payload` under `check` is a record this reader accepts, and the
// readable bytes when it is.
struct Verified {
  bool ok = false;
  bool sealed_opened = false;
  std::vector<std::uint8_t> opened;  // the plaintext of a sealed record
  WalDamageKind kind = WalDamageKind::Checksum;
  std::string problem;
};

// What is wrong with a record under `check` that does not verify.
WalDamageKind unreadable_kind(std::uint32_t check, const EncryptionKey* key) {
  if (check != WAL_SEALED_CHECK) return WalDamageKind::Checksum;
  return key == nullptr ? WalDamageKind::KeyMissing : WalDamageKind::Unauthenticated;
}

Verified verify(std::span<const std::uint8_t> payload, std::uint32_t check, const EncryptionKey* key) {
  Verified result;
  result.kind = unreadable_kind(check, key);
  if (check != WAL_SEALED_CHECK) {
    result.ok = crc32(payload) == check;
    if (!result.ok) result.problem = "record checksum mismatch";
    return result;
  }
  if (key != nullptr) {
    auto plain = key->decrypt(payload);
    if (plain) {
      result.ok = true;
      result.sealed_opened = true;
      result.opened = std::move(*plain);
      return result;
    }
    result.problem = plain.error().message;
  } else {
    result.problem = "sealed record but no encryption key was provided";
  }
  // A plain record whose CRC happens to be all ones.
  if (crc32(payload) == WAL_SEALED_CHECK) {
    result.ok = true;
    result.problem.clear();
  }
  return result;
}

// A record at `offset` claims `length` bytes, more than the file holds. It is
// a torn tail unless the bytes after its header show that complete records
// were written behind it: then its length field is damaged.
Result<WalStop> judge_overrun(FileHandle& file, std::uint64_t size, std::uint64_t offset, std::uint32_t length,
                              std::uint32_t check, const EncryptionKey* key, bool key_proven) {
  std::vector<std::uint8_t> rest(static_cast<std::size_t>(size - offset));
  auto got = file.read_at(offset, rest);
  if (!got) return std::unexpected(got.error());
  rest.resize(*got);
  const std::size_t end = rest.size();

  WalStop stop;
  stop.offset = offset;
  stop.reason = WalStopReason::Unreadable;
  const std::string claim = "the record at byte offset " + std::to_string(offset) + " claims " +
                            std::to_string(length) + " payload bytes, past the end of the file, ";

  // The record itself is complete and only its length is wrong.
  if (end > WAL_HEADER_BYTES && verify(std::span(rest).subspan(WAL_HEADER_BYTES), check, key).ok) {
    stop.detail = claim + "yet the " + std::to_string(end - WAL_HEADER_BYTES) +
                  " bytes after its header are a complete record: its length field is damaged";
    return stop;
  }

  // Which positions start a chain of record frames that ends exactly at the
  // end of the file, or in the zero-filled run that ends it.
  std::size_t zeros = end;
  while (zeros > 0 && rest[zeros - 1] == 0) --zeros;
  std::vector<std::uint8_t> lands(end + 1, 0);
  for (std::size_t p = end + 1; p-- > 1;) {
    if (p >= zeros) {
      lands[p] = 1;
      continue;
    }
    if (end - p < WAL_HEADER_BYTES) continue;
    const std::uint64_t next = p + WAL_HEADER_BYTES + std::uint64_t{get_be32(rest.data() + p)};
    if (next > p + WAL_HEADER_BYTES && next <= end) lands[p] = lands[static_cast<std::size_t>(next)];
  }
  bool unverified_sealed = false;
  // First the frames whose chain ends where the file does; then, within a
  // budget, any frame that verifies (a log whose end is also torn).
  std::uint64_t budget = std::uint64_t{64} << 20;
  budget += 8 * std::uint64_t{end};
  for (const bool chained : {true, false}) {
    for (std::size_t p = 1; p < zeros && p + WAL_HEADER_BYTES <= end; ++p) {
      if (chained != static_cast<bool>(lands[p])) continue;
      const std::uint32_t next_length = get_be32(rest.data() + p);
      const std::uint32_t next_check = get_be32(rest.data() + p + 4);
      if (next_length == 0 || p + WAL_HEADER_BYTES + next_length > end) continue;
      if (!chained) {
        if (budget < next_length) break;
        budget -= next_length;
      }
      const Verified next = verify(std::span(rest).subspan(p + WAL_HEADER_BYTES, next_length), next_check, key);
      if (next.ok) {
        stop.detail = claim + "yet a complete record follows at byte offset " + std::to_string(offset + p) +
                      ": its length field is damaged";
        return stop;
      }
      if (chained && next_check == WAL_SEALED_CHECK && !key_proven &&
          next_length >= EncryptionKey::SEAL_OVERHEAD) {
        unverified_sealed = true;
      }
    }
  }
  if (check == WAL_SEALED_CHECK && key == nullptr) {
    stop.detail = "sealed record but no encryption key was provided";
    stop.sealed_unopened = true;
    return stop;
  }
  if (unverified_sealed) {
    // Sealed frames follow that this key cannot open: only the right key can
    // tell a torn tail from damage.
    stop.detail = claim + "and sealed records that do not open with this key seem to follow";
    stop.sealed_unopened = true;
    return stop;
  }
  stop.reason = WalStopReason::TornTail;
  stop.detail = "a record cut short at the end of the file";
  return stop;
}

}  // namespace

Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit) {
  return read_records(path, key, visit, {});
}

Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit, const WalDamageReporter& report) {
  auto file = FileHandle::open(path, O_RDONLY | O_NONBLOCK);
  if (!file) return std::unexpected(file.error());
  if (auto regular = file->require_regular(); !regular) return std::unexpected(regular.error());
  auto size_or = file->size();
  if (!size_or) return std::unexpected(size_or.error());
  const std::uint64_t size = *size_or;
  auto lookup = FileHandle::open(path, O_RDONLY | O_NONBLOCK);  // positioned reads for judging damage
  if (!lookup) return std::unexpected(lookup.error());
  BufferedReader reader(std::move(*file));

  WalStop stop;
  bool key_proven = false;        // a sealed record opened with `key`
  bool resynchronising = false;   // behind the damage where recovery stopped
  std::uint64_t position = 0;     // the frame being read; stop.offset until the first damage
  std::vector<std::uint8_t> payload;
  auto torn = [&](std::string detail) {
    stop.reason = WalStopReason::TornTail;
    stop.detail = std::move(detail);
  };
  auto unreadable = [&](std::string detail) {
    stop.reason = WalStopReason::Unreadable;
    stop.detail = std::move(detail);
  };
  // Reports where recovery stopped (the frame at stop.offset with header
  // `check`, ending at `frame_end`); whether to step over it and go on.
  auto go_on = [&](std::uint32_t check, std::uint64_t frame_end) {
    if (!report) return false;
    const bool is_torn = stop.reason == WalStopReason::TornTail;
    const std::uint64_t end = is_torn ? size : std::min(frame_end, size);
    const WalDamage damage{stop.offset, end - stop.offset, is_torn ? WalDamageKind::TornTail : unreadable_kind(check, key),
                           stop.detail, true};
    return report(damage) && !is_torn;
  };
  // Reports a damaged frame behind it; whether to go on.
  auto damaged = [&](WalDamageKind kind, std::uint64_t length, std::string reason) {
    return report(WalDamage{position, length, kind, std::move(reason), false});
  };
  for (;;) {
    if (position >= size) return stop;  // CleanEnd, unless resynchronising
    const std::uint64_t remaining = size - position;
    if (remaining < WAL_HEADER_BYTES) {
      if (resynchronising) {
        damaged(WalDamageKind::TornTail, remaining,
                "the log ends inside a record header (" + std::to_string(remaining) + " bytes)");
        return stop;
      }
      torn("a record header cut short at the end of the file");
      go_on(0, size);
      return stop;
    }
    std::array<std::uint8_t, WAL_HEADER_BYTES> header;
    auto got = reader.read_up_to(header);
    if (!got) return std::unexpected(got.error());
    if (*got < header.size()) {  // the file shrank meanwhile
      if (!resynchronising) {
        torn("a record header cut short at the end of the file");
        go_on(0, size);
      }
      return stop;
    }
    const std::uint32_t length = get_be32(header.data());
    const std::uint32_t check = get_be32(header.data() + 4);
    const std::uint64_t end = position + WAL_HEADER_BYTES + length;

    if (length == 0 && !resynchronising) {
      // No writer produces an empty record: zeros are space the file system
      // allocated but never received data for.
      auto zeros = trailing_zero_start(*lookup, size, position);
      if (!zeros) return std::unexpected(zeros.error());
      if (check == 0 && *zeros <= position) {
        torn("a zero-filled region at the end of the file");
        go_on(check, size);
        return stop;
      }
      unreadable(check == 0 ? "a zero-filled region at byte offset " + std::to_string(position) + " is followed by data"
                            : "record checksum mismatch");
      if (!go_on(check, end)) return stop;
      resynchronising = true;
      position = end;
      continue;
    }
    if (end > size) {
      if (resynchronising) {
        damaged(WalDamageKind::BadLength, remaining,
                "record length " + std::to_string(length) + " runs past the end of the file (" +
                    std::to_string(remaining - WAL_HEADER_BYTES) +
                    " bytes follow the header): a damaged length or a torn record; framing is lost from here");
        return stop;
      }
      auto judged = judge_overrun(*lookup, size, position, length, check, key, key_proven);
      if (!judged) return std::unexpected(judged.error());
      stop = std::move(*judged);
      go_on(check, end);  // nothing to step to
      return stop;
    }
    auto complete = read_payload(reader, length, payload);
    if (!complete) return std::unexpected(complete.error());
    if (!*complete) {  // the file shrank meanwhile
      if (!resynchronising) {
        torn("a record cut short at the end of the file");
        go_on(check, size);
      }
      return stop;
    }

    Verified verified = verify(payload, check, key);
    if (!verified.ok && resynchronising) {
      if (!damaged(verified.kind, WAL_HEADER_BYTES + length, std::move(verified.problem))) return stop;
      position = end;
      continue;
    }
    if (!verified.ok) {
      // A final record whose tail the file system never received: the rest
      // of the file is zeros from inside the record, either from its payload
      // on or from a page boundary within it.
      auto zeros = trailing_zero_start(*lookup, size, position);
      if (!zeros) return std::unexpected(zeros.error());
      const std::uint64_t page = (*zeros + PAGE_BYTES - 1) / PAGE_BYTES * PAGE_BYTES;
      if (*zeros < end && (*zeros <= position + WAL_HEADER_BYTES || page < end)) {
        torn("a record whose end is zero-filled at the end of the file");
        go_on(check, size);
        return stop;
      }
      stop.sealed_unopened = check == WAL_SEALED_CHECK && !key_proven;
      unreadable(std::move(verified.problem));
      if (!go_on(check, end)) return stop;
      resynchronising = true;
      position = end;
      continue;
    }
    if (verified.sealed_opened && !resynchronising) key_proven = stop.sealed_opened = true;
    const std::span<const std::uint8_t> readable =
        verified.sealed_opened ? std::span<const std::uint8_t>(verified.opened) : std::span<const std::uint8_t>(payload);
    visit(readable, position);
    position = end;
    if (!resynchronising) stop.offset = end;
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

Status cut_back(const std::filesystem::path& path, std::uint64_t offset, FileSystem& files) {
  auto file = files.open_writable(path, O_WRONLY);
  if (!file) return std::unexpected(file.error());
  if (auto cut = (*file)->truncate(offset); !cut) return cut;
  return (*file)->sync();
}

}  // namespace karvalith
