// Karvalith.search: vector, keyword or hybrid search over one collection.
// Every check (arguments, collection, query presence, filter, query shape)
// happens before any index is read; the hits become SearchResult copies only
// after the collection lock is released.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "core/engine/collection_search.h"
#include "embedding.h"
#include "errors.h"
#include "methods.h"
#include "py_ref.h"
#include "search_result.h"

namespace karvalith::py {

namespace {

constexpr std::uint64_t DEFAULT_K = 10;
constexpr double DEFAULT_ALPHA = 0.7;
constexpr const char* DEFAULT_FUSION_METHOD = "rrf";

// Nearest f32 to a double, ties to even; beyond the largest float (plus half
// its spacing) the result is infinite, as with IEEE conversion.
float round_to_f32(double value) {
  constexpr double OVERFLOW_THRESHOLD = 0x1.ffffffp127;
  if (std::isfinite(value) && std::fabs(value) >= OVERFLOW_THRESHOLD) {
    return value > 0 ? HUGE_VALF : -HUGE_VALF;
  }
  return static_cast<float>(value);
}

// Any object convertible to a Python float (float, int, __float__, __index__).
bool to_f32(PyObject* value, const char* param, float& out) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) return name_parameter_in_error(param);
  out = round_to_f32(converted);
  return true;
}

// Reads "must" then "must_not" of a filter dict; a missing key is an empty
// list, a present one (None included) goes through py_to_filter_conditions.
bool to_filter(PyObject* object, MetadataFilter& out) {
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument 'filter': expected dict, got %s", Py_TYPE(object)->tp_name);
    return false;
  }
  for (auto [key, list] : {std::pair{"must", &out.must}, std::pair{"must_not", &out.must_not}}) {
    PyObject* found = nullptr;
    if (!dict_lookup(object, key, found)) return false;
    if (found == nullptr) continue;
    PyRef held = PyRef::borrow(found);
    if (!py_to_filter_conditions(held.get(), *list)) return false;
  }
  return true;
}

struct SearchRequest {
  std::string collection;
  std::optional<std::vector<float>> query_embedding;
  std::optional<std::string> query_text;
  std::uint64_t k = DEFAULT_K;
  std::optional<float> min_similarity;
  float alpha = round_to_f32(DEFAULT_ALPHA);
  std::string fusion_method = DEFAULT_FUSION_METHOD;
  PyObject* filter = nullptr;  // borrowed; null when absent
};

// Converts the arguments in parameter order; nothing is looked up yet.
bool convert_arguments(PyObject* const* slots, SearchRequest& request) {
  if (!to_text(slots[0], "collection", request.collection)) return false;
  if (!is_absent(slots[1]) &&
      !to_embedding(slots[1], "argument 'query_embedding'", request.query_embedding.emplace())) {
    return false;
  }
  if (!to_optional_text(slots[2], "query_text", request.query_text)) return false;
  if (slots[3] != nullptr && !to_u64(slots[3], "k", request.k)) return false;
  if (!is_absent(slots[4]) && !to_f32(slots[4], "min_similarity", request.min_similarity.emplace())) {
    return false;
  }
  if (slots[5] != nullptr && !to_f32(slots[5], "alpha", request.alpha)) return false;
  if (slots[6] != nullptr && !to_text(slots[6], "fusion_method", request.fusion_method)) return false;
  request.filter = is_absent(slots[7]) ? nullptr : slots[7];
  return true;
}

// Runs the path the request selects. The collection's lock is held inside
// each call only.
Result<std::vector<ScoredDocument>> run_search(const Collection& collection, const SearchRequest& request,
                                               const MetadataFilter* filter) {
  if (request.query_embedding && request.query_text) {
    return hybrid_search(collection, *request.query_embedding, *request.query_text, request.k,
                         request.min_similarity, request.alpha, request.fusion_method, filter);
  }
  if (request.query_embedding) {
    if (filter != nullptr) {
      return vector_search_filtered(collection, *request.query_embedding, request.k, request.min_similarity,
                                    *filter);
    }
    return vector_search(collection, *request.query_embedding, request.k, request.min_similarity);
  }
  // Keyword only: the filter was checked but restricts nothing, and no
  // threshold applies.
  return keyword_search(collection, *request.query_text, request.k);
}

PyObject* results_to_py(const std::vector<ScoredDocument>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_search_result(*hits[i].document, hits[i].score);
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

}  // namespace

PyObject* search(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "query_embedding", "query_text",    "k",
                                                "min_similarity", "alpha",        "fusion_method", "filter"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"search", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  SearchRequest request;
  if (!convert_arguments(slots, request)) return nullptr;

  Result<CollectionPtr> collection = handle.collection(request.collection);
  if (!collection) return raise_error(collection.error());
  if (!request.query_embedding && !request.query_text) {
    return raise_message(PyExc_ValueError, "at least one of query_embedding or query_text is required");
  }
  std::optional<MetadataFilter> filter;
  if (request.filter != nullptr && !to_filter(request.filter, filter.emplace())) return nullptr;
  if (request.query_embedding) {
    if (Status valid = validate_query(**collection, *request.query_embedding); !valid) {
      return raise_error(valid.error());
    }
  }

  Result<std::vector<ScoredDocument>> hits = run_search(**collection, request, filter ? &*filter : nullptr);
  if (!hits) return raise_error(hits.error());
  return results_to_py(*hits);
}

}  // namespace karvalith::py
