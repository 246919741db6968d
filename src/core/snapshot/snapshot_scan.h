// The open-time scan of a data directory for snapshot files.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/progress.h"
#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/files/file_system.h"
#include "core/sealing/crypto.h"

namespace karvalith {

// True when the text after the name's last dot is "kvl" and that dot is not
// the first character ("a.kvl" yes; ".kvl", "a.kvl.tmp" no).
bool has_snapshot_extension(std::string_view file_name);

struct ScannedSnapshots {
  std::vector<CollectionPtr> collections;  // in listing order
  std::map<std::string, std::string> unloadable;  // file name -> why it failed to load
  // Sealed files that did not load, and whether any sealed file did: telling
  // a wrong or missing key from damage.
  std::vector<std::string> sealed_unloadable;
  bool sealed_loaded = false;
};

// Loads every snapshot file of `directory` with `key` (may be null), in the
// order the system lists them. A file that fails to load is skipped and its
// name remembered with the reason (anything but a regular file too: it is
// never opened blocking). A directory whose metadata cannot be read yields nothing;
// one that cannot be listed is the listing's ErrorKind::Io error.
// `progress` (may be null) is polled between and within files; a stop is
// ErrorKind::Cancelled. The directory is listed through `files`.
Result<ScannedSnapshots> scan_snapshots(const std::string& directory, const EncryptionKey* key,
                                        Progress* progress = nullptr, FileSystem& files = default_file_system());

}  // namespace karvalith
