#include "core/store/inspect.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

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

bool ends_with(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

const char* damage_kind(WalDamageKind kind) {
  switch (kind) {
    case WalDamageKind::TornTail: return "torn_tail";
    case WalDamageKind::Checksum: return "checksum";
    case WalDamageKind::KeyMissing: return "key_missing";
    case WalDamageKind::Unauthenticated: return "unauthenticated";
    case WalDamageKind::BadLength: return "bad_length";
  }
  return "unreadable";
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
    bool past_damage = false;          // behind where an open stops reading
    std::uint64_t first_damage = 0;
    std::uint64_t readable_after = 0;  // records behind it that read and decode
    auto visit = [&](std::span<const std::uint8_t> payload, std::uint64_t offset) {
      auto entry = decode_wal_entry(payload);
      if (past_damage) {
        if (!entry) {
          problem(WAL_FILE_NAME, offset, "undecodable", "record does not decode: " + entry.error().message);
        } else {
          ++readable_after;
        }
        return;
      }
      seen.emplace_back(offset, payload.size());
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
    };
    // Every damaged region is reported, also those behind the one where an
    // open stops.
    auto report = [&](const WalDamage& damage) {
      if (!damage.stops_recovery) {
        problem(WAL_FILE_NAME, damage.offset, damage_kind(damage.kind), damage.reason,
                damage.kind != WalDamageKind::TornTail);
      } else if (damage.kind == WalDamageKind::TornTail) {
        problem(WAL_FILE_NAME, damage.offset, "torn_tail",
                "the log ends inside a record: the last " + std::to_string(damage.length) +
                    " bytes are an incomplete record, which the next open drops",
                false);
      } else {
        past_damage = true;
        first_damage = damage.offset;
        problem(WAL_FILE_NAME, damage.offset, damage_kind(damage.kind),
                damage.reason + "; an open replays nothing from here on and stays read-only");
      }
      return true;
    };
    auto stop = read_records(path, key_, visit, report);
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
    if (stop->reason == WalStopReason::TornTail) log.end = "torn_tail";
    if (stop->reason == WalStopReason::Unreadable) log.end = "unreadable";
    if (readable_after > 0) {
      problem(WAL_FILE_NAME, first_damage, "not_replayed",
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
