// Karvalith.search: vector, keyword or hybrid search over one collection.
// Every check (arguments, collection, query presence, filter, query shape)
// happens before any index is read; the search runs without the interpreter
// lock, and the hits become SearchResult copies after it is re-taken.
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "core/search/request.h"
#include "embedding.h"
#include "errors.h"
#include "filter_convert.h"
#include "gil.h"
#include "keyword_statistics.h"
#include "methods.h"
#include "py_ref.h"
#include "search_result.h"

namespace karvalith::py {

namespace {

// The request's fields from the arguments in parameter order; nothing is
// looked up yet. The filter (a borrowed reference, null when absent) is
// parsed later, after the checks that come before it.
bool convert_arguments(PyObject* const* slots, std::string& collection, SearchRequest& request,
                       PyObject*& filter) {
  if (!to_text(slots[0], "collection", collection)) return false;
  if (!is_absent(slots[1]) &&
      !to_embedding(slots[1], "argument 'query_embedding'", request.embedding.emplace())) {
    return false;
  }
  if (!to_optional_text(slots[2], "query_text", request.text)) return false;
  if (slots[3] != nullptr && !to_u64(slots[3], "k", request.k)) return false;
  if (!is_absent(slots[4]) && !to_f32(slots[4], "min_similarity", request.min_similarity.emplace())) {
    return false;
  }
  if (slots[5] != nullptr && !to_f32(slots[5], "alpha", request.alpha)) return false;
  if (slots[6] != nullptr) {
    std::string method;
    if (!to_text(slots[6], "fusion_method", method)) return false;
    request.fusion = fusion_method_from_text(method);
  }
  filter = is_absent(slots[7]) ? nullptr : slots[7];
  if (!is_absent(slots[8]) && !to_u64(slots[8], "ef", request.ef.emplace())) return false;
  if (!is_absent(slots[9]) && !to_bm25_statistics(slots[9], request.bm25_statistics.emplace())) return false;
  if (!is_absent(slots[10]) && !to_u64(slots[10], "exact_threshold", request.exact_threshold.emplace())) {
    return false;
  }
  return true;
}

PyObject* results_to_py(const std::vector<ScoredDocument>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_search_result(hits[i].document, hits[i].score);
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

}  // namespace

PyObject* search(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection",    "query_embedding", "query_text",
                                                "k",             "min_similarity",  "alpha",
                                                "fusion_method", "filter",          "ef",
                                                "bm25_statistics", "exact_threshold"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"search", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  SearchRequest request;
  PyObject* filter = nullptr;
  if (!convert_arguments(slots, collection, request, filter)) return nullptr;

  // The collection, then the presence of a query, are checked before the
  // filter is parsed; the store checks both again with the rest.
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  if (Status asked = require_query(request.embedding.has_value(), request.text.has_value()); !asked) {
    return raise_error(asked.error());
  }
  if (filter != nullptr && !to_filter(filter, request.filter.emplace())) return nullptr;

  Result<std::vector<ScoredDocument>> hits = without_gil([&] { return store->search(collection, request); });
  if (!hits) return raise_error(hits.error());
  return results_to_py(*hits);
}

PyObject* batch_search(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "query_embeddings", "k",           "min_similarity",
                                                "filter",     "ef",               "num_threads", "query_texts",
                                                "alpha",      "fusion_method",    "exact_threshold"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"batch_search", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  QueryBatch batch;
  EmbeddingRows embeddings;
  unsigned threads = 0;
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  if (!is_absent(slots[1])) {
    if (!embeddings.convert(slots[1], "argument 'query_embeddings'")) return nullptr;
    batch.has_embeddings = true;
  }
  SearchRequest& shared = batch.shared;
  if (slots[2] != nullptr && !to_u64(slots[2], "k", shared.k)) return nullptr;
  if (!is_absent(slots[3]) && !to_f32(slots[3], "min_similarity", shared.min_similarity.emplace())) return nullptr;
  PyObject* filter = is_absent(slots[4]) ? nullptr : slots[4];
  if (!is_absent(slots[5]) && !to_u64(slots[5], "ef", shared.ef.emplace())) return nullptr;
  if (!to_thread_count(slots[6], threads)) return nullptr;
  if (!is_absent(slots[7])) {
    const PyRef texts = PyRef::steal(to_list(slots[7], "argument 'query_texts'", "list"));
    if (!texts) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
      const std::string label = "query_texts[" + std::to_string(i) + "]";
      if (!to_text(PyList_GET_ITEM(texts.get(), i), label.c_str(), batch.texts.emplace_back())) return nullptr;
    }
    batch.has_texts = true;
  }
  if (slots[8] != nullptr && !to_f32(slots[8], "alpha", shared.alpha)) return nullptr;
  if (slots[9] != nullptr) {
    std::string method;
    if (!to_text(slots[9], "fusion_method", method)) return nullptr;
    shared.fusion = fusion_method_from_text(method);
  }
  if (!is_absent(slots[10]) && !to_u64(slots[10], "exact_threshold", shared.exact_threshold.emplace())) {
    return nullptr;
  }
  batch.embeddings = embeddings.rows();

  // The order of search's checks: collection, a query at all, the filter.
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  if (Status asked = require_query(batch.has_embeddings, batch.has_texts); !asked) return raise_error(asked.error());
  if (filter != nullptr && !to_filter(filter, shared.filter.emplace())) return nullptr;

  auto answers = without_gil([&] { return store->batch_search(collection, batch, threads); });
  if (!answers) return raise_error(answers.error());
  PyRef lists = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(answers->size())));
  if (!lists) return nullptr;
  for (std::size_t i = 0; i < answers->size(); ++i) {
    PyObject* results = results_to_py((*answers)[i]);
    if (results == nullptr) return nullptr;
    PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), results);
  }
  return lists.release();
}

}  // namespace karvalith::py
