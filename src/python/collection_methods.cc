// Karvalith methods on whole collections: create, delete, list, describe,
// rebuild and measure.
#include <optional>
#include <string>

#include "args.h"
#include "call_progress.h"
#include "collection_info.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* const NAME_PARAMETER[] = {"name"};

}  // namespace

PyObject* create_collection(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr const char* const names[] = {
      "name",      "dimension",       "m", "ef_construction", "ef_search",
      "distance_metric", "store_raw_vectors", "exist_ok", "walk_bits"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"create_collection", names, 2}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  std::string name;
  std::uint64_t dimension = 0;
  CollectionOptions options;
  if (!to_text(slots[0], "name", name) || !to_u64(slots[1], "dimension", dimension) ||
      !to_optional_u64(slots[2], "m", options.m) ||
      !to_optional_u64(slots[3], "ef_construction", options.ef_construction) ||
      !to_optional_u64(slots[4], "ef_search", options.ef_search) ||
      !to_optional_text(slots[5], "distance_metric", options.distance_metric) ||
      !to_optional_bool(slots[6], "store_raw_vectors", options.store_raw_vectors) ||
      !to_optional_u64(slots[8], "walk_bits", options.walk_bits)) {
    return nullptr;
  }
  std::optional<bool> exist_ok;
  if (!to_optional_bool(slots[7], "exist_ok", exist_ok)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  Status created = without_gil(
      [&] { return store->create_collection(name, dimension, options, exist_ok.value_or(false)); });
  if (!created) return raise_error(created.error());
  Py_RETURN_NONE;
}

PyObject* delete_collection(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments({"delete_collection", NAME_PARAMETER, 1}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(slots[0], "name", name)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  Result<bool> deleted = without_gil([&] { return store->delete_collection(name); });
  if (!deleted) return raise_error(deleted.error());
  return PyBool_FromLong(*deleted ? 1 : 0);
}

PyObject* list_collections(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!bind_arguments({"list_collections", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  const std::vector<std::string> names = store->list_collections();  // registry lock only
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* item = utf8_to_py(names[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* collection_info(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments({"collection_info", NAME_PARAMETER, 1}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(slots[0], "name", name)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  Result<CollectionSummary> summary = without_gil([&] { return store->collection_info(name); });
  if (!summary) return raise_error(summary.error());
  return new_collection_info(std::move(*summary));
}

PyObject* rebuild(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "num_threads", "progress"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"rebuild", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string name;
  unsigned threads = 0;
  PyRef progress_callable;
  bool close_bar = false;
  if (!to_text(slots[0], "collection", name) || !to_thread_count(slots[1], threads) ||
      !to_call_progress(slots[2], "rebuild", progress_callable, close_bar)) {
    return nullptr;
  }
  const std::shared_ptr<Store> store = handle.store();
  CallProgress progress(std::move(progress_callable), close_bar, store.get());
  Result<std::uint64_t> gathered = without_gil([&] { return store->rebuild(name, threads, &progress); });
  if (!gathered) return progress.raise_failure("rebuild", gathered.error());
  if (!progress.finish("rebuild completed: the new indexes are in use")) return nullptr;
  return PyLong_FromUnsignedLongLong(*gathered);
}

PyObject* total_memory_bytes(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  if (!bind_arguments({"total_memory_bytes", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  return PyLong_FromUnsignedLongLong(without_gil([&] { return store->total_memory_bytes(); }));
}

}  // namespace karvalith::py
