// Insertion of one node: level draw, greedy descent, per-layer linking with
// the neighbour-selection heuristic, and back-links with pruning.
#include <algorithm>
#include <utility>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/search.h"
#include "core/hnsw/thread_context.h"

namespace karvalith {

Status HnswIndex::insert(std::uint32_t id, std::span<const float> vector, QuantizedVector qv) {
  assert(id == node_count_);
  assert(vector.size() == dimension_);
  assert(qv.codes.size() == dimension_);

  auto lease = borrow_insertion_context();
  if (!lease) return std::unexpected(std::move(lease.error()));
  InsertScratch& work = lease->insert();

  // The product-quantization code is the only step that can fail, so it
  // comes before any change.
  work.pq_code.clear();
  if (pq_codebook_) {
    if (!pq_usable_) {
      return make_error(ErrorKind::Internal, "product-quantization codebook does not match the index");
    }
    auto encoded = pq_codebook_->encode_into(vector, work.pq_code);
    if (!encoded) return encoded;
  }

  const std::uint8_t level = draw_level(config_.m, config_.max_layers);
  std::vector<std::vector<std::uint32_t>> upper(level);

  if (!entry_point_) {
    store_node(vector, qv, work.pq_code, level, {}, std::move(upper));
    entry_point_ = id;
    max_level_ = level;
    return {};
  }

  const float qnorm = squared_norm(vector);
  VisitedSet& visited = lease->visited();
  SearchScratch& scratch = lease->search();
  visited.grow(node_count_);

  const std::uint32_t entry = *entry_point_;
  const std::uint64_t top = std::min<std::uint64_t>(max_level_, level);

  // Deleted nodes take part in construction like live ones: searches walk
  // through them, so linking to them keeps every new node reachable even
  // when all its neighbours (or the whole graph) have been deleted.
  const AdmitAll every_node;

  // Greedy descent to the new node's level (layers without any list cannot
  // move the entry point).
  std::uint32_t ep = entry;
  for (std::uint64_t layer = std::min(max_level_, top_list_layer_); layer > level; --layer) {
    const std::uint32_t from = ep;
    if (walk_layer(*this, scratch, visited, vector, qnorm, nullptr, {&from, 1}, 1, layer, every_node) > 0) {
      ep = scratch.results[0].id;
    }
  }

  work.level0.clear();
  work.entries.assign(1, ep);
  for (std::uint64_t layer = top;; --layer) {
    const std::size_t found = walk_layer(*this, scratch, visited, vector, qnorm, nullptr, work.entries,
                                         config_.ef_construction, layer, every_node);
    const std::uint64_t bound = layer == 0 ? config_.m_max0 : config_.m;
    select_neighbors_heuristic(*this, {scratch.results.data(), found}, bound, work.heuristic, work.selected);
    auto& list = layer == 0 ? work.level0 : upper[layer - 1];
    list.clear();
    for (const Candidate& c : work.selected) list.push_back(c.id);
    if (found == 0) {
      work.entries.assign(1, entry);
    } else {
      work.entries.clear();
      for (std::size_t i = 0; i < found; ++i) work.entries.push_back(scratch.results[i].id);
    }
    if (layer == 0) break;
  }

  store_node(vector, qv, work.pq_code, level, work.level0, std::move(upper));

  // Back-links, from layer 0 upwards, in the order of the new node's lists.
  for (std::uint64_t layer = 0; layer <= top; ++layer) {
    if (layer == 0) {
      for (const std::uint32_t w : work.level0) add_back_link(w, 0, id, work);
    } else {
      // Re-fetched each time: the guard in add_back_link may grow upper_.
      for (std::size_t i = 0; i < upper_[upper_slot_[id]][layer - 1].size(); ++i) {
        add_back_link(upper_[upper_slot_[id]][layer - 1][i], layer, id, work);
      }
    }
  }

  if (level > max_level_) {
    max_level_ = level;
    entry_point_ = id;
  }
  return {};
}

void HnswIndex::store_node(std::span<const float> vector, const QuantizedVector& qv,
                           std::span<const std::uint8_t> pq_code, std::uint8_t level,
                           std::span<const std::uint32_t> level0,
                           std::vector<std::vector<std::uint32_t>> upper) {
  const std::size_t n = node_count_;
  const std::size_t dim = dimension_;

  reserve_level0(level0.size());
  blocks_.resize(blocks_.size() + stride_, 0);
  // Rows keep exactly `dimension` codes even if a caller broke the contract.
  std::vector<std::uint8_t> padded;
  const std::uint8_t* codes = qv.codes.data();
  if (qv.codes.size() < dim) {
    padded.assign(dim, 0);
    std::copy(qv.codes.begin(), qv.codes.end(), padded.begin());
    codes = padded.data();
  }
  write_vector(static_cast<std::uint32_t>(n), codes, qv.min, qv.scale);

  // Raw vectors stay all or nothing, so every node's raw row exists when any does.
  if ((config_.store_raw_vectors || !raw_vectors_.empty()) && raw_vectors_.size() == n * dim) {
    const std::size_t raw_count = std::min(vector.size(), dim);
    raw_vectors_.insert(raw_vectors_.end(), vector.begin(), vector.begin() + raw_count);
    raw_vectors_.resize((n + 1) * dim, 0.0f);
  }

  if (pq_codebook_) pq_codes_.insert(pq_codes_.end(), pq_code.begin(), pq_code.end());

  std::uint32_t* row = row0(static_cast<std::uint32_t>(n));
  row[0] = static_cast<std::uint32_t>(level0.size());
  std::copy(level0.begin(), level0.end(), row + 1);

  top_list_layer_ = std::max<std::uint64_t>(top_list_layer_, upper.size());
  upper_slot_.push_back(NO_UPPER);
  if (!upper.empty()) {
    upper_slot_.back() = static_cast<std::uint32_t>(upper_.size());
    upper_.push_back(std::move(upper));
  }
  layers_.push_back(level);
  deleted_.push_back(0);
  ++node_count_;
  refresh_pq_usable();
}

namespace {

// Distances from node w to each id: exact on raw vectors, else from the codes.
void distances_from(const HnswIndex& index, std::uint32_t w, std::span<const std::uint32_t> ids,
                    InsertScratch& work) {
  work.pairs.clear();
  if (index.has_raw_vectors()) {
    const ExactDistance distance(index.config().distance_metric, index.dimension());
    const float* base = index.raw_vector(w).data();
    for (const std::uint32_t c : ids) work.pairs.push_back(Candidate{distance(base, index.raw_vector(c).data()), c});
    return;
  }
  const CodeDistance distance(index);
  const CodeDistance::Terms base = distance.terms(w);
  for (const std::uint32_t c : ids) work.pairs.push_back(Candidate{distance(base, distance.terms(c)), c});
}

}  // namespace

void HnswIndex::add_back_link(std::uint32_t w, std::uint64_t layer, std::uint32_t new_id,
                              InsertScratch& work) {
  const std::uint64_t bound = layer == 0 ? config_.m_max0 : config_.m;

  if (layer == 0) {
    std::uint32_t* row = row0(w);
    const std::uint64_t count = row[0];
    if (count + 1 <= bound) {
      if (count + 1 > capacity0_) {
        reserve_level0(count + 1);
        row = row0(w);
      }
      row[1 + count] = new_id;
      row[0] = static_cast<std::uint32_t>(count + 1);
      return;
    }
    // The list would exceed its bound: prune the list plus the new id
    // without storing the overflow.
    work.ids.assign(row + 1, row + 1 + count);
    work.ids.push_back(new_id);
    distances_from(*this, w, work.ids, work);
    select_neighbors_heuristic(*this, work.pairs, bound, work.heuristic, work.selected);
    if (work.selected.size() > capacity0_) reserve_level0(work.selected.size());
    row = row0(w);
    row[0] = static_cast<std::uint32_t>(work.selected.size());
    for (std::size_t i = 0; i < work.selected.size(); ++i) row[1 + i] = work.selected[i].id;
    return;
  }

  auto& lists = upper_lists_for_update(w);
  if (lists.size() < layer) {  // guard for nodes with too few lists
    lists.resize(layer);
    top_list_layer_ = std::max(top_list_layer_, layer);
  }
  auto& list = lists[layer - 1];
  list.push_back(new_id);
  if (list.size() <= bound) return;
  distances_from(*this, w, list, work);
  select_neighbors_heuristic(*this, work.pairs, bound, work.heuristic, work.selected);
  list.clear();
  for (const Candidate& c : work.selected) list.push_back(c.id);
}

}  // namespace karvalith
