// The write-ahead log file: framing, durable appends, truncation and reading
// of records. A record is
//   L (u32 big-endian) | check (u32 big-endian) | payload (L bytes)
// where check is the CRC-32 of the payload, or FF FF FF FF when the payload is
// a sealed blob (the log has a key). Payloads are opaque here: the entries are
// encoded and decoded by the caller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/sealing/crypto.h"
#include "core/files/file_io.h"

namespace karvalith {

inline constexpr std::size_t WAL_HEADER_BYTES = 8;
inline constexpr std::uint32_t WAL_SEALED_CHECK = 0xFFFFFFFF;

class SyncWriteAheadLog {
 public:
  // Opens `path` for appending, creating it with mode 0600 if missing (and
  // syncing its directory so the new file survives a crash). `key` may be null;
  // with a key every record is sealed.
  static Result<std::unique_ptr<SyncWriteAheadLog>> open(std::filesystem::path path,
                                                         EncryptionKeyPtr key);

  SyncWriteAheadLog(const SyncWriteAheadLog&) = delete;
  SyncWriteAheadLog& operator=(const SyncWriteAheadLog&) = delete;

  // Frames (sealing first when keyed) and durably writes one record: one
  // write, then fsync, under the writer mutex. The caller orders appends
  // against checkpoints (the store's checkpoint gate). A payload that would
  // reach 4 GiB is refused (ErrorKind::Other) before anything is written. If
  // the write or fsync fails, the file is cut back to its length before this
  // call; if even that fails, the log refuses every later append until it is
  // reopened or truncated.
  Status append_payload(std::span<const std::uint8_t> encoded_entry);

  // Empties the file durably and appends to the emptied file from then on.
  // Takes the writer mutex; the caller keeps appends out (the store holds its
  // checkpoint gate exclusively). The file is not created if it has vanished. On failure the current writer
  // stays in use.
  Status truncate();

  const std::filesystem::path& path() const { return path_; }
  const EncryptionKeyPtr& key() const { return key_; }
  // Bytes in the file as far as this log has written them.
  std::uint64_t size() const;

 private:
  SyncWriteAheadLog(std::filesystem::path path, EncryptionKeyPtr key, FileHandle writer,
                    std::uint64_t length);

  const std::filesystem::path path_;
  const EncryptionKeyPtr key_;
  mutable std::mutex writer_mutex_;
  FileHandle writer_;          // guarded by writer_mutex_
  std::uint64_t length_ = 0;   // guarded by writer_mutex_: end of the last durable record
  bool broken_ = false;        // guarded by writer_mutex_
  std::string broken_reason_;  // guarded by writer_mutex_
};

enum class WalStopReason {
  CleanEnd,    // the file ended exactly after a record
  TornTail,    // partial header, or a payload shorter than its length, at end of file
  Unreadable,  // CRC mismatch, sealed without a key, or a seal that does not open
};

struct WalStop {
  WalStopReason reason = WalStopReason::CleanEnd;
  // End of the last complete, readable record: everything before it was read.
  std::uint64_t offset = 0;
  // What was wrong with an unreadable record; empty otherwise.
  std::string detail;
};

// Receives each readable payload (decrypted when sealed) and the file offset
// of its record. The span is valid only during the call. The caller decodes
// and may skip payloads that do not decode.
using WalRecordVisitor =
    std::function<void(std::span<const std::uint8_t> payload, std::uint64_t record_offset)>;

// Reads records from the start of `path` with a buffered read-only handle
// until the end or the first torn or unreadable record. `key` may be null.
// Only an operating-system read or open error fails the call. Never allocates
// more than about twice the bytes actually present, whatever L says.
Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit);

struct WalRecords {
  std::vector<std::vector<std::uint8_t>> payloads;
  WalStop stop;
};

// read_records collecting the payloads.
Result<WalRecords> read_records(const std::filesystem::path& path, const EncryptionKey* key);

// Durably cuts `path` back to `offset` bytes (ftruncate, then fsync), e.g. to
// drop a torn tail before appending behind it. Does not create the file.
Status cut_back(const std::filesystem::path& path, std::uint64_t offset);

}  // namespace karvalith
