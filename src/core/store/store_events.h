// What a store tells about its own work, as values: opens, recoveries,
// checkpoints and the problems it found. The store queues them; its user
// takes them (Store::take_events) and reports them as it sees fit (the
// binding writes them to the `karvalith` logger with the interpreter lock
// held).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace karvalith {

struct OpenedEvent {
  std::string data_dir;
  std::uint64_t collections = 0;
  std::uint64_t documents = 0;  // live, after the replay
  double seconds = 0;           // the whole open
};

// The snapshots and the log found at an open, and what the replay did.
struct RecoveredEvent {
  std::string data_dir;
  std::uint64_t snapshots = 0;              // loaded
  std::uint64_t unloadable_snapshots = 0;   // kept as they are
  std::uint64_t log_records = 0;            // read from the log
  std::uint64_t log_documents = 0;          // the documents they change (a batch counts each)
  std::uint64_t torn_bytes = 0;             // an unfinished write cut off the log's end
  std::uint64_t unapplied = 0;              // records that could not be applied
  double seconds = 0;                       // reading the log and replaying it
};

struct CheckpointEvent {
  enum class Trigger { Automatic, Compact, Save };
  Trigger trigger = Trigger::Compact;
  std::string directory;     // where the snapshots went
  std::string collection;    // the saved one (Save only)
  std::uint64_t snapshots = 0;
  std::uint64_t bytes = 0;   // snapshot bytes written
  bool log_emptied = false;
  std::uint64_t log_bytes = 0;  // the log's size before it was emptied
  double seconds = 0;
};

// Something wrong that the store noticed (a damaged file at an open, a
// failed automatic checkpoint); `data_missing` when data could not be read.
struct ProblemEvent {
  std::string message;
  bool data_missing = false;
};

using StoreEvent = std::variant<OpenedEvent, RecoveredEvent, CheckpointEvent, ProblemEvent>;

}  // namespace karvalith
