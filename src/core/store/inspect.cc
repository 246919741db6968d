#include "core/store/inspect.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "core/codec/crc32.h"
#include "core/snapshot/snapshot_file.h"
#include "core/snapshot/snapshot_scan.h"
#include "core/store/replay.h"
#include "core/store/store.h"
#include "core/wal/wal.h"
#include "core/wal/wal_entry.h"

namespace karvalith {

namespace {

namespace fs = std::filesystem;

const char* snapshot_fault_kind(SnapshotFault fault) {
  switch (fault) {
    case SnapshotFault::KeyMissing: return "key_missing";
    case SnapshotFault::Unauthenticated: return "unauthenticated";
    case SnapshotFault::Checksum: return "checksum";
    case SnapshotFault::Undecodable: return "undecodable";
    case SnapshotFault::Inconsistent: return "inconsistent";
    case SnapshotFault::Unreadable:
    case SnapshotFault::None: break;
  }
  return "unreadable";
}

std::uint32_t be32(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

bool ends_with(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The kind of an unreadable record, from its header: a sealed one either had
// no key or did not open; a plain one failed its checksum.
const char* unreadable_record_kind(std::uint32_t check, const EncryptionKey* key) {
  if (check != WAL_SEALED_CHECK) return "checksum";
  return key == nullptr ? "key_missing" : "unauthenticated";
}

// Whether one record's payload reads as read_records would read it; the
// problem's kind and message when it does not.
struct RecordCheck {
  bool readable = false;
  std::vector<std::uint8_t> opened;  // the decrypted payload of a sealed record
  const char* kind = "";
  std::string message;
};

RecordCheck check_record(std::uint32_t check, std::span<const std::uint8_t> payload, const EncryptionKey* key) {
  RecordCheck result;
  const std::uint32_t crc = crc32(payload);
  if (check != WAL_SEALED_CHECK) {
    result.readable = crc == check;
    result.kind = "checksum";
    result.message = "record checksum mismatch";
    return result;
  }
  if (crc == WAL_SEALED_CHECK) {  // a plain record whose CRC happens to be all ones
    result.readable = true;
    return result;
  }
  if (key == nullptr) {
    result.kind = "key_missing";
    result.message = "sealed record but no encryption key was provided";
    return result;
  }
  auto plain = key->decrypt(payload);
  if (!plain) {
    result.kind = "unauthenticated";
    result.message = plain.error().message;
    return result;
  }
  result.readable = true;
  result.opened = std::move(*plain);
  return result;
}

class Inspector {
 public:
  Inspector(std::string directory, const EncryptionKey* key, bool replay_log)
      : directory_(std::move(directory)), key_(key), replay_log_(replay_log) {}

  Result<DirectoryInspection> run() {
    std::error_code error;
    const fs::file_status status = fs::status(directory_, error);
    if (!fs::exists(status)) {
      return make_error(ErrorKind::NotFound, "data directory '" + directory_ + "' does not exist");
    }
    if (!fs::is_directory(status)) {
      return make_error(ErrorKind::InvalidInput, "'" + directory_ + "' is not a directory");
    }
    auto names = list_names();
    if (!names) return std::unexpected(names.error());

    std::vector<std::string> staged;
    for (const std::string& name : *names) {
      if (!is_regular(name)) {
        // A FIFO or device would block or stream forever: never opened.
        if (has_snapshot_extension(name) || name == WAL_FILE_NAME) {
          problem(name, 0, "unreadable", "not a regular file; opens cannot read it either");
        }
        continue;
      }
      if (has_snapshot_extension(name)) {
        inspect_snapshot(name);
      } else if (ends_with(name, ".loading")) {
        staged.push_back(name);
      } else if (ends_with(name, SNAPSHOT_TEMP_SUFFIX)) {
        problem(name, 0, "leftover",
                "temporary file of an interrupted snapshot write; opens ignore it and the next save replaces it",
                false);
      }
    }
    inspect_log();
    for (const std::string& name : staged) {
      if (!referenced_staged_.contains(name)) {
        problem(name, 0, "leftover", "staged snapshot of a load that was never logged; opens ignore it", false);
      }
    }
    if (replay_log_) replay_changes();
    collect_collections();

    // Problems of the log come in offset order after the snapshots'.
    std::stable_sort(result_.problems.begin(), result_.problems.end(),
                     [](const InspectionProblem& a, const InspectionProblem& b) {
                       if (a.file != b.file) return a.file < b.file;
                       return a.offset < b.offset;
                     });
    result_.replayed = replay_log_;
    return std::move(result_);
  }

 private:
  Result<std::vector<std::string>> list_names() const {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(directory_, error);
    if (error) return make_error(ErrorKind::Io, "cannot list '" + directory_ + "': " + error.message());
    for (const fs::directory_entry& entry : it) {
      std::error_code kind_error;
      if (entry.is_directory(kind_error)) continue;
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  bool is_regular(const std::string& name) const {
    std::error_code error;
    return fs::is_regular_file(fs::path(directory_) / name, error);
  }

  void problem(std::string file, std::uint64_t offset, const char* kind, std::string message, bool fatal = true) {
    result_.problems.push_back(InspectionProblem{std::move(file), offset, kind, std::move(message), fatal});
  }

  void inspect_snapshot(const std::string& name) {
    const fs::path path = fs::path(directory_) / name;
    InspectedSnapshot snapshot;
    snapshot.file = name;
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (!error) snapshot.size = size;
    SnapshotLoadReport report;
    auto loaded = load_collection(path.string(), key_, &report);
    snapshot.sealed = report.sealed;
    if (!loaded) {
      problem(name, 0, snapshot_fault_kind(report.fault), loaded.error().message);
    } else {
      CollectionSummary summary = summarize(**loaded);
      snapshot.loaded = true;
      snapshot.collection = summary.name;
      snapshot.documents = summary.document_count;
      if (!snapshot_of_.contains(summary.name)) {
        snapshot_of_[summary.name] = name;
        database_.put_collection(summary.name, std::move(*loaded));
      } else {
        problem(name, 0, "inconsistent",
                "holds collection '" + summary.name + "', which " + snapshot_of_[summary.name] +
                    " holds too; which one an open keeps depends on the listing order",
                false);
      }
    }
    result_.snapshots.push_back(std::move(snapshot));
  }

  void inspect_log() {
    const fs::path path = fs::path(directory_) / WAL_FILE_NAME;
    if (!is_regular(WAL_FILE_NAME)) return;  // absent, or reported as not a regular file
    std::error_code error;
    InspectedLog& log = result_.log;
    log.present = true;
    const auto size = fs::file_size(path, error);
    if (!error) log.size = size;

    std::vector<std::pair<std::uint64_t, std::size_t>> seen;  // record offset, readable payload size
    auto stop = read_records(path, key_, [&](std::span<const std::uint8_t> payload, std::uint64_t offset) {
      seen.emplace_back(offset, payload.size());
      auto entry = decode_wal_entry(payload);
      if (!entry) {
        problem(WAL_FILE_NAME, offset, "undecodable",
                "record does not decode: " + entry.error().message + "; an open skips it and stays read-only");
        return;
      }
      ++pending_[changed_collection(*entry)];
      if (const auto* load = std::get_if<WalLoadCollection>(&entry->value)) {
        referenced_staged_.insert(staged_load_file_name(load->collection, load->token));
      }
      if (replay_log_) changes_.push_back(LoggedChange{std::move(*entry), offset});
    });
    if (!stop) {
      problem(WAL_FILE_NAME, 0, "unreadable", stop.error().message);
      return;
    }
    log.records = seen.size();
    log.readable_bytes = stop->offset;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const std::uint64_t end = i + 1 < seen.size() ? seen[i + 1].first : stop->offset;
      // A sealed record's payload is longer on disk than opened.
      if (end - seen[i].first - WAL_HEADER_BYTES != seen[i].second) ++log.sealed_records;
    }
    switch (stop->reason) {
      case WalStopReason::CleanEnd:
        break;
      case WalStopReason::TornTail:
        log.end = "torn_tail";
        problem(WAL_FILE_NAME, stop->offset, "torn_tail",
                "the log ends inside a record: the last " + std::to_string(log.size - stop->offset) +
                    " bytes are an incomplete record, which the next open drops",
                false);
        break;
      case WalStopReason::Unreadable:
        log.end = "unreadable";
        walk_past_damage(path, stop->offset, stop->detail);
        break;
    }
  }

  // From the first unreadable record on, an open reads nothing; this walks
  // the frames behind it anyway so that every damaged record is reported.
  void walk_past_damage(const fs::path& path, std::uint64_t first, const std::string& detail) {
    auto file = read_file(path);
    if (!file) {
      problem(WAL_FILE_NAME, first, "unreadable", file.error().message);
      return;
    }
    const std::vector<std::uint8_t>& bytes = *file;
    if (first + WAL_HEADER_BYTES > bytes.size()) {
      problem(WAL_FILE_NAME, first, "unreadable", detail);  // the file changed since it was read
      return;
    }
    problem(WAL_FILE_NAME, first, unreadable_record_kind(be32(bytes.data() + first + 4), key_),
            detail + "; an open replays nothing from here on and stays read-only");
    std::uint64_t position = first + WAL_HEADER_BYTES + be32(bytes.data() + first);
    std::uint64_t readable_after = 0;
    while (position < bytes.size()) {
      const std::uint64_t remaining = bytes.size() - position;
      if (remaining < WAL_HEADER_BYTES) {
        problem(WAL_FILE_NAME, position, "torn_tail",
                "the log ends inside a record header (" + std::to_string(remaining) + " bytes)", false);
        break;
      }
      const std::uint32_t length = be32(bytes.data() + position);
      const std::uint32_t check = be32(bytes.data() + position + 4);
      if (length > remaining - WAL_HEADER_BYTES) {
        problem(WAL_FILE_NAME, position, "bad_length",
                "record length " + std::to_string(length) + " runs past the end of the file (" +
                    std::to_string(remaining - WAL_HEADER_BYTES) +
                    " bytes follow the header): a damaged length or a torn record; framing is lost from here");
        break;
      }
      const std::span<const std::uint8_t> payload(bytes.data() + position + WAL_HEADER_BYTES, length);
      RecordCheck checked = check_record(check, payload, key_);
      if (!checked.readable) {
        problem(WAL_FILE_NAME, position, checked.kind, checked.message);
      } else {
        const std::span<const std::uint8_t> plain = checked.opened.empty() ? payload : checked.opened;
        if (auto entry = decode_wal_entry(plain); !entry) {
          problem(WAL_FILE_NAME, position, "undecodable", "record does not decode: " + entry.error().message);
        } else {
          ++readable_after;
        }
      }
      position += WAL_HEADER_BYTES + length;
    }
    if (readable_after > 0) {
      problem(WAL_FILE_NAME, first, "not_replayed",
              std::to_string(readable_after) +
                  " readable records follow the unreadable record; an open does not replay them");
    }
  }

  void replay_changes() {
    const LoadReplayer replay_load = [&](const WalLoadCollection& load) -> ApplyOutcome {
      const std::string staged_name = staged_load_file_name(load.collection, load.token);
      const fs::path staged = fs::path(directory_) / staged_name;
      if (is_regular(staged_name)) {
        auto loaded = load_collection(staged.string(), key_);
        if (!loaded) return {ApplyStatus::Failed, "its staged snapshot did not load: " + loaded.error().message, true};
        (*loaded)->rename(load.collection);
        database_.put_collection(load.collection, std::move(*loaded));
        return {};
      }
      if (database_.get_collection(load.collection)) return {ApplyStatus::AlreadyApplied, {}, false};
      return {ApplyStatus::Failed, "its snapshot file is missing", true};
    };
    // Without a progress nothing stops the replay.
    Result<std::vector<RecoveryIssue>> issues = replay(database_, std::move(changes_), replay_load);
    for (RecoveryIssue& issue : *issues) {
      problem(issue.file, issue.offset, "unapplied", std::move(issue.reason), issue.data_missing);
    }
  }

  void collect_collections() {
    std::vector<std::string> names = database_.list_collections();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      CollectionPtr collection = database_.get_collection(name);
      if (!collection) continue;
      InspectedCollection inspected;
      inspected.summary = summarize(*collection);
      inspected.summary.name = name;
      if (auto file = snapshot_of_.find(name); file != snapshot_of_.end()) inspected.snapshot_file = file->second;
      if (auto pending = pending_.find(name); pending != pending_.end()) inspected.pending_records = pending->second;
      result_.collections.push_back(std::move(inspected));
    }
  }

  const std::string directory_;
  const EncryptionKey* const key_;
  const bool replay_log_;
  DirectoryInspection result_;
  Database database_;
  std::map<std::string, std::string> snapshot_of_;  // collection -> its snapshot file
  std::map<std::string, std::uint64_t> pending_;    // collection -> log records naming it
  std::set<std::string> referenced_staged_;
  std::vector<LoggedChange> changes_;
};

}  // namespace

Result<DirectoryInspection> inspect_directory(const std::string& directory, const EncryptionKey* key,
                                              bool replay_log) {
  return Inspector(directory, key, replay_log).run();
}

}  // namespace karvalith
