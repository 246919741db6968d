// Karvalith methods on whole collections: create, delete, list, describe,
// rebuild and measure.
#include <limits>
#include <optional>
#include <string>

#include "args.h"
#include "collection_info.h"
#include "core/quantization/metric.h"
#include "errors.h"
#include "methods.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

// 2 * m, clamped instead of wrapping for absurd m.
std::uint64_t layer0_links(std::uint64_t m) {
  constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  return m > limit / 2 ? limit : 2 * m;
}

PyObject* utf8_to_py(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

constexpr const char* const NAME_PARAMETER[] = {"name"};
constexpr const char* const COLLECTION_PARAMETER[] = {"collection"};

}  // namespace

PyObject* create_collection(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr const char* const names[] = {
      "name",      "dimension",       "m", "ef_construction", "ef_search",
      "distance_metric", "store_raw_vectors"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"create_collection", names, 2}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  std::string name;
  std::uint64_t dimension = 0;
  std::optional<std::uint64_t> m;
  std::optional<std::uint64_t> ef_construction;
  std::optional<std::uint64_t> ef_search;
  std::optional<std::string> metric_text;
  std::optional<bool> store_raw_vectors;
  if (!to_text(slots[0], "name", name) || !to_u64(slots[1], "dimension", dimension) ||
      !to_optional_u64(slots[2], "m", m) ||
      !to_optional_u64(slots[3], "ef_construction", ef_construction) ||
      !to_optional_u64(slots[4], "ef_search", ef_search) ||
      !to_optional_text(slots[5], "distance_metric", metric_text) ||
      !to_optional_bool(slots[6], "store_raw_vectors", store_raw_vectors)) {
    return nullptr;
  }

  HnswConfig config;
  config.m = m.value_or(16);
  config.m_max0 = layer0_links(config.m);
  config.ef_construction = ef_construction.value_or(200);
  config.ef_search = ef_search.value_or(50);
  config.max_layers = 16;
  config.pq_subspaces = 0;
  config.store_raw_vectors = store_raw_vectors.value_or(false);
  if (metric_text) {
    const std::optional<DistanceMetric> metric = parse_distance_metric(*metric_text);
    if (!metric) {
      return raise_message(PyExc_ValueError,
                           "unknown distance metric: '" + *metric_text +
                               "' (use 'cosine', 'euclidean', or 'dot_product')");
    }
    config.distance_metric = *metric;
  } else {
    config.distance_metric = DistanceMetric::Cosine;
  }
  // A graph with fewer than two links per node, or a zero-width construction
  // beam, cannot be searched usefully; refuse it before anything is logged.
  if (config.m < 2) {
    return raise_message(PyExc_ValueError, "m must be at least 2, got " + std::to_string(config.m));
  }
  if (config.ef_construction < 1) {
    return raise_message(PyExc_ValueError, "ef_construction must be at least 1, got 0");
  }

  if (Status logged = handle.log_mutation(CreateCollectionRecord{name, dimension, config});
      !logged) {
    return raise_error(logged.error());
  }
  if (Status created = handle.database().create_collection(std::move(name), dimension, config);
      !created) {
    return raise_error(created.error());
  }
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
  if (Status logged = handle.log_mutation(DeleteCollectionRecord{name}); !logged) {
    return raise_error(logged.error());
  }
  return PyBool_FromLong(handle.database().delete_collection(name) ? 1 : 0);
}

PyObject* list_collections(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!bind_arguments({"list_collections", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  const std::vector<std::string> names = handle.database().list_collections();
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
  Result<CollectionPtr> collection = handle.collection(name);
  if (!collection) return raise_error(collection.error());

  CollectionSummary summary;
  {
    const auto state = (*collection)->state().read();
    summary.name = state->name;
    summary.dimension = state->dimension;
    summary.document_count = state->documents.size();
  }
  // The estimate takes the shared lock itself; the guard above is released.
  summary.estimated_memory_bytes = (*collection)->estimate_memory_bytes();
  return new_collection_info(std::move(summary));
}

PyObject* rebuild(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments({"rebuild", COLLECTION_PARAMETER, 1}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(slots[0], "collection", name)) return nullptr;
  Result<CollectionPtr> collection = handle.collection(name);
  if (!collection) return raise_error(collection.error());
  Result<std::uint64_t> gathered = (*collection)->rebuild();
  if (!gathered) return raise_error(gathered.error());
  return PyLong_FromUnsignedLongLong(*gathered);
}

PyObject* total_memory_bytes(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  if (!bind_arguments({"total_memory_bytes", {}, 0}, args, nargs, kwnames, {})) return nullptr;
  return PyLong_FromUnsignedLongLong(handle.database().total_memory_bytes());
}

}  // namespace karvalith::py
