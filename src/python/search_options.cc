#include "search_options.h"

#include "args.h"
#include "errors.h"
#include "filter_convert.h"
#include "handle.h"
#include "keyword_statistics.h"

namespace karvalith::py {

bool to_search_options(const SearchOptionArgs& args, SearchRequest& request) {
  if (args.k != nullptr && !to_u64(args.k, "k", request.k)) return false;
  if (!is_absent(args.min_similarity) &&
      !to_f32(args.min_similarity, "min_similarity", request.min_similarity.emplace())) {
    return false;
  }
  if (args.alpha != nullptr && !to_f32(args.alpha, "alpha", request.alpha)) return false;
  if (args.fusion_method != nullptr) {
    std::string method;
    if (!to_text(args.fusion_method, "fusion_method", method)) return false;
    request.fusion = fusion_method_from_text(method);
  }
  if (!is_absent(args.ef) && !to_u64(args.ef, "ef", request.ef.emplace())) return false;
  if (!is_absent(args.bm25_statistics) &&
      !to_bm25_statistics(args.bm25_statistics, request.bm25_statistics.emplace())) {
    return false;
  }
  return is_absent(args.exact_threshold) ||
         to_u64(args.exact_threshold, "exact_threshold", request.exact_threshold.emplace());
}

bool check_and_read_filter(const Store& store, const std::string& collection, bool has_embedding, bool has_text,
                           PyObject* filter, SearchRequest& request) {
  if (!require_collection(store, collection)) return false;
  if (Status asked = require_query(has_embedding, has_text); !asked) {
    raise_error(asked.error());
    return false;
  }
  return filter == nullptr || to_filter(filter, request.filter.emplace());
}

}  // namespace karvalith::py
