// Recall of vector search after large shares of a collection are deleted and
// as many new documents inserted, against a fresh collection of the same size.
// Recall@10 is measured against exact cosine search over the live documents.
//
// usage: churn_bench [--n N] [--d D] [--queries Q] [--ef EF]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/engine/collection.h"
#include "core/engine/collection_search.h"
#include "core/hnsw/distance.h"
#include "mixture.h"

namespace {

using namespace karvalith;
using karvalith::bench::Mixture;

struct Options {
  std::size_t n = 20000;
  std::size_t d = 64;
  std::size_t queries = 500;
  std::uint64_t ef = 50;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::uint64_t v = std::stoull(argv[i + 1]);
    if (arg == "--n") o.n = v;
    else if (arg == "--d") o.d = v;
    else if (arg == "--queries") o.queries = v;
    else if (arg == "--ef") o.ef = v;
    else {
      std::fprintf(stderr, "usage: churn_bench [--n N] [--d D] [--queries Q] [--ef EF]\n");
      std::exit(2);
    }
  }
  return o;
}

// A collection and the vectors of its live documents, by numbered id.
class Live {
 public:
  explicit Live(std::size_t d) : d_(d), collection_("c", d, HnswConfig{}) {}

  void insert(std::uint64_t n, const float* v) {
    const Uuid id = id_of(n);
    auto inserted = collection_.insert_document(Document{id, "", {}}, std::vector<float>(v, v + d_));
    if (!inserted) {
      std::fprintf(stderr, "insert failed: %s\n", inserted.error().message.c_str());
      std::exit(1);
    }
    vectors_[n].assign(v, v + d_);
  }

  void remove(std::uint64_t n) {
    collection_.delete_document(id_of(n));
    vectors_.erase(n);
  }

  // Mean recall@10 and the share of queries that got fewer than 10 hits.
  std::pair<double, double> recall(const std::vector<float>& queries, std::size_t count, std::uint64_t ef) const {
    double found = 0.0;
    std::size_t short_answers = 0;
    for (std::size_t q = 0; q < count; ++q) {
      const std::span<const float> query(queries.data() + q * d_, d_);
      std::vector<std::pair<float, std::uint64_t>> exact;
      exact.reserve(vectors_.size());
      for (const auto& [n, v] : vectors_) exact.emplace_back(distance_exact(DistanceMetric::Cosine, query, v), n);
      const std::size_t k = std::min<std::size_t>(10, exact.size());
      std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
      SearchRequest request;
      request.embedding.emplace(query.begin(), query.end());
      request.k = 10;
      request.ef = ef;
      auto hits = search(collection_, request);
      if (!hits) std::exit(1);
      if (hits->size() < k) ++short_answers;
      std::size_t hit = 0;
      for (std::size_t i = 0; i < k; ++i) {
        const Uuid want = id_of(exact[i].second);
        hit += std::count_if(hits->begin(), hits->end(), [&](const ScoredDocument& s) { return s.document->id == want; });
      }
      found += k == 0 ? 1.0 : static_cast<double>(hit) / static_cast<double>(k);
    }
    return {found / static_cast<double>(count), static_cast<double>(short_answers) / static_cast<double>(count)};
  }

 private:
  static Uuid id_of(std::uint64_t n) {
    Uuid id;
    for (int b = 0; b < 8; ++b) id.bytes[15 - b] = static_cast<std::uint8_t>(n >> (8 * b));
    id.bytes[0] = 0x42;
    return id;
  }

  std::size_t d_;
  Collection collection_;
  std::unordered_map<std::uint64_t, std::vector<float>> vectors_;
};

void report(const char* scenario, const Live& live, const std::vector<float>& queries, const Options& o) {
  const auto [recall, short_share] = live.recall(queries, o.queries, o.ef);
  std::printf("%-34s recall@10 %.4f   queries with < 10 hits %.1f%%\n", scenario, recall, 100.0 * short_share);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const Mixture mixture(o.d, 0.35f, 7);
  const std::vector<float> first = mixture.sample(o.n, 1);
  const std::vector<float> second = mixture.sample(o.n, 2);
  const std::vector<float> queries = mixture.sample(o.queries, 3);
  std::printf("n %zu, d %zu, cosine, m 16, ef_construction 200, search ef %llu, %zu queries\n", o.n, o.d,
              static_cast<unsigned long long>(o.ef), o.queries);

  {
    Live fresh(o.d);
    for (std::size_t i = 0; i < o.n; ++i) fresh.insert(i, first.data() + i * o.d);
    report("fresh", fresh, queries, o);
  }
  for (const int percent : {50, 90, 100}) {
    Live live(o.d);
    for (std::size_t i = 0; i < o.n; ++i) live.insert(i, first.data() + i * o.d);
    std::vector<std::uint64_t> order(o.n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(percent));
    const std::size_t churn = o.n * static_cast<std::size_t>(percent) / 100;
    for (std::size_t i = 0; i < churn; ++i) live.remove(order[i]);
    for (std::size_t i = 0; i < churn; ++i) live.insert(o.n + i, second.data() + i * o.d);
    const std::string scenario = "delete " + std::to_string(percent) + "%, insert as many";
    report(scenario.c_str(), live, queries, o);
  }
  {
    // A sliding window: the oldest tenth goes, a new tenth comes, ten times.
    Live live(o.d);
    for (std::size_t i = 0; i < o.n; ++i) live.insert(i, first.data() + i * o.d);
    const std::size_t step = o.n / 10;
    for (std::size_t round = 0; round < 10; ++round) {
      for (std::size_t i = 0; i < step; ++i) live.remove(round * step + i);
      for (std::size_t i = 0; i < step; ++i) live.insert(o.n + round * step + i, second.data() + (round * step + i) * o.d);
    }
    report("sliding window, 10 x 10%", live, queries, o);
  }
  return 0;
}
