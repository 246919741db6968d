// Insertion of one node: level draw, greedy descent, per-layer linking with
// the neighbour-selection heuristic, and back-links with pruning.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/search.h"
#include "core/common/parallel.h"
#include "core/hnsw/node_locks.h"
#include "core/hnsw/thread_context.h"

namespace karvalith {

Status HnswIndex::insert(std::uint32_t id, std::span<const float> vector, QuantizedVector qv) {
  assert(id == node_count_);
  assert(vector.size() == dimension_);
  assert(qv.codes.size() == dimension_);

  auto lease = borrow_insertion_context();
  if (!lease) return std::unexpected(std::move(lease.error()));

  const std::uint8_t level = draw_level(config_.m, config_.max_layers);
  if (!entry_point_) {
    store_node(vector, qv, level, {}, std::vector<std::vector<std::uint32_t>>(level));
    entry_point_ = id;
    max_level_ = level;
    recentre_if_grown();
    return {};
  }

  // One thread alone changes the graph: links are read in place, and the
  // node is stored once its lists are chosen (so its own walk never meets it).
  link_new_node(id, vector, level, *entry_point_, max_level_, *lease, DirectLinks{}, nullptr,
                [&](std::span<const std::uint32_t> level0, std::vector<std::vector<std::uint32_t>> upper) {
                  store_node(vector, qv, level, level0, std::move(upper));
                });
  if (level > max_level_) {
    max_level_ = level;
    entry_point_ = id;
  }
  recentre_if_grown();
  return {};
}

template <class Links, class StoreLists>
void HnswIndex::link_new_node(std::uint32_t id, std::span<const float> vector, std::uint8_t level,
                              std::uint32_t entry, std::uint64_t max_level, ContextLease& lease, const Links& links,
                              NodeLocks* locks, StoreLists&& store_lists) {
  InsertScratch& work = lease.insert();
  // The vector is the walks' query; scaled for cosine when huge.
  const PreparedQuery prepared = prepare_query(config_.distance_metric, vector, work.query);
  const std::span<const float> query = prepared.values;
  const float qnorm = prepared.norm_sq;
  VisitedSet& visited = lease.visited();
  SearchScratch& scratch = lease.search();
  visited.grow(node_count_);
  const std::uint64_t top = std::min<std::uint64_t>(max_level, level);
  std::vector<std::vector<std::uint32_t>> upper(level);

  // Deleted nodes take part in construction like live ones: searches walk
  // through them, so linking to them keeps every new node reachable even
  // when all its neighbours (or the whole graph) have been deleted.
  const AdmitAll every_node;

  // Greedy descent to the new node's level.
  const std::uint32_t ep =
      greedy_descent(*this, scratch, visited, query, qnorm, entry, max_level, level, every_node, links);

  work.level0.clear();
  work.entries.assign(1, ep);
  for (std::uint64_t layer = top;; --layer) {
    const std::size_t found = walk_layer(*this, scratch, visited, query, qnorm, work.entries,
                                         config_.ef_construction, layer, every_node, links);
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

  store_lists(work.level0, std::move(upper));

  // Back-links, from layer 0 upwards, in the order of the new node's lists.
  // Each changes only the neighbour's own list (under its lock when several
  // threads insert).
  for (std::uint64_t layer = 0; layer <= top; ++layer) {
    if (layer == 0) {
      for (const std::uint32_t w : work.level0) {
        if (locks != nullptr) {
          NodeLocks::Guard guard(*locks, w);
          add_back_link(w, 0, id, work);
        } else {
          add_back_link(w, 0, id, work);
        }
      }
    } else {
      {
        // A copy: the new node's own upper list may be pruned by another
        // thread's back-link meanwhile.
        std::optional<NodeLocks::Guard> guard;
        if (locks != nullptr) guard.emplace(*locks, id);
        const LinkList own = neighbors(id, layer);
        work.upper_targets.assign(own.begin(), own.end());
      }
      for (const std::uint32_t w : work.upper_targets) {
        if (locks != nullptr) {
          NodeLocks::Guard guard(*locks, w);
          add_back_link(w, layer, id, work);
        } else {
          add_back_link(w, layer, id, work);
        }
      }
    }
  }
}

Status HnswIndex::insert_batch(std::span<const float> vectors, std::span<QuantizedVector> quantized,
                               unsigned threads) {
  const std::size_t count = quantized.size();
  const std::size_t dim = dimension_;
  assert(vectors.size() == count * dim);
  auto vector_of = [&](std::size_t i) { return vectors.subspan(i * dim, dim); };

  // Level-0 rows must already hold m_max0 ids: growing them moves every
  // block, which no thread could survive. Only absurd stored m_max0 values
  // (above the initial capacity) take the one-thread path.
  if (threads <= 1 || count < 2 || capacity0_ < config_.m_max0) {
    for (std::size_t i = 0; i < count; ++i) {
      if (Status inserted = insert(node_count_, vector_of(i), std::move(quantized[i])); !inserted) return inserted;
    }
    release_insertion_marks_after(count, node_count_);
    return {};
  }

  // The nodes themselves with empty lists, on this thread: from here on no
  // array grows while the threads link.
  std::size_t start = 0;
  if (!entry_point_) {
    if (Status first = insert(node_count_, vector_of(0), std::move(quantized[0])); !first) return first;
    start = 1;
  }
  const std::uint32_t first_id = node_count_;
  std::vector<std::uint8_t> levels(count);
  for (std::size_t i = start; i < count; ++i) {
    levels[i] = draw_level(config_.m, config_.max_layers);
    store_node(vector_of(i), quantized[i], levels[i], {}, std::vector<std::vector<std::uint32_t>>(levels[i]));
  }

  NodeLocks locks(node_count_);
  std::mutex entry_mutex;
  std::atomic<bool> context_busy{false};
  parallel_for(count - start, threads, [&](std::size_t k) {
    const std::size_t i = start + k;
    const auto id = static_cast<std::uint32_t>(first_id + k);
    auto lease = borrow_insertion_context();
    if (!lease) {
      context_busy = true;
      return;
    }
    // A node that rises above the top level keeps the entry point to itself
    // until it is linked; every other node only reads it.
    std::unique_lock entry_guard(entry_mutex);
    const std::uint32_t entry = *entry_point_;
    const std::uint64_t max_level = max_level_;
    if (levels[i] <= max_level) entry_guard.unlock();
    link_new_node(id, vector_of(i), levels[i], entry, max_level, *lease, LockedLinks{&locks}, &locks,
                  [&](std::span<const std::uint32_t> level0, std::vector<std::vector<std::uint32_t>> upper) {
                    NodeLocks::Guard guard(locks, id);
                    set_level0(id, level0);
                    if (!upper.empty()) {
                      const std::size_t rank = *upper_rank(id);  // given its lists by store_node
                      for (std::size_t l = 0; l < upper.size(); ++l) set_upper(rank, l + 1, upper[l]);
                    }
                  });
    if (levels[i] > max_level) {
      max_level_ = levels[i];
      entry_point_ = id;
    }
  });
  // Only a caller already inside an insertion on one of the worker threads
  // could see this; the nodes stay, unlinked but harmless.
  if (context_busy) return make_error(ErrorKind::Internal, "the insertion context of a thread was already in use");
  release_insertion_marks_after(count, node_count_);
  recentre_if_grown();
  return {};
}

void HnswIndex::store_node(std::span<const float> vector, const QuantizedVector& qv,
                           std::uint8_t level,
                           std::span<const std::uint32_t> level0,
                           std::vector<std::vector<std::uint32_t>> upper) {
  const std::size_t n = node_count_;
  const std::size_t dim = dimension_;

  reserve_level0(level0.size());
  // Ids of this node and below must fit the level-0 rows' id width.
  if (width_for(n + 1) > link_width_) relayout(capacity0_, width_for(n + 1));
  blocks_.resize(blocks_size(n + 1));
  if (walk_bits_ != 0) values_.resize((n + 1) * value_stride());
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
    raw_vectors_.resize((n + 1) * dim);  // zeros past raw_count
    std::copy_n(vector.begin(), raw_count, raw_vectors_.data() + n * dim);
  }

  level0_picks_.resize(n + 1, UNKNOWN_PICKS);
  set_level0(static_cast<std::uint32_t>(n), level0);

  cover_upper_bits(n + 1);
  if (!upper.empty()) {
    const std::size_t rank = ensure_upper_lists(static_cast<std::uint32_t>(n), upper.size());
    for (std::size_t l = 0; l < upper.size(); ++l) set_upper(rank, l + 1, upper[l]);
  }
  set_level(static_cast<std::uint32_t>(n), level);
  if (n % 64 == 0) deleted_.push_back(0);
  ++node_count_;
  derive_residuals(static_cast<std::uint32_t>(n));
  if (walk_bits_ != 0) {
    std::vector<float> scratch;
    encode_walk_code(static_cast<std::uint32_t>(n), scratch);
  }
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
  // Eight at a time through the grouped kernel: the same distances.
  // Each id's terms are kept (work.terms, in the same order) for the prune.
  const CodeDistance distance(index);
  const CodeDistance::Terms base = distance.terms(w);
  distance.centre(base, work.centred);
  work.terms.resize(ids.size());
  float d[8];
  for (std::size_t first = 0; first < ids.size(); first += 8) {
    const std::size_t count = std::min<std::size_t>(8, ids.size() - first);
    CodeDistance::Terms* others = work.terms.data() + first;
    for (std::size_t j = 0; j < count; ++j) others[j] = distance.terms(ids[first + j]);
    distance.distances_to(base, work.centred.data(), others, count, d);
    for (std::size_t j = 0; j < count; ++j) work.pairs.push_back(Candidate{d[j], ids[first + j]});
  }
}

}  // namespace

void HnswIndex::add_back_link(std::uint32_t w, std::uint64_t layer, std::uint32_t new_id,
                              InsertScratch& work) {
  const std::uint64_t bound = layer == 0 ? config_.m_max0 : config_.m;

  if (layer == 0) {
    const std::uint32_t count = level0_count(w);
    if (std::uint64_t{count} + 1 <= bound) {
      if (std::uint64_t{count} + 1 > capacity0_) reserve_level0(std::uint64_t{count} + 1);
      // Append in place: the id after the others, then the new count.
      std::uint8_t* row = row0(w);
      std::memcpy(row + sizeof count + std::size_t{link_width_} * count, &new_id, link_width_);
      const std::uint32_t grown = count + 1;
      std::memcpy(row, &grown, sizeof grown);
      set_level0_picks(w, UNKNOWN_PICKS);
      return;
    }
    // The list would exceed its bound: prune the list plus the new id
    // without storing the overflow. When the list is what an earlier prune
    // wrote, its members keep their verdicts and only the new id's pairs
    // are scored; not among nodes beyond the float range, whose infinite
    // distances tie and take an order of their own in each prune.
    const LinkList links = neighbors(w, 0);
    work.ids.assign(links.begin(), links.end());
    work.ids.push_back(new_id);
    distances_from(*this, w, work.ids, work);
    const std::size_t known = level0_picks(w);
    std::size_t picks;
    if (known <= count && !has_raw_vectors() && !has_huge_nodes()) {
      const Candidate added = work.pairs.back();
      picks = select_with_known_picks(*this, std::span(work.pairs).first(count), known, added, work.terms, bound,
                                      work.heuristic, work.selected);
    } else {
      picks = select_neighbors_heuristic(*this, work.pairs, bound, work.heuristic, work.selected);
    }
    if (work.selected.size() > capacity0_) reserve_level0(work.selected.size());
    work.ids.clear();
    for (const Candidate& c : work.selected) work.ids.push_back(c.id);
    set_level0(w, work.ids);
    set_level0_picks(w, picks);
    return;
  }

  if (layer > UINT8_MAX) return;  // no node has lists that high
  const std::size_t rank = ensure_upper_lists(w, layer);  // also a guard for nodes with too few lists
  std::uint32_t* list = upper_list(rank, layer);
  const std::uint32_t count = list[0];
  if (std::uint64_t{count} + 1 <= bound) {
    list[1 + count] = new_id;
    list[0] = count + 1;
    return;
  }
  work.ids.assign(list + 1, list + 1 + count);
  work.ids.push_back(new_id);
  distances_from(*this, w, work.ids, work);
  select_neighbors_heuristic(*this, work.pairs, bound, work.heuristic, work.selected);
  work.ids.clear();
  for (const Candidate& c : work.selected) work.ids.push_back(c.id);
  set_upper(rank, layer, work.ids);
}

}  // namespace karvalith
