#include "core/hnsw/search.h"

namespace karvalith {

SearchStats& thread_search_stats() {
  thread_local SearchStats stats;
  return stats;
}

void search_detail::record_search(std::uint64_t distances) {
  SearchStats& stats = thread_search_stats();
  ++stats.searches;
  stats.distance_computations += distances;
}

Result<std::vector<Candidate>> HnswIndex::knn_search(std::span<const float> query,
                                                     std::uint64_t k) const {
  std::vector<Candidate> out;
  auto status = knn_search_into(query, k, out);
  if (!status) return std::unexpected(std::move(status.error()));
  return out;
}

Status HnswIndex::knn_search_into(std::span<const float> query, std::uint64_t k,
                                  std::vector<Candidate>& out) const {
  assert(query.size() == dimension_);
  return karvalith::knn_search(*this, query, k, config_.ef_search, AdmitAll{}, out);
}

}  // namespace karvalith
