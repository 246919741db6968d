// Something the open of a data directory found wrong and did not hide: an
// unreadable or undecodable log record, a logged change that could not be
// applied, a snapshot file that did not load.
#pragma once

#include <cstdint>
#include <string>

namespace karvalith {

struct RecoveryIssue {
  std::string file;          // file name inside the data directory, e.g. "wal.bin"
  std::uint64_t offset = 0;  // byte offset of the record in the log; 0 for a whole file
  std::string reason;
  std::string collection;    // the collection concerned, when there is one
  // True when data the directory holds is not in the opened database.
  bool data_missing = false;
};

}  // namespace karvalith
