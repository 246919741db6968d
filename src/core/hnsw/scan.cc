#include "core/hnsw/scan.h"

#include <algorithm>
#include <optional>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/total_order.h"
#include "core/hnsw/walk_scorer.h"

namespace karvalith {

namespace {

// Nodes scored per call of the grouped kernels: long enough that the calls
// cost little, short enough that the distances stay in the first-level cache.
constexpr std::size_t CHUNK = 256;

// Orders by distance in the IEEE total order, then by node.
bool closer(const Candidate& a, const Candidate& b) {
  const std::int32_t ka = total_order_key(a.distance);
  const std::int32_t kb = total_order_key(b.distance);
  return ka != kb ? ka < kb : a.id < b.id;
}

struct ScanBuffers {
  std::vector<float> query;
  std::vector<float> distances;
  std::vector<Candidate> shortlist;
};

// Rows requested ahead of the one scored: a scan reads rows scattered over
// the block array, so several must be in flight to keep memory busy.
constexpr std::size_t AHEAD = 4;

ScanBuffers& scan_buffers() {
  thread_local ScanBuffers buffers;
  return buffers;
}

// Keeps the `keep` closest of the hits offered, in no order: hits collect in
// `pool` until it holds twice that, when a selection keeps the closest and
// the farthest kept becomes the cut every later hit must beat. One
// comparison for most hits, and no heap to keep in order.
class ClosestPool {
 public:
  ClosestPool(std::vector<Candidate>& pool, std::size_t keep) : pool_(pool), keep_(keep) {
    pool_.clear();
    pool_.reserve(2 * keep);
  }
  void offer(Candidate hit) {
    if (cut_ && !closer(hit, *cut_)) return;
    pool_.push_back(hit);
    if (pool_.size() == 2 * keep_) trim();
  }
  // The pool cut down to the `keep` closest.
  void finish() {
    if (pool_.size() > keep_) trim();
  }

 private:
  void trim() {
    const auto last = pool_.begin() + static_cast<std::ptrdiff_t>(keep_ - 1);
    std::nth_element(pool_.begin(), last, pool_.end(), closer);
    pool_.resize(keep_);
    cut_ = pool_.back();
  }
  std::vector<Candidate>& pool_;
  std::size_t keep_;
  std::optional<Candidate> cut_;
};

}  // namespace

void scan_nearest(const HnswIndex& index, std::span<const float> query, std::uint64_t k,
                  std::span<const std::uint32_t> nodes, std::vector<Candidate>& out) {
  out.clear();
  if (k == 0 || nodes.empty()) return;
  ScanBuffers& buffers = scan_buffers();
  const PreparedQuery prepared = prepare_query(index.config().distance_metric, query, buffers.query);
  const QueryScorer stored_distance(index, prepared.values, prepared.norm_sq);

  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, nodes.size()));
  std::vector<Candidate>& shortlist = buffers.shortlist;
  shortlist.clear();
  std::size_t margin = 0;
  // Codes against codes: the query quantized as the nodes are, each row one
  // integer dot product (a quarter of the instructions of the float query's
  // kernel). Quantizing the query moves each distance by far more than
  // rounding, so the shortlist is four times k, at least k + 32. Nodes or
  // queries near the float range (the walk's scorer checks for overflow)
  // and lists no longer than that shortlist take the walk's scorer.
  const std::size_t code_margin = std::max<std::size_t>(3 * keep, 32);
  const bool huge = index.has_huge_nodes() || !(prepared.norm_sq <= SAFE_MAGNITUDE * SAFE_MAGNITUDE);
  if (!index.has_raw_vectors() && !huge && nodes.size() > keep + code_margin) {
    margin = code_margin;
    ClosestPool closest(shortlist, keep + margin);
    const QuantizedVector coded = QuantizedVector::quantize(prepared.values);
    const CodeDistance code_distance(index);
    std::uint64_t code_sum = 0;
    for (std::uint8_t c : coded.codes) code_sum += c;
    const CodeDistance::Terms query_terms =
        code_distance.terms_of(coded.view(), static_cast<double>(code_sum), prepared.norm_sq);
    const std::size_t lines = (index.dimension() + 4 * sizeof(float) + 63) / 64 + 1;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (i + AHEAD < nodes.size()) {
        const char* p = reinterpret_cast<const char*>(index.block(nodes[i + AHEAD]));
        for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(p + 64 * line);
      }
      closest.offer({code_distance(query_terms, code_distance.terms(nodes[i])), nodes[i]});
    }
    closest.finish();
  } else {
    // With raw vectors the walk's score is the stored one; otherwise it
    // differs from it only in rounding.
    const WalkScorer walk_distance(index, prepared.values, prepared.norm_sq);
    margin = index.has_raw_vectors() ? 0 : std::max<std::size_t>(keep, 16);
    ClosestPool closest(shortlist, std::min(nodes.size(), keep + margin));
    buffers.distances.resize(std::min(nodes.size(), CHUNK));
    float* distances = buffers.distances.data();
    for (std::size_t start = 0; start < nodes.size(); start += CHUNK) {
      const std::span<const std::uint32_t> chunk = nodes.subspan(start, std::min(CHUNK, nodes.size() - start));
      walk_distance.score(chunk, distances);
      for (std::size_t i = 0; i < chunk.size(); ++i) closest.offer({distances[i], chunk[i]});
    }
    closest.finish();
  }

  if (margin != 0) {
    for (std::size_t i = 0; i < shortlist.size(); ++i) {
      if (i + 1 < shortlist.size()) stored_distance.prefetch(shortlist[i + 1].id);
      shortlist[i].distance = stored_distance(shortlist[i].id);
    }
  }
  std::sort(shortlist.begin(), shortlist.end(), closer);
  out.assign(shortlist.begin(), shortlist.begin() + static_cast<std::ptrdiff_t>(keep));
}

}  // namespace karvalith
