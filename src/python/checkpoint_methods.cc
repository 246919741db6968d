// save, load and compact: the checkpoint methods.
#include <optional>
#include <string>

#include "args.h"
#include "call_progress.h"
#include "core/sealing/crypto.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"

namespace karvalith::py {

namespace {

constexpr const char* const SAVE_PARAMETERS[] = {"collection", "path", "encryption_key", "progress"};
constexpr const char* const LOAD_PARAMETERS[] = {"name", "path", "encryption_key", "progress"};
constexpr const char* const COMPACT_PARAMETERS[] = {"progress"};

// Parses a key given for one call; the returned key wipes its bytes when
// the call drops it. Sets ValueError and returns false on bad text.
bool parse_call_key(const std::optional<std::string>& text, EncryptionKeyPtr& key) {
  if (!text) return true;
  auto parsed = EncryptionKey::from_hex(*text);
  if (!parsed) {
    raise_error(parsed.error());
    return false;
  }
  key = std::move(*parsed);
  return true;
}

}  // namespace

PyObject* save(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  if (!bind_arguments({"save", SAVE_PARAMETERS, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  std::optional<std::string> path;
  std::optional<std::string> key_text;
  PyRef progress_callable;
  bool close_bar = false;
  if (!to_text(slots[0], "collection", collection) || !to_optional_path(slots[1], "path", path) ||
      !to_optional_text(slots[2], "encryption_key", key_text) ||
      !to_call_progress(slots[3], "save", progress_callable, close_bar)) {
    return nullptr;
  }
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  if (auto directory = store->checkpoint_directory(path); !directory) return raise_error(directory.error());
  EncryptionKeyPtr key;
  if (!parse_call_key(key_text, key)) return nullptr;
  CallProgress progress(std::move(progress_callable), close_bar, store.get());
  Status saved = without_gil([&] { return store->save(collection, path, key.get(), &progress); });
  if (!saved) return progress.raise_failure("save", saved.error());
  if (!progress.finish("save completed: the snapshot is written")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* load(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  if (!bind_arguments({"load", LOAD_PARAMETERS, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string name;
  std::optional<std::string> path;
  std::optional<std::string> key_text;
  PyRef progress_callable;
  bool close_bar = false;
  if (!to_text(slots[0], "name", name) || !to_optional_path(slots[1], "path", path) ||
      !to_optional_text(slots[2], "encryption_key", key_text) ||
      !to_call_progress(slots[3], "load", progress_callable, close_bar)) {
    return nullptr;
  }
  const std::shared_ptr<Store> store = handle.store();
  if (auto directory = store->checkpoint_directory(path); !directory) return raise_error(directory.error());
  EncryptionKeyPtr key;
  if (!parse_call_key(key_text, key)) return nullptr;
  CallProgress progress(std::move(progress_callable), close_bar, store.get());
  Status loaded = without_gil([&] { return store->load(name, path, key.get(), &progress); });
  if (!loaded) return progress.raise_failure("load", loaded.error());
  if (!progress.finish("load completed: the collection is loaded")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* compact(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments({"compact", COMPACT_PARAMETERS, 0}, args, nargs, kwnames, slots)) return nullptr;
  PyRef progress_callable;
  bool close_bar = false;
  if (!to_call_progress(slots[0], "compact", progress_callable, close_bar)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  CallProgress progress(std::move(progress_callable), close_bar, store.get());
  Status compacted = without_gil([&] { return store->compact(&progress); });
  if (!compacted) return progress.raise_failure("compact", compacted.error());
  if (!progress.finish("compact completed: the snapshots are written and the log emptied")) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace karvalith::py
