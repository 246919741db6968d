#include "core/hnsw/scan.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>

#include "core/common/thread_scratch.h"
#include "core/hnsw/code_distance.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/total_order.h"
#include "core/hnsw/walk_scorer.h"
#include "core/quantization/scalar.h"
#include "core/quantization/simd.h"

namespace karvalith {

namespace {

// Nodes scored per call of the grouped kernels: long enough that the calls
// cost little, short enough that the distances stay in the first-level cache.
constexpr std::size_t CHUNK = 256;

// A hit as one integer whose order is the order by distance (IEEE total
// order), then by node: selections compare plain integers.
std::uint64_t ranked(float distance, std::uint32_t node) {
  const auto key = static_cast<std::uint32_t>(total_order_key(distance)) ^ 0x80000000u;
  return (std::uint64_t{key} << 32) | node;
}

Candidate unranked(std::uint64_t hit) {
  const auto key = static_cast<std::int32_t>(static_cast<std::uint32_t>(hit >> 32) ^ 0x80000000u);
  // total_order_key is its own inverse.
  return {std::bit_cast<float>(total_order_key(std::bit_cast<float>(key))), static_cast<std::uint32_t>(hit)};
}

struct ScanBuffers {
  std::vector<float> query;
  QuantizedVector codes;
  std::vector<std::int8_t> centred_codes;
  std::vector<float> distances;
  std::vector<std::uint64_t> pool;
  std::vector<std::uint64_t> order;
  std::vector<float> uppers;
  std::vector<Candidate> shortlist;
};

// Rows scored together by the grouped integer kernel, and rows requested
// ahead of the group scored: a scan reads rows scattered over the block
// array, so many must be in flight to keep memory busy.
constexpr std::size_t GROUP = 8;
constexpr std::size_t AHEAD = 16;
// Lists up to this long are scanned without requests ahead (measured on
// 384-d rows: 5% faster at 1% of 37,600 passing, 5% slower at 50%).
constexpr std::size_t PREFETCHED_LIST = 4096;
// Lists at most this much longer than k are scored with the walk's scorer:
// the code pass's fixed work would not pay for itself.
constexpr std::size_t SHORT_LIST = 32;


// The query quantized as the nodes are, and the rough distance of a node
// from the exact integer dot product of the codes (CodeDistance's formula,
// in single precision: it only picks the shortlist, which is re-scored).
// With v = m + s * c per vector, C = sum(c), T = d * m + s * C:
//   q . v = m_q * T_v + s_q * (m_v * C_q + s_v * (c_q . c_v)).
class CodeQuery {
 public:
  CodeQuery(const HnswIndex& index, const PreparedQuery& prepared, ScanBuffers& buffers)
      : index_(index), metric_(index.config().distance_metric), dim_(static_cast<float>(index.dimension())) {
    QuantizedVector::quantize_into(prepared.values, buffers.codes);
    const QuantizedVector& coded = buffers.codes;
    std::uint64_t code_sum = 0;
    const std::size_t dim = coded.codes.size();
    buffers.centred_codes.resize(dim);
    // Through plain pointers: a byte store may alias the vectors' own fields.
    const std::uint8_t* codes = coded.codes.data();
    std::int8_t* centred = buffers.centred_codes.data();
    for (std::size_t i = 0; i < dim; ++i) {
      code_sum += codes[i];
      centred[i] = static_cast<std::int8_t>(static_cast<int>(codes[i]) - 128);
    }
    min_ = coded.min;
    scale_ = coded.scale;
    code_sum_ = static_cast<float>(code_sum);
    norm_sq_ = prepared.norm_sq;
    const float norm = std::sqrt(prepared.norm_sq);
    inverse_norm_ = norm < NORM_EPSILON ? 0.0f : 1.0f / norm;
    // |q - q'|, q' the quantized query the rough distances take.
    double moved = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
      const double error = static_cast<double>(prepared.values[i]) -
                           (static_cast<double>(min_) + static_cast<double>(scale_) * codes[i]);
      moved += error * error;
    }
    moved_ = static_cast<float>(std::sqrt(moved));
    query_norm_ = std::sqrt(prepared.norm_sq);
    // The single-precision sums' rounding (the stored kernels' and the rough
    // formula's), relative to the products' magnitude, with room to spare.
    rounding_ = 1e-4f + static_cast<float>(dim) * 0x1p-22f;
    // With raw vectors, quantizing a node moved it by |v - v'| (an upper
    // bound kept per node, HnswIndex::residual_of).
    raw_ = index.has_raw_vectors();
  }

  // Bounds on the stored distances of `count` (at most GROUP) nodes, from
  // the kernel's sums of each node's codes times the query's codes less 128:
  // the rough distance r of the codes, less and plus its reach R, how far
  // the stored distance can lie from it. Quantizing the query moves q . v by
  // at most |q - q'| |v'|, quantizing a raw node by at most |q| |v - v'|,
  // and the single-precision rounding of both evaluations is bounded
  // generously (TERM_ROUNDING of the rough formula's terms, rounding_ of the
  // products). The node's values are gathered first so that the arithmetic
  // runs as loops of a fixed GROUP the compiler vectorizes whole: a short
  // group (count below GROUP) repeats its last node, as the kernel's rows do.
  void bounds(const std::uint32_t* nodes, const std::int64_t* centred, std::size_t count, float* lower,
              float* upper) const {
    float min[GROUP], scale[GROUP], norm_sq[GROUP], code_sum[GROUP], codes[GROUP];
    std::uint32_t node[GROUP];
    for (std::size_t j = 0; j < GROUP; ++j) node[j] = nodes[std::min(j, count - 1)];
    for (std::size_t j = 0; j < GROUP; ++j) {
      const float* meta = index_.min_of(node[j]);  // min, scale, norm_sq, code sum
      const std::uint32_t sum = index_.code_sum_of(node[j]);
      min[j] = meta[0];
      scale[j] = meta[1];
      norm_sq[j] = meta[2];
      code_sum[j] = static_cast<float>(sum);
      codes[j] = static_cast<float>(centred[j] + 128 * static_cast<std::int64_t>(sum));
    }
    constexpr float TERM_ROUNDING = 1e-6f;
    constexpr float SLACK = 1.01f;  // the bound's own rounding
    float dot[GROUP], terms[GROUP], moved_node[GROUP];
    for (std::size_t j = 0; j < GROUP; ++j) {
      dot[j] = min_ * (dim_ * min[j] + scale[j] * code_sum[j]) + scale_ * (min[j] * code_sum_ + scale[j] * codes[j]);
      const float low = std::fabs(min[j]);
      terms[j] = std::fabs(min_) * (dim_ * low + scale[j] * code_sum[j]) +
                 scale_ * (low * code_sum_ + 255.0f * scale[j] * code_sum[j]);
      moved_node[j] = raw_ ? index_.residual_of(node[j]) : 0.0f;
    }
    switch (metric_) {
      case DistanceMetric::Cosine: {
        // A vector of (nearly) zero norm is at distance 1 from everything,
        // its codes' stored distance too; a raw one may not be: a flat query
        // or node gets an infinite reach.
        if (inverse_norm_ == 0.0f) {
          for (std::size_t j = 0; j < GROUP; ++j) {
            lower[j] = -INFINITY;
            upper[j] = INFINITY;
          }
          return;
        }
        // The query's terms as locals: stores through lower and upper could
        // alias the members, which would then be loaded for every node.
        const float inverse_norm = inverse_norm_, moved = moved_ * inverse_norm_, rounding = rounding_;
        constexpr float FLAT_NORM_SQ = NORM_EPSILON * NORM_EPSILON;
        for (std::size_t j = 0; j < GROUP; ++j) {
          // Arithmetic instead of a branch on flat nodes, so that the loop
          // vectorizes: their inverse is 0 and their reach FLT_MAX doubled,
          // which overflows to infinity. Flat is the sign of an integer
          // difference: squared norms are never negative, and the bits of
          // such floats order as the floats do.
          const std::uint32_t below =
              std::bit_cast<std::uint32_t>(norm_sq[j]) - std::bit_cast<std::uint32_t>(FLAT_NORM_SQ);
          const float flat = static_cast<float>(static_cast<std::int32_t>(below >> 31));
          const float inverse = (1.0f - flat) / std::sqrt(norm_sq[j] + flat * FLAT_NORM_SQ);
          const float rough = 1.0f - dot[j] * (inverse_norm * inverse);
          const float finite_reach = SLACK * (moved + 2.0f * moved_node[j] * inverse + rounding +
                                              TERM_ROUNDING * terms[j] * inverse_norm * inverse);
          const float reach = (finite_reach + flat * FLT_MAX) * (1.0f + flat);
          lower[j] = rough - reach;
          upper[j] = rough + reach;
        }
        return;
      }
      case DistanceMetric::Euclidean:
        for (std::size_t j = 0; j < GROUP; ++j) {
          const float norm = std::sqrt(norm_sq[j]);
          const float rough = norm_sq_ + norm_sq[j] - 2.0f * dot[j];
          const float e = moved_node[j];
          const float reach = SLACK * (e * (2.0f * norm + e) + 2.0f * (moved_ * norm + query_norm_ * e) +
                                       rounding_ * (norm_sq_ + norm_sq[j]) + 2.0f * TERM_ROUNDING * terms[j]);
          lower[j] = rough - reach;
          upper[j] = rough + reach;
        }
        return;
      case DistanceMetric::DotProduct:
        for (std::size_t j = 0; j < GROUP; ++j) {
          const float norm = std::sqrt(norm_sq[j]);
          const float rough = -dot[j];
          const float reach = SLACK * (moved_ * norm + query_norm_ * moved_node[j] + rounding_ * query_norm_ * norm +
                                       TERM_ROUNDING * terms[j]);
          lower[j] = rough - reach;
          upper[j] = rough + reach;
        }
        return;
    }
  }

 private:
  const HnswIndex& index_;
  DistanceMetric metric_;
  float dim_;
  float min_ = 0.0f, scale_ = 0.0f, code_sum_ = 0.0f, norm_sq_ = 0.0f, inverse_norm_ = 0.0f;
  float moved_ = 0.0f, rounding_ = 0.0f, query_norm_ = 0.0f;
  bool raw_ = false;
};

// Moves the `keep` smallest of the n distinct values at v to its front,
// in no order (0 < keep < n). Quickselect whose partition moves every value
// unconditionally and advances by the comparison's result: the hits arrive
// in no order, and a branch on each comparison would be mispredicted half
// the time (std::nth_element spent four times as long here).
void select_smallest(std::uint64_t* v, std::size_t n, std::size_t keep) {
  std::size_t lo = 0, hi = n;  // the boundary lies in [lo, hi]
  while (hi - lo > 16) {
    const std::uint64_t a = v[lo], b = v[lo + (hi - lo) / 2], c = v[hi - 1];
    const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    // [lo, store) <= pivot < [store, i): the median of three leaves both
    // sides non-empty, so the range shrinks every round.
    std::size_t store = lo;
    for (std::size_t i = lo; i < hi; ++i) {
      const std::uint64_t x = v[i];
      v[i] = v[store];
      v[store] = x;
      store += x <= pivot ? 1 : 0;
    }
    if (store == keep) return;
    if (store > keep) {
      hi = store;
    } else {
      lo = store;
    }
  }
  std::sort(v + lo, v + hi);
}

// Keeps the `keep` closest of the hits offered (ranked), in no order: hits
// collect in `pool` until it holds twice that, when a selection keeps the
// closest and the farthest kept becomes the cut every later hit must beat.
// One comparison for most hits, and no heap to keep in order.
class ClosestPool {
 public:
  ClosestPool(std::vector<std::uint64_t>& pool, std::size_t keep) : pool_(pool), keep_(keep) {
    pool_.clear();
    pool_.reserve(2 * keep);
  }
  void offer(float distance, std::uint32_t node) {
    const std::uint64_t hit = ranked(distance, node);
    if (hit >= cut_) return;
    pool_.push_back(hit);
    if (pool_.size() == 2 * keep_) trim();
  }
  // The `keep` closest, as candidates, into out.
  void finish(std::vector<Candidate>& out) {
    if (pool_.size() > keep_) trim();
    out.clear();
    for (std::uint64_t hit : pool_) out.push_back(unranked(hit));
  }
  // The `keep` closest, ranked, ascending.
  std::span<const std::uint64_t> finish_sorted() {
    if (pool_.size() > keep_) trim();
    std::sort(pool_.begin(), pool_.end());
    return pool_;
  }

 private:
  void trim() {
    select_smallest(pool_.data(), pool_.size(), keep_);
    pool_.resize(keep_);
    cut_ = *std::max_element(pool_.begin(), pool_.end());
  }
  std::vector<std::uint64_t>& pool_;
  std::size_t keep_;
  std::uint64_t cut_ = ~std::uint64_t{0};
};

// The nodes whose stored distance may be among the `keep` smallest, from
// bounds [lower, upper] on each node's stored distance: the `keep` smallest
// upper bounds seen so far cap the keep-th stored distance of the whole
// list, and a node whose lower bound is beyond the cap cannot be among the
// keep. The cap only falls, so every node the final cap admits was admitted
// when it came.
class WindowPool {
 public:
  WindowPool(std::vector<float>& uppers, std::vector<std::uint64_t>& admitted, std::size_t keep)
      : uppers_(uppers), admitted_(admitted), keep_(keep) {
    uppers_.clear();
    admitted_.clear();
  }

  void offer(float lower, float upper, std::uint32_t node) {
    if (lower > cap_) return;  // a NaN bound admits
    admitted_.push_back(ranked(lower, node));
    if (uppers_.size() < keep_) {
      uppers_.push_back(upper);  // a max-heap of the keep smallest
      std::push_heap(uppers_.begin(), uppers_.end());
      if (uppers_.size() == keep_) cap_ = uppers_.front();
    } else if (upper < cap_) {
      std::pop_heap(uppers_.begin(), uppers_.end());
      uppers_.back() = upper;
      std::push_heap(uppers_.begin(), uppers_.end());
      cap_ = uppers_.front();
    }
    if (admitted_.size() >= prune_at_) prune();
  }

  // The admitted nodes the final cap still admits, ranked by lower bound,
  // ascending.
  std::vector<std::uint64_t>& finish() {
    prune();
    std::sort(admitted_.begin(), admitted_.end());
    return admitted_;
  }

 private:
  void prune() {
    const float cap = cap_;
    std::erase_if(admitted_, [cap](std::uint64_t hit) { return unranked(hit).distance > cap; });
    prune_at_ = std::max<std::size_t>(2 * admitted_.size(), 256);
  }

  std::vector<float>& uppers_;
  std::vector<std::uint64_t>& admitted_;
  std::size_t keep_;
  float cap_ = INFINITY;
  std::size_t prune_at_ = 256;
};

// The `keep` nearest by stored distance, ascending, into out, of nodes
// ranked by a lower bound on their stored distance, ascending. Once `keep`
// are scored, a node whose lower bound is beyond the keep-th stored
// distance so far cannot enter, nor can any after it: the rest are skipped.
void settle(const QueryScorer& stored_distance, std::span<const std::uint64_t> by_lower, std::size_t keep,
            std::vector<std::uint64_t>& best, std::vector<Candidate>& out) {
  best.clear();  // a max-heap of the `keep` best so far, ranked
  for (std::size_t i = 0; i < by_lower.size(); ++i) {
    const Candidate bound = unranked(by_lower[i]);
    if (best.size() == keep && bound.distance > unranked(best.front()).distance) break;
    if (i + 1 < by_lower.size()) stored_distance.prefetch(static_cast<std::uint32_t>(by_lower[i + 1]));
    const std::uint64_t hit = ranked(stored_distance(bound.id), bound.id);
    if (best.size() < keep) {
      best.push_back(hit);
      std::push_heap(best.begin(), best.end());
    } else if (hit < best.front()) {
      std::pop_heap(best.begin(), best.end());
      best.back() = hit;
      std::push_heap(best.begin(), best.end());
    }
  }
  std::sort_heap(best.begin(), best.end());
  out.clear();
  for (std::uint64_t hit : best) out.push_back(unranked(hit));
}

}  // namespace

void scan_nearest(const HnswIndex& index, std::span<const float> query, std::uint64_t k,
                  std::span<const std::uint32_t> nodes, std::vector<Candidate>& out) {
  out.clear();
  if (k == 0 || nodes.empty()) return;
  ScanBuffers& buffers = thread_scratch<ScanBuffers>();
  const PreparedQuery prepared = prepare_query(index.config().distance_metric, query, buffers.query);
  const QueryScorer stored_distance(index, prepared.values, prepared.norm_sq);

  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, nodes.size()));
  std::vector<Candidate>& shortlist = buffers.shortlist;
  shortlist.clear();
  std::size_t margin = 0;
  // Codes against codes: the query quantized as the nodes are, each row one
  // integer dot product (a quarter of the bytes of a raw row, and of the
  // instructions of the float query's kernel), giving bounds on every
  // node's stored distance. With raw vectors, every node the bounds cannot
  // rule out is scored on them, so the k returned are the k nearest. With
  // codes alone, the nodes with the 4k (at least k + 32) smallest bounds
  // are: the k returned are the k nearest unless quantizing the query moved
  // a node from beyond them to within the k. Either way scoring stops once
  // no later node can enter. Nodes or queries near the float range (the
  // walk's scorer checks for overflow) and short lists take the walk's
  // scorer.
  const std::size_t code_margin = std::max<std::size_t>(3 * keep, 32);
  const bool raw = index.has_raw_vectors();
  const bool huge = index.has_huge_nodes() || !(prepared.norm_sq <= SAFE_MAGNITUDE * SAFE_MAGNITUDE);
  if (!huge && nodes.size() > keep + (raw ? SHORT_LIST : code_margin)) {
    const CodeQuery coded(index, prepared, buffers);
    const GroupedCodeDot dot8 = grouped_code_dot();
    const std::size_t dim = index.dimension();
    const std::size_t lines = (dim + 4 * sizeof(float) + 63) / 64 + 1;
    auto prefetch = [&](std::uint32_t node) {
      const char* p = reinterpret_cast<const char*>(index.codes_of(node));
      for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(p + 64 * line);
    };
    const std::size_t n = nodes.size();
    // The rows of a short list stay in the second-level cache from one query
    // to the next, and requesting them only costs instructions there.
    const std::size_t ahead = n > PREFETCHED_LIST ? AHEAD : 0;
    auto each_bound = [&](auto&& offer) {
      for (std::size_t i = 0; i < std::min(n, ahead); ++i) prefetch(nodes[i]);
      const std::uint8_t* rows[GROUP];
      std::int64_t dots[GROUP];
      float lower[GROUP], upper[GROUP];
      for (std::size_t start = 0; start < n; start += GROUP) {
        const std::size_t count = std::min(GROUP, n - start);
        // A short last group repeats its last row.
        for (std::size_t j = 0; j < GROUP; ++j) rows[j] = index.codes_of(nodes[start + std::min(j, count - 1)]);
        if (ahead != 0) {
          for (std::size_t j = start + ahead; j < std::min(n, start + ahead + GROUP); ++j) prefetch(nodes[j]);
        }
        dot8(buffers.centred_codes.data(), rows, dim, dots);
        coded.bounds(nodes.data() + start, dots, count, lower, upper);
        for (std::size_t j = 0; j < count; ++j) offer(lower[j], upper[j], nodes[start + j]);
      }
    };
    if (raw) {
      WindowPool window(buffers.uppers, buffers.pool, keep);
      each_bound([&](float lower, float upper, std::uint32_t node) { window.offer(lower, upper, node); });
      settle(stored_distance, window.finish(), keep, buffers.order, out);
    } else {
      ClosestPool closest(buffers.pool, keep + code_margin);
      each_bound([&](float lower, float, std::uint32_t node) { closest.offer(lower, node); });
      settle(stored_distance, closest.finish_sorted(), keep, buffers.order, out);
    }
    return;
  } else {
    // With raw vectors the walk's score is the stored one; otherwise it
    // differs from it only in rounding.
    const WalkScorer walk_distance(index, prepared.values, prepared.norm_sq);
    margin = index.has_raw_vectors() ? 0 : std::max<std::size_t>(keep, 16);
    ClosestPool closest(buffers.pool, std::min(nodes.size(), keep + margin));
    buffers.distances.resize(std::min(nodes.size(), CHUNK));
    float* distances = buffers.distances.data();
    for (std::size_t start = 0; start < nodes.size(); start += CHUNK) {
      const std::span<const std::uint32_t> chunk = nodes.subspan(start, std::min(CHUNK, nodes.size() - start));
      walk_distance.score(chunk, distances);
      for (std::size_t i = 0; i < chunk.size(); ++i) closest.offer(distances[i], chunk[i]);
    }
    closest.finish(shortlist);
  }

  if (margin != 0) {
    for (std::size_t i = 0; i < shortlist.size(); ++i) {
      if (i + 1 < shortlist.size()) stored_distance.prefetch(shortlist[i + 1].id);
      shortlist[i].distance = stored_distance(shortlist[i].id);
    }
  }
  // Sorted as ranked integers: plain comparisons.
  std::vector<std::uint64_t>& order = buffers.pool;
  order.clear();
  for (const Candidate& hit : shortlist) order.push_back(ranked(hit.distance, hit.id));
  std::sort(order.begin(), order.end());
  out.clear();
  for (std::size_t i = 0; i < keep; ++i) out.push_back(unranked(order[i]));
}

}  // namespace karvalith
