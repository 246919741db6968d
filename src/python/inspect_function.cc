// inspect_directory: the read-only look into a data directory behind the
// command-line tool's info and verify, returned as plain dicts and lists.
#include "inspect_function.h"

#include <optional>
#include <string>

#include "core/sealing/crypto.h"
#include "core/store/inspect.h"
#include "core/quantization/metric.h"

#include "args.h"
#include "docstrings.h"
#include "errors.h"
#include "gil.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* const INSPECT_PARAMETERS[] = {"path", "encryption_key", "replay"};

// Sets dict[key] = value, stealing `value`; false (exception set) on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* flag(bool value) { return PyBool_FromLong(value ? 1 : 0); }
PyObject* none() { Py_RETURN_NONE; }

// Builds a list from `items` with `convert` (which returns a new reference).
template <class Items, class Convert>
PyObject* list_of(const Items& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* converted = convert(item);
    if (converted == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, converted);
  }
  return list.release();
}

PyObject* snapshot_to_py(const InspectedSnapshot& snapshot) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "file", utf8_to_py(snapshot.file)) || !put(dict.get(), "size", u64(snapshot.size)) ||
      !put(dict.get(), "sealed", flag(snapshot.sealed)) || !put(dict.get(), "loaded", flag(snapshot.loaded)) ||
      !put(dict.get(), "collection", snapshot.loaded ? utf8_to_py(snapshot.collection) : none()) ||
      !put(dict.get(), "documents", u64(snapshot.documents))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* log_to_py(const InspectedLog& log) {
  if (!log.present) Py_RETURN_NONE;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "size", u64(log.size)) || !put(dict.get(), "records", u64(log.records)) ||
      !put(dict.get(), "sealed_records", u64(log.sealed_records)) ||
      !put(dict.get(), "readable_bytes", u64(log.readable_bytes)) || !put(dict.get(), "end", utf8_to_py(log.end))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* collection_to_py(const InspectedCollection& collection) {
  const CollectionSummary& summary = collection.summary;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "name", utf8_to_py(summary.name)) ||
      !put(dict.get(), "dimension", u64(summary.dimension)) ||
      !put(dict.get(), "distance_metric", utf8_to_py(distance_metric_name(summary.distance_metric))) ||
      !put(dict.get(), "documents", u64(summary.document_count)) ||
      !put(dict.get(), "deleted_slots", u64(summary.deleted_slots)) ||
      !put(dict.get(), "estimated_memory_bytes", u64(summary.estimated_memory_bytes)) ||
      !put(dict.get(), "snapshot_file", utf8_or_none(collection.snapshot_file)) ||
      !put(dict.get(), "pending_records", u64(collection.pending_records))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* problem_to_py(const InspectionProblem& problem) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "file", utf8_to_py(problem.file)) || !put(dict.get(), "offset", u64(problem.offset)) ||
      !put(dict.get(), "kind", utf8_to_py(problem.kind)) || !put(dict.get(), "message", utf8_to_py(problem.message)) ||
      !put(dict.get(), "fatal", flag(problem.fatal))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* inspection_to_py(const std::string& path, const DirectoryInspection& inspection) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "path", utf8_to_py(path)) || !put(dict.get(), "replayed", flag(inspection.replayed)) ||
      !put(dict.get(), "snapshots", list_of(inspection.snapshots, snapshot_to_py)) ||
      !put(dict.get(), "log", log_to_py(inspection.log)) ||
      !put(dict.get(), "collections", list_of(inspection.collections, collection_to_py)) ||
      !put(dict.get(), "problems", list_of(inspection.problems, problem_to_py))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* inspect_directory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind_arguments({"inspect_directory", INSPECT_PARAMETERS, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string path;
  std::optional<std::string> key_text;
  std::optional<bool> replay;
  if (!to_path(slots[0], "path", path) || !to_optional_text(slots[1], "encryption_key", key_text) ||
      !to_optional_bool(slots[2], "replay", replay)) {
    return nullptr;
  }
  EncryptionKeyPtr key;
  if (key_text) {
    auto parsed = EncryptionKey::from_hex(*key_text);
    if (!parsed) return raise_error(parsed.error());
    key = std::move(*parsed);
  }
  auto inspected = without_gil([&] { return karvalith::inspect_directory(path, key.get(), replay.value_or(true)); });
  if (!inspected) {
    // Missing and non-directory paths are the file-system errors Python users expect.
    if (inspected.error().kind == ErrorKind::NotFound) {
      return raise_message(PyExc_FileNotFoundError, inspected.error().message);
    }
    if (inspected.error().kind == ErrorKind::InvalidInput) {
      return raise_message(PyExc_NotADirectoryError, inspected.error().message);
    }
    return raise_error(inspected.error());
  }
  return inspection_to_py(path, *inspected);
}

}  // namespace karvalith::py
