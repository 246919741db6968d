#include "core/snapshot/snapshot_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "core/codec/codec.h"
#include "core/codec/crc32.h"
#include "core/snapshot/snapshot_direct.h"
#include "core/files/file_io.h"
#include "core/snapshot/snapshot_codec.h"
#include "core/snapshot/snapshot_columns.h"

namespace karvalith {

namespace {

constexpr std::uint8_t PLAIN_MAGIC[4] = {'K', 'C', 'R', '1'};
constexpr std::uint8_t SEALED_MAGIC[4] = {'K', 'C', 'E', '1'};
constexpr std::size_t PLAIN_TRAILER_BYTES = 8;

bool is_safe_file_name(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  for (char c : name) {
    if (c == '/' || c == '\0' || c == '%') return false;
  }
  return true;
}

void append_escape(std::string& out, unsigned char byte) {
  constexpr char HEX[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(HEX[byte >> 4]);
  out.push_back(HEX[byte & 0xF]);
}

bool starts_with(std::span<const std::uint8_t> bytes, const std::uint8_t (&magic)[4]) {
  return bytes.size() >= 4 && std::memcmp(bytes.data(), magic, 4) == 0;
}

std::string hex32(std::uint32_t value) {
  char buffer[11];
  std::snprintf(buffer, sizeof buffer, "0x%08x", value);
  return buffer;
}

// The file contents: sealed, or payload plus CRC trailer.
Result<std::vector<std::uint8_t>> file_contents(std::vector<std::uint8_t> payload, const EncryptionKey* key) {
  if (key != nullptr) {
    if (payload.size() > EncryptionKey::MAX_PLAINTEXT_BYTES) {
      return make_error(ErrorKind::Other, "snapshot payload of " + std::to_string(payload.size()) +
                                              " bytes is too large to encrypt");
    }
    std::vector<std::uint8_t> contents(4 + payload.size() + EncryptionKey::SEAL_OVERHEAD);
    std::memcpy(contents.data(), SEALED_MAGIC, 4);
    if (auto sealed = key->encrypt_into(payload, std::span(contents).subspan(4)); !sealed) {
      return std::unexpected(std::move(sealed).error());
    }
    return contents;
  }
  const std::uint32_t crc = crc32(payload);
  payload.insert(payload.end(), std::begin(PLAIN_MAGIC), std::end(PLAIN_MAGIC));
  for (int shift = 24; shift >= 0; shift -= 8) payload.push_back(static_cast<std::uint8_t>(crc >> shift));
  return payload;
}

// The error of one step of writing `path`, naming both.
Error step_error(const std::filesystem::path& path, const char* step, const Error& error) {
  return Error{error.kind, "writing snapshot " + quote_path(path.string()) + " failed while " + step + ": " +
                               error.message};
}

// Bytes written between two progress reports.
constexpr std::size_t WRITE_CHUNK = std::size_t{8} << 20;

// Writes `contents` to `temp` durably and moves it over `final_path`,
// reporting the bytes written; a stop comes before the rename.
Status write_and_replace(FileSystem& files, const std::filesystem::path& temp, const std::filesystem::path& final_path,
                         std::span<const std::uint8_t> contents, Progress* progress) {
  auto fail = [&](const char* step, const Error& error) { return std::unexpected(step_error(final_path, step, error)); };
  auto stopped = [&] {
    return make_error(ErrorKind::Cancelled, "writing snapshot " + quote_path(final_path.string()) +
                                                " stopped before it replaced anything");
  };
  const std::uint64_t total = contents.size();
  if (!keep_going(progress, 0, total)) return stopped();
  auto opened = files.open_writable(temp, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!opened) return fail("creating its temporary file", opened.error());
  WritableFile& file = **opened;
  for (std::size_t start = 0; start < contents.size(); start += WRITE_CHUNK) {
    const auto chunk = contents.subspan(start, std::min(WRITE_CHUNK, contents.size() - start));
    if (auto s = file.append(chunk); !s) return fail("writing its temporary file", s.error());
    if (start + chunk.size() < contents.size() && !keep_going(progress, start + chunk.size(), total)) return stopped();
  }
  // Durable before it can replace the old snapshot.
  if (auto s = file.sync(); !s) return fail("syncing its temporary file", s.error());
  if (auto s = file.close(); !s) return fail("closing its temporary file", s.error());
  if (!keep_going(progress)) return stopped();
  if (auto s = files.set_mode(temp, 0600); !s) return fail("setting the mode of its temporary file", s.error());
  if (auto s = files.rename(temp, final_path); !s) return fail("moving its temporary file into place", s.error());
  (void)keep_going(progress, total, total);  // in place: nothing left to stop
  return {};
}

// The payload a snapshot is written with: format 2, unless the slot list
// and the graph disagree in length (which no live collection does), when the
// older format keeps every part.
std::vector<std::uint8_t> encode_snapshot_payload(const CollectionState& state) {
  if (state.internal_to_uuid.size() != state.hnsw.node_count()) return encode_collection(state);
  return encode_collection_columns(state);
}

// Loads a format-2 payload from `source` (checked against `expected_crc`
// when given), reporting as load_collection does. `bare`: no end marker, so
// the payload must end exactly where the file does.
Result<CollectionPtr> load_columns(const std::string& path, const PayloadSource& source,
                                   std::optional<std::uint32_t> expected_crc, bool bare,
                                   SnapshotLoadReport& out, Progress* progress, std::uint64_t& steps) {
  ColumnsProblem problem = ColumnsProblem::Other;
  auto next_step = [&] { return keep_going(progress, ++steps, LOAD_STEPS); };
  auto loaded = load_collection_columns(source, expected_crc.has_value(), next_step, problem);
  if (!loaded && loaded.error().kind == ErrorKind::Cancelled) {
    return make_error(ErrorKind::Cancelled, "loading snapshot " + quote_path(path) + " stopped after " +
                                                std::to_string(steps) + " of " + std::to_string(LOAD_STEPS) +
                                                " steps");
  }
  if (expected_crc) {
    // Damage is reported as such before whatever it broke.
    Result<std::uint32_t> crc = loaded ? Result<std::uint32_t>(loaded->crc) : source.crc_of(0, source.size());
    if (crc && loaded && loaded->used != source.size()) {
      auto rest = source.crc_of(loaded->used, source.size());
      crc = rest ? Result<std::uint32_t>(crc32_combine(*crc, *rest, source.size() - loaded->used)) : rest;
    }
    if (!crc) {
      out.fault = SnapshotFault::Unreadable;
      return make_error(crc.error().kind, "cannot read snapshot " + quote_path(path) + ": " + crc.error().message);
    }
    if (*crc != *expected_crc) {
      out.fault = SnapshotFault::Checksum;
      return make_error(ErrorKind::InvalidData, "Snapshot CRC32 mismatch: expected " + hex32(*expected_crc) +
                                                    ", got " + hex32(*crc) + ". File may be corrupted: " +
                                                    quote_path(path));
    }
  }
  if (bare && (!loaded || loaded->used != source.size())) {
    std::string problem_text = "snapshot " + quote_path(path) +
                               " has no valid end marker (\"KCR1\" and a CRC-32) and is not a bare snapshot either: ";
    problem_text += loaded ? "its contents end " + std::to_string(source.size() - loaded->used) +
                                 " bytes before the end of the file"
                           : "it does not decode (" + loaded.error().message + ")";
    out.fault = SnapshotFault::Undecodable;
    return make_error(ErrorKind::InvalidData, std::move(problem_text));
  }
  if (!loaded) {
    if (problem == ColumnsProblem::Inconsistent) {
      out.fault = SnapshotFault::Inconsistent;
      return make_error(ErrorKind::InvalidData, "snapshot validation failed: " + loaded.error().message);
    }
    if (problem == ColumnsProblem::Undecodable) {
      out.fault = SnapshotFault::Undecodable;
      return make_error(ErrorKind::InvalidData,
                        "snapshot " + quote_path(path) + " does not decode: " + loaded.error().message);
    }
    out.fault = SnapshotFault::Unreadable;
    return make_error(loaded.error().kind, "cannot read snapshot " + quote_path(path) + ": " + loaded.error().message);
  }
  (void)keep_going(progress, LOAD_STEPS, LOAD_STEPS);  // built: nothing left to stop
  return std::move(loaded->collection);
}

// A plain or bare format-2 file, read in place; nothing when `path` holds
// something else (the caller reads it the older way).
std::optional<Result<CollectionPtr>> load_columns_file(const std::string& path, bool in_place, SnapshotLoadReport& out,
                                                       Progress* progress, std::uint64_t& steps) {
  auto file = FileHandle::open(path, O_RDONLY | O_NONBLOCK);
  if (!file || !file->require_regular()) return std::nullopt;
  auto size = file->size();
  std::uint8_t head[sizeof COLUMNS_MAGIC];
  if (!size || *size < sizeof head) return std::nullopt;
  auto got = file->read_at(0, head);
  if (!got || *got != sizeof head || !is_columns_payload(head)) return std::nullopt;
  std::uint8_t trailer[PLAIN_TRAILER_BYTES];
  got = file->read_at(*size - PLAIN_TRAILER_BYTES, trailer);
  if (!got) return std::nullopt;
  if (*got == sizeof trailer && starts_with(trailer, PLAIN_MAGIC)) {
    const std::uint32_t stored = (std::uint32_t{trailer[4]} << 24) | (std::uint32_t{trailer[5]} << 16) |
                                 (std::uint32_t{trailer[6]} << 8) | std::uint32_t{trailer[7]};
    return load_columns(path, PayloadSource::of_file(*file, *size - PLAIN_TRAILER_BYTES, in_place), stored, false, out,
                        progress, steps);
  }
  return load_columns(path, PayloadSource::of_file(*file, *size, in_place), std::nullopt, true, out, progress, steps);
}

}  // namespace

std::string snapshot_file_name(std::string_view collection_name) {
  std::string out;
  if (is_safe_file_name(collection_name)) {
    out.reserve(collection_name.size() + SNAPSHOT_EXTENSION.size());
    out.append(collection_name);
  } else if (collection_name.empty()) {
    out.push_back('%');
  } else {
    out.reserve(collection_name.size() * 3 + SNAPSHOT_EXTENSION.size());
    for (std::size_t i = 0; i < collection_name.size(); ++i) {
      const char c = collection_name[i];
      if (c == '/' || c == '\0' || c == '%' || (i == 0 && c == '.')) {
        append_escape(out, static_cast<unsigned char>(c));
      } else {
        out.push_back(c);
      }
    }
  }
  out.append(SNAPSHOT_EXTENSION);
  return out;
}

std::filesystem::path snapshot_path(const std::filesystem::path& directory, std::string_view collection_name) {
  return directory / snapshot_file_name(collection_name);
}

Status save_collection(const Collection& collection, const std::string& directory, const EncryptionKey* key,
                       Progress* progress, std::uint64_t* file_bytes, FileSystem& files) {
  return save_collection_as(collection, directory, std::nullopt, key, progress, file_bytes, files);
}

Status save_collection_as(const Collection& collection, const std::string& directory,
                          const std::optional<std::string>& file_name, const EncryptionKey* key,
                          Progress* progress, std::uint64_t* file_bytes, FileSystem& files) {
  auto state = collection.state().read();  // held until the file is in place
  auto contents = file_contents(encode_snapshot_payload(*state), key);
  if (!contents) return std::unexpected(std::move(contents).error());
  if (file_bytes != nullptr) *file_bytes = contents->size();

  const std::filesystem::path dir(directory);
  const std::filesystem::path final_path = file_name ? dir / *file_name : snapshot_path(dir, state->name);
  if (auto s = files.create_directories(dir, 0777); !s) {
    return std::unexpected(step_error(final_path, "creating its directory", s.error()));
  }
  (void)files.set_mode(dir, 0700);  // best effort: the snapshot is still written

  std::filesystem::path temp = final_path;
  temp += SNAPSHOT_TEMP_SUFFIX;
  if (auto s = write_and_replace(files, temp, final_path, *contents, progress); !s) {
    (void)files.remove(temp);
    return s;
  }
  // Makes the rename itself durable.
  if (auto s = files.sync_directory(dir); !s) return std::unexpected(step_error(final_path, "syncing its directory", s.error()));
  return {};
}

Result<CollectionPtr> load_collection(const std::string& path, const EncryptionKey* key,
                                      SnapshotLoadReport* report, Progress* progress, SnapshotReading reading) {
  SnapshotLoadReport ignored_report;
  SnapshotLoadReport& out = report != nullptr ? *report : ignored_report;
  out = {};
  std::uint64_t steps = 0;
  auto stopped = [&] {
    return make_error(ErrorKind::Cancelled, "loading snapshot " + quote_path(path) + " stopped after " +
                                                std::to_string(steps) + " of " + std::to_string(LOAD_STEPS) +
                                                " steps");
  };
  if (!keep_going(progress, steps, LOAD_STEPS)) return stopped();
  if (auto columns = load_columns_file(path, reading == SnapshotReading::InPlace, out, progress, steps)) {
    return std::move(*columns);
  }
  auto file = read_file(path);
  if (!file) {
    out.fault = SnapshotFault::Unreadable;
    return make_error(file.error().kind, "cannot read snapshot " + quote_path(path) + ": " + file.error().message);
  }
  const std::span<const std::uint8_t> bytes = *file;
  if (!keep_going(progress, ++steps, LOAD_STEPS)) return stopped();

  std::vector<std::uint8_t> opened;
  std::span<const std::uint8_t> payload = bytes;
  bool bare = false;
  if (starts_with(bytes, SEALED_MAGIC)) {
    out.sealed = true;
    if (key == nullptr) {
      out.fault = SnapshotFault::KeyMissing;
      return make_error(ErrorKind::InvalidData,
                        "snapshot " + quote_path(path) + " is encrypted but no encryption key was provided");
    }
    auto plain = key->decrypt(bytes.subspan(4));
    if (!plain) {
      out.fault = SnapshotFault::Unauthenticated;
      return std::unexpected(std::move(plain).error());
    }
    opened = std::move(*plain);
    payload = opened;
    if (is_columns_payload(payload)) {
      if (!keep_going(progress, ++steps, LOAD_STEPS)) return stopped();
      *file = {};
      return load_columns(path, PayloadSource::of_memory(payload), std::nullopt, false, out, progress, steps);
    }
  } else if (bytes.size() >= PLAIN_TRAILER_BYTES &&
             starts_with(bytes.subspan(bytes.size() - PLAIN_TRAILER_BYTES), PLAIN_MAGIC)) {
    payload = bytes.first(bytes.size() - PLAIN_TRAILER_BYTES);
    const std::uint8_t* stored_bytes = bytes.data() + bytes.size() - 4;
    const std::uint32_t stored = (std::uint32_t{stored_bytes[0]} << 24) | (std::uint32_t{stored_bytes[1]} << 16) |
                                 (std::uint32_t{stored_bytes[2]} << 8) | std::uint32_t{stored_bytes[3]};
    const std::uint32_t computed = crc32(payload);
    if (stored != computed) {
      out.fault = SnapshotFault::Checksum;
      return make_error(ErrorKind::InvalidData, "Snapshot CRC32 mismatch: expected " + hex32(stored) + ", got " +
                                                    hex32(computed) + ". File may be corrupted: " + quote_path(path));
    }
  } else {
    bare = true;
  }

  if (!keep_going(progress, ++steps, LOAD_STEPS)) return stopped();

  std::size_t unused = 0;
  // The direct path builds a consistent payload without the intermediate
  // data; anything else goes the general way, which gives its errors.
  if (CollectionPtr built = load_collection_direct(payload, &unused); built && (!bare || unused == 0)) {
    // Decoded and validated: the steps the general path takes one by one.
    if (!keep_going(progress, ++steps, LOAD_STEPS) || !keep_going(progress, ++steps, LOAD_STEPS)) return stopped();
    (void)keep_going(progress, ++steps, LOAD_STEPS);  // built: nothing left to stop
    return built;
  }
  auto data = decode_collection_data(payload, &unused);
  if (bare && (!data || unused != 0)) {
    // Without its end marker a file is only taken as a bare payload when the
    // payload accounts for every byte: a damaged marker must not turn off the
    // checksum.
    std::string problem = "snapshot " + quote_path(path) +
                          " has no valid end marker (\"KCR1\" and a CRC-32) and is not a bare snapshot either: ";
    problem += data ? "its contents end " + std::to_string(unused) + " bytes before the end of the file"
                    : "it does not decode (" + data.error().message + ")";
    out.fault = SnapshotFault::Undecodable;
    return make_error(ErrorKind::InvalidData, std::move(problem));
  }
  if (!data) {
    out.fault = SnapshotFault::Undecodable;
    return make_error(ErrorKind::InvalidData,
                      "snapshot " + quote_path(path) + " does not decode: " + data.error().message);
  }
  // Release the file image before the collection is built from the data.
  opened = {};
  *file = {};

  if (!keep_going(progress, ++steps, LOAD_STEPS)) return stopped();

  if (!data->hnsw.config.store_raw_vectors) {
    data->hnsw.raw_vectors.clear();
    data->hnsw.raw_vectors.shrink_to_fit();
  }
  if (auto problem = validate(*data)) {
    out.fault = SnapshotFault::Inconsistent;
    return make_error(ErrorKind::InvalidData, "snapshot validation failed: " + *problem);
  }
  if (!keep_going(progress, ++steps, LOAD_STEPS)) return stopped();
  CollectionPtr built = build_collection(std::move(*data));
  (void)keep_going(progress, ++steps, LOAD_STEPS);  // built: nothing left to stop
  return built;
}

}  // namespace karvalith

namespace karvalith {

bool is_sealed_snapshot(const std::string& path) {
  auto file = FileHandle::open(path, O_RDONLY | O_NONBLOCK);
  if (!file || !file->require_regular()) return false;
  std::uint8_t head[4];
  auto got = file->read_at(0, head);
  return got && *got == 4 && std::memcmp(head, SEALED_MAGIC, 4) == 0;
}

}  // namespace karvalith
