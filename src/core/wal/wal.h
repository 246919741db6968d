// The write-ahead log file: framing, durable appends, truncation and reading
// of records. A record is
//   L (u32 big-endian) | check (u32 big-endian) | payload (L bytes)
// where check is the CRC-32 of the payload, or FF FF FF FF when the payload is
// a sealed blob (the log has a key). Payloads are opaque here: the entries are
// encoded and decoded by the caller. L is never 0.
//
// How the reader tells a torn tail (the unacknowledged end of a write that a
// crash cut short: safe to cut off) from damage (acknowledged records that
// can no longer be read: the file must be kept as it is):
//   torn tail   fewer than 8 bytes after the last complete record;
//               a record whose length runs past the end of the file, when no
//               complete record can be found behind its header (see below);
//               zeros from a record boundary to the end of the file;
//               a record that fails its check when the file is zero from
//               inside it to the end, starting at its payload or at a 4 KiB
//               file offset before its end (a power cut can leave a file
//               longer than the data that reached it).
//   damage      a record that fails its check (CRC, or a seal that does not
//               open) in any other case;
//               a record whose length runs past the end while the bytes
//               behind its header hold a complete record: either the bytes
//               up to the end of the file verify as its own payload, or,
//               scanning ahead, some position starts a frame that verifies
//               and a chain of frames from it ends exactly at the end of the
//               file (or at its final zero-filled run); failing that, any
//               later frame that verifies, as far as a budget of 64 MiB plus
//               eight times the rest of the file of checked bytes reaches;
//               zeros at a record boundary that are followed by data.
// Frames have no check of their own: the scan above, and the payload check
// of every record, catch a damaged length. A header check would have to mark
// a new file version, and every record already written would still be read
// by these rules; what it would add is a cheaper and certain verdict where
// the scan runs out of budget (a damaged length in front of many megabytes of
// records that also end torn).
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
#include "core/files/file_system.h"

namespace karvalith {

inline constexpr std::size_t WAL_HEADER_BYTES = 8;
inline constexpr std::uint32_t WAL_SEALED_CHECK = 0xFFFFFFFF;

class SyncWriteAheadLog {
 public:
  // Opens `path` for appending, creating it with mode 0600 if missing (and
  // syncing its directory so the new file survives a crash). `key` may be null;
  // with a key every record is sealed. Every change to the file goes
  // through `files`, which must outlive the log.
  static Result<std::unique_ptr<SyncWriteAheadLog>> open(std::filesystem::path path, EncryptionKeyPtr key,
                                                         FileSystem& files = default_file_system());

  SyncWriteAheadLog(const SyncWriteAheadLog&) = delete;
  SyncWriteAheadLog& operator=(const SyncWriteAheadLog&) = delete;

  // Frames (sealing first when keyed) and durably writes one record: one
  // write, then fsync, under the writer mutex. The caller orders appends
  // against checkpoints (the store's checkpoint gate). A payload that would
  // reach 4 GiB, or an empty one, is refused (ErrorKind::Other) before
  // anything is written. If
  // the write or fsync fails, the file is cut back to its length before this
  // call; if even that fails, the log refuses every later append until it is
  // reopened or truncated.
  Status append_payload(std::span<const std::uint8_t> encoded_entry);

  // Empties the file durably and appends to the emptied file from then on.
  // Takes the writer mutex; the caller keeps appends out (the store holds its
  // checkpoint gate exclusively). The file is not created if it has vanished. On failure the current writer
  // stays in use.
  Status truncate();

  // Closes the file; every later append and truncate fails. Idempotent.
  Status close();
  // Appends to whatever file is at the path now (after it was replaced),
  // from its current end.
  Status reopen();

  const std::filesystem::path& path() const { return path_; }
  const EncryptionKeyPtr& key() const { return key_; }
  // Bytes in the file as far as this log has written them.
  std::uint64_t size() const;

 private:
  SyncWriteAheadLog(std::filesystem::path path, EncryptionKeyPtr key, FileSystem& files,
                    std::unique_ptr<WritableFile> writer, std::uint64_t length);

  const std::filesystem::path path_;
  const EncryptionKeyPtr key_;
  FileSystem& files_;
  mutable std::mutex writer_mutex_;
  std::unique_ptr<WritableFile> writer_;  // guarded by writer_mutex_
  std::uint64_t length_ = 0;   // guarded by writer_mutex_: end of the last durable record
  bool broken_ = false;        // guarded by writer_mutex_
  bool closed_ = false;        // guarded by writer_mutex_
  std::string broken_reason_;  // guarded by writer_mutex_
};

enum class WalStopReason {
  CleanEnd,    // the file ended exactly after a record
  TornTail,    // the end of an interrupted write (see the rules above)
  Unreadable,  // damage, or sealed records that the key given does not open
};

struct WalStop {
  WalStopReason reason = WalStopReason::CleanEnd;
  // End of the last complete, readable record: everything before it was read.
  std::uint64_t offset = 0;
  // What was wrong (torn or unreadable); empty at a clean end.
  std::string detail;
  // Unreadable at a sealed record that did not open, with no sealed record
  // before it opened with the key given (or no key given): the key is a
  // likelier cause than damage.
  bool sealed_unopened = false;
  // Some sealed record opened with the key given.
  bool sealed_opened = false;
};

// Receives each readable payload (decrypted when sealed) and the file offset
// of its record. The span is valid only during the call. The caller decodes
// and may skip payloads that do not decode.
using WalRecordVisitor =
    std::function<void(std::span<const std::uint8_t> payload, std::uint64_t record_offset)>;

enum class WalDamageKind {
  TornTail,         // the file ends inside a record or its header
  Checksum,         // a plain record whose CRC-32 does not match
  KeyMissing,       // a sealed record, and no key was given
  Unauthenticated,  // a seal that does not open with the key given
  BadLength,        // behind damage: a length running past the end of the file
};

// A damaged region of the log: [offset, offset + length), never past the end
// of the file.
struct WalDamage {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  WalDamageKind kind = WalDamageKind::Checksum;
  std::string reason;
  // The region where reading for recovery stops (its reason is WalStop's
  // detail); false for the regions found by resynchronising behind it.
  bool stops_recovery = true;
};

// Told of each damaged region in file order. Returning true resynchronises:
// the reader steps over the damaged record by its length field and goes on
// with the next frame, visiting readable records and reporting damaged ones,
// until a frame runs past the end of the file. A torn tail is never stepped
// over (nothing follows it).
using WalDamageReporter = std::function<bool(const WalDamage& damage)>;

// Reads records from the start of `path` with a buffered read-only handle
// until the end or the first torn or unreadable record. `key` may be null.
// Only an operating-system read or open error fails the call (also when
// `path` is not a regular file; it is never opened blocking). Never allocates
// more than about twice the bytes actually present, whatever L says.
Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit);

// The same, telling `report` (may be empty) of each damaged region. The stop
// returned is where the first damage stopped recovery, whatever the reporter
// asked for; records visited behind it are not part of what recovery reads.
Result<WalStop> read_records(const std::filesystem::path& path, const EncryptionKey* key,
                             const WalRecordVisitor& visit, const WalDamageReporter& report);

struct WalRecords {
  std::vector<std::vector<std::uint8_t>> payloads;
  WalStop stop;
};

// read_records collecting the payloads.
Result<WalRecords> read_records(const std::filesystem::path& path, const EncryptionKey* key);

// Durably cuts `path` back to `offset` bytes (ftruncate, then fsync), e.g. to
// drop a torn tail before appending behind it. Does not create the file.
Status cut_back(const std::filesystem::path& path, std::uint64_t offset, FileSystem& files = default_file_system());

}  // namespace karvalith
