// Karvalith.search and batch_search: vector, keyword or hybrid search over
// one collection, for one query or many. The options they share are
// converted by search_options.h. Every check (arguments, collection, query
// presence, filter, query shape) happens before any index is read; the search
// runs without the interpreter lock, and the hits become SearchResult copies
// after it is re-taken.
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "core/search/request.h"
#include "embedding.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"
#include "py_ref.h"
#include "search_options.h"
#include "search_result.h"

namespace karvalith::py {

namespace {

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
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  if (!is_absent(slots[1]) &&
      !to_embedding(slots[1], "argument 'query_embedding'", request.embedding.emplace())) {
    return nullptr;
  }
  if (!to_optional_text(slots[2], "query_text", request.text)) return nullptr;
  const SearchOptionArgs options{.k = slots[3], .min_similarity = slots[4], .alpha = slots[5],
                                 .fusion_method = slots[6], .ef = slots[8], .bm25_statistics = slots[9],
                                 .exact_threshold = slots[10]};
  if (!to_search_options(options, request)) return nullptr;

  const std::shared_ptr<Store> store = handle.store();
  PyObject* const filter = is_absent(slots[7]) ? nullptr : slots[7];
  if (!check_and_read_filter(*store, collection, request.embedding.has_value(), request.text.has_value(), filter,
                             request)) {
    return nullptr;
  }

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
  const SearchOptionArgs options{.k = slots[2], .min_similarity = slots[3], .alpha = slots[8],
                                 .fusion_method = slots[9], .ef = slots[5], .exact_threshold = slots[10]};
  if (!to_search_options(options, batch.shared)) return nullptr;
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
  batch.embeddings = embeddings.rows();

  const std::shared_ptr<Store> store = handle.store();
  PyObject* const filter = is_absent(slots[4]) ? nullptr : slots[4];
  if (!check_and_read_filter(*store, collection, batch.has_embeddings, batch.has_texts, filter, batch.shared)) {
    return nullptr;
  }

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
