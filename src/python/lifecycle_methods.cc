// close, the context manager, and what the open found: status and salvage_log.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "call_progress.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

// Sets `key` of `dict` to a new reference; false (exception set) on failure.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* directory_or_none(const std::optional<std::string>& directory) {
  if (!directory) Py_RETURN_NONE;
  return PyUnicode_DecodeFSDefaultAndSize(directory->data(), static_cast<Py_ssize_t>(directory->size()));
}

PyObject* issue_to_dict(const RecoveryIssue& issue) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "file", utf8_or_none(issue.file)) ||
      !set_item(dict.get(), "offset", PyLong_FromUnsignedLongLong(issue.offset)) ||
      !set_item(dict.get(), "reason", utf8_or_none(issue.reason)) ||
      !set_item(dict.get(), "collection", utf8_or_none(issue.collection)) ||
      !set_item(dict.get(), "data_missing", PyBool_FromLong(issue.data_missing ? 1 : 0))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

void abandon_if_forked(Handle& handle) {
  const std::shared_ptr<Store>& store = handle.store();
  if (!store || store->usable_in_this_process()) return;
  new std::shared_ptr<Store>(handle.release());  // deliberately never freed
}

PyObject* close_handle(Handle& handle) {
  if (refuse_reentry(handle.store().get())) return nullptr;
  // Closing in a forked child only detaches its copy of the handle.
  abandon_if_forked(handle);
  std::shared_ptr<Store> store = handle.release();
  if (!store) Py_RETURN_NONE;
  // Waits for the changes in flight; the last reference may free a large
  // registry: both without the interpreter lock.
  Status closed = without_gil([&] {
    Status done = store->close();
    store.reset();
    return done;
  });
  if (!closed) return raise_error(closed.error());
  Py_RETURN_NONE;
}

PyObject* close(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments({"close", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  return close_handle(handle);
}

PyObject* status(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments({"status", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  // Collection summaries take state locks: read without the interpreter lock.
  struct Counts {
    std::vector<CollectionSummary> summaries;
    std::map<std::string, std::uint64_t> log_records;
  };
  const Counts counts = without_gil([&] {
    Counts read;
    for (const std::string& name : store->list_collections()) {
      if (auto summary = store->collection_info(name)) read.summaries.push_back(std::move(*summary));
    }
    read.log_records = store->log_records_by_collection();
    return read;
  });
  PyRef collections = PyRef::steal(PyDict_New());
  if (!collections) return nullptr;
  for (const CollectionSummary& summary : counts.summaries) {
    const auto logged = counts.log_records.find(summary.name);
    PyRef entry = PyRef::steal(PyDict_New());
    if (!entry || !set_item(entry.get(), "documents", PyLong_FromUnsignedLongLong(summary.document_count)) ||
        !set_item(entry.get(), "deleted_slots", PyLong_FromUnsignedLongLong(summary.deleted_slots)) ||
        !set_item(entry.get(), "log_records",
                  PyLong_FromUnsignedLongLong(logged == counts.log_records.end() ? 0 : logged->second))) {
      return nullptr;
    }
    PyRef key = PyRef::steal(utf8_to_py(summary.name));
    if (!key || PyDict_SetItem(collections.get(), key.get(), entry.get()) != 0) return nullptr;
  }
  // Leaf locks only from here.
  const std::vector<RecoveryIssue> issues = store->recovery_issues();
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const RecoveryIssue& issue : issues) {
    PyRef item = PyRef::steal(issue_to_dict(issue));
    if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "read_only", utf8_or_none(store->read_only_reason())) ||
      PyDict_SetItemString(dict.get(), "issues", list.get()) != 0 ||
      !set_item(dict.get(), "log_bytes", PyLong_FromUnsignedLongLong(store->log_bytes())) ||
      !set_item(dict.get(), "log_records", PyLong_FromUnsignedLongLong(store->log_records())) ||
      !set_item(dict.get(), "checkpoint_error", utf8_or_none(store->checkpoint_error())) ||
      !set_item(dict.get(), "directory", directory_or_none(store->data_dir())) ||
      PyDict_SetItemString(dict.get(), "collections", collections.get()) != 0 ||
      !set_item(dict.get(), "version", PyUnicode_FromString(KARVALITH_VERSION))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* salvage_log(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments({"salvage_log", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  auto damaged = without_gil([&] { return store->salvage_log(); });
  if (!damaged) return raise_error(damaged.error());
  return PyUnicode_DecodeFSDefaultAndSize(damaged->data(), static_cast<Py_ssize_t>(damaged->size()));
}

}  // namespace karvalith::py
