// Read-only inspection of a data directory, for tools that must look without
// changing anything: every snapshot is read and checked, every log record is
// read, checked and decoded, and (optionally) the log is replayed onto the
// snapshots in memory to report what an open would hold.
//
// Unlike Store::open this takes no lock, creates nothing, cuts no torn tail
// and moves no staged load into place: it opens files only for reading. It
// may therefore run beside a handle that has the directory open; what it
// reports is then the state of the files at the moment they were read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/sealing/crypto.h"

namespace karvalith {

// What is wrong, as stable names for tools:
//   key_missing      a sealed snapshot or record, and no key was given
//   unauthenticated  a seal that does not open with the key (wrong key or damage)
//   checksum         a plain snapshot or record whose CRC-32 does not match
//   undecodable      a payload that does not decode
//   inconsistent     a snapshot that decodes but fails its consistency checks
//   unreadable       the operating system could not read a file
//   torn_tail        the log ends inside a record (what a crash during an
//                    append leaves; the next open drops it)
//   bad_length       a record whose length runs past the end of the file,
//                    found after damage (framing is lost from there)
//   not_replayed     readable records behind an unreadable one (an open
//                    stops at the first unreadable record)
//   unapplied        a logged change that replay could not apply
//   leftover         a temporary file of an interrupted save or load
struct InspectionProblem {
  std::string file;          // file name inside the directory
  std::uint64_t offset = 0;  // byte offset in the file (the record's, for the log); 0 for a whole file
  std::string kind;
  std::string message;
  bool fatal = true;         // false for warnings: nothing acknowledged is lost
};

struct InspectedSnapshot {
  std::string file;
  std::uint64_t size = 0;
  bool sealed = false;
  bool loaded = false;
  std::string collection;  // the name stored in the file, when it loaded
  std::uint64_t documents = 0;
};

struct InspectedLog {
  bool present = false;
  std::uint64_t size = 0;
  std::uint64_t records = 0;         // readable records an open would replay
  std::uint64_t sealed_records = 0;  // of those, the ones that were sealed (and opened)
  std::uint64_t readable_bytes = 0;  // end of the last of them
  std::string end = "clean";         // "clean", "torn_tail" or "unreadable"
};

struct InspectedCollection {
  CollectionSummary summary;
  std::string snapshot_file;           // empty when no snapshot holds it
  std::uint64_t pending_records = 0;   // log records naming it
};

struct DirectoryInspection {
  std::vector<InspectedSnapshot> snapshots;  // by file name
  InspectedLog log;
  // With replay: what an open would hold. Without: the loaded snapshots.
  std::vector<InspectedCollection> collections;  // by name
  std::vector<InspectionProblem> problems;       // snapshots by file name, then the log by offset
  bool replayed = false;
};

// Fails only when the directory itself cannot be inspected: ErrorKind::NotFound
// "data directory '{dir}' does not exist", ErrorKind::InvalidInput
// "'{dir}' is not a directory", or the listing's ErrorKind::Io error.
// Everything wrong inside it is a problem in the result.
Result<DirectoryInspection> inspect_directory(const std::string& directory, const EncryptionKey* key,
                                              bool replay_log);

}  // namespace karvalith
