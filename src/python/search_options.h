// The options search and batch_search share, converted once: from the
// arguments as given to the fields of a SearchRequest, and the checks both
// make before any index is read. Functions returning bool have set a Python
// exception when they return false.
#pragma once

#include <Python.h>

#include <string>

#include "core/search/request.h"
#include "core/store/store.h"

namespace karvalith::py {

// Borrowed references, null where the argument was not given. k, alpha and
// fusion_method take no None; the others read None as not given.
struct SearchOptionArgs {
  PyObject* k = nullptr;
  PyObject* min_similarity = nullptr;
  PyObject* alpha = nullptr;
  PyObject* fusion_method = nullptr;
  PyObject* ef = nullptr;
  PyObject* bm25_statistics = nullptr;  // search only
  PyObject* exact_threshold = nullptr;
};

// Converts in the order of the fields above; an option not given keeps the
// default of SearchRequest (core/search/request.h).
bool to_search_options(const SearchOptionArgs& args, SearchRequest& request);

// The checks before the search, in this order: the collection exists, a
// query is given, then the filter (null when not given) is parsed into
// request.filter. The store checks the first two again with the rest.
bool check_and_read_filter(const Store& store, const std::string& collection, bool has_embedding, bool has_text,
                           PyObject* filter, SearchRequest& request);

}  // namespace karvalith::py
