// Snapshot files: one collection per file, written atomically (temporary
// file, fsync, rename, directory fsync) and read back with its checks.
//
// A file is one of
//   plain   payload | "KCR1" | CRC-32 of the payload (u32 big-endian)
//   sealed  "KCE1" | sealed blob whose plaintext is the payload
//   bare    payload (never written; accepted on reading only when the
//           payload decodes to exactly the end of the file, so that a plain
//           file whose end marker is damaged is not mistaken for one)
// where the payload is snapshot_codec.h's encoding of the collection.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/progress.h"
#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/files/file_system.h"
#include "core/sealing/crypto.h"

namespace karvalith {

inline constexpr std::string_view SNAPSHOT_EXTENSION = ".kvl";
inline constexpr std::string_view SNAPSHOT_TEMP_SUFFIX = ".tmp";

// The file name of a collection's snapshot: name + ".kvl".
//
// A name is used verbatim when it is a safe file name: not empty, not
// starting with '.', and free of '/', NUL and '%'. Any other name is
// percent-encoded: its leading '.' and every '/', NUL and '%' become "%XX"
// (two upper-case hex digits); the empty name becomes "%".
//
// One-to-one: a verbatim name holds no '%', an encoded one always does, so
// the two kinds never meet. Within encoded names every '%' of a non-empty
// name starts a "%XX" escape (literal '%' are escaped), so decoding is
// unambiguous; "%" alone has no escape after it and is no other name's image.
// Inside the directory: the result never holds '/' or NUL, never starts with
// '.' (so it is neither "." nor ".."), and its extension is "kvl" (its last
// dot is not its first character), which the open-time scan loads.
// Names past the file system's 255-byte limit fail at open with the OS error
// (a persistent store refuses such names before it logs them).
std::string snapshot_file_name(std::string_view collection_name);

// directory / snapshot_file_name(collection_name).
std::filesystem::path snapshot_path(const std::filesystem::path& directory, std::string_view collection_name);

// Writes the collection's snapshot into `directory` (created with missing
// parents, mode 0777 before the umask, then set to 0700 if possible), under
// the collection's read lock for the whole call: N.kvl.tmp is written
// (0666 before the umask, then 0600), fsynced and renamed over N.kvl, then the
// directory is fsynced. Sealed when `key` is given, plain otherwise. On
// failure the old N.kvl is untouched and the temporary file is removed when
// possible. OS failures are ErrorKind::Io: "writing snapshot \"PATH\" failed
// while STEP: <system's text>"; a payload too large to seal is
// ErrorKind::Other. `progress` (may be null) hears the bytes written of the
// file's size; a stop before the rename is ErrorKind::Cancelled with the old
// file untouched and the temporary file removed. `file_bytes`, when given,
// receives the size of the file written. Every change to the disk goes
// through `files`.
Status save_collection(const Collection& collection, const std::string& directory, const EncryptionKey* key,
                       Progress* progress = nullptr, std::uint64_t* file_bytes = nullptr,
                       FileSystem& files = default_file_system());
// The same into directory / file_name (with file_name + ".tmp" as the
// temporary file) instead of the collection's own file name, when given.
Status save_collection_as(const Collection& collection, const std::string& directory,
                          const std::optional<std::string>& file_name, const EncryptionKey* key,
                          Progress* progress = nullptr, std::uint64_t* file_bytes = nullptr,
                          FileSystem& files = default_file_system());

// Reads, checks and rebuilds a collection from the snapshot at `path`
// (registering it nowhere). Errors other than the OS's are
// ErrorKind::InvalidData:
//   unreadable:         "cannot read snapshot \"PATH\": " + the system's text (Io)
//   sealed without key: "snapshot \"PATH\" is encrypted but no encryption key was provided"
//   sealed, bad:        the decrypt messages (crypto.h)
//   plain, bad CRC:     "Snapshot CRC32 mismatch: expected 0x%08x, got 0x%08x. File may be corrupted: \"PATH\""
//   no end marker:      "snapshot \"PATH\" has no valid end marker (...) and is not a bare snapshot either: ..."
//   undecodable:        "snapshot \"PATH\" does not decode: " + the decoder's message
//   inconsistent:       "snapshot validation failed: " + validate()'s message
// Raw vectors are dropped when the stored configuration does not keep them.
// When `report` is given it says how the file was framed and which step
// failed, so read-only inspection can tell a missing or wrong key from damage.
enum class SnapshotFault {
  None,
  Unreadable,       // the operating system could not read the file
  KeyMissing,       // sealed, and no key was given
  Unauthenticated,  // sealed, and the seal does not open with the key (wrong key or damage)
  Checksum,         // plain, and the CRC-32 trailer does not match
  Undecodable,      // the payload does not decode
  Inconsistent,     // decoded, but fails validate()
};
struct SnapshotLoadReport {
  bool sealed = false;
  SnapshotFault fault = SnapshotFault::None;
};
// `progress` (may be null) hears the steps done of LOAD_STEPS (read, check,
// decode, validate, build); a stop between them is ErrorKind::Cancelled.
//
// SnapshotReading::InPlace maps a plain format-3 file's graph blocks from
// the file (snapshot_columns.h) instead of copying them: pages nobody has
// changed stay the file's, so the file must not be rewritten in place while
// the collection lives (replacing it by rename, as saves do, is fine). Only
// the files of a store's own, locked directory are read so.
enum class SnapshotReading { Copy, InPlace };
inline constexpr std::uint64_t LOAD_STEPS = 5;
Result<CollectionPtr> load_collection(const std::string& path, const EncryptionKey* key,
                                      SnapshotLoadReport* report = nullptr, Progress* progress = nullptr,
                                      SnapshotReading reading = SnapshotReading::Copy);

// True when `path` is a regular file that starts with the sealed magic.
bool is_sealed_snapshot(const std::string& path);

}  // namespace karvalith
