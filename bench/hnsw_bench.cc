// Builds an HNSW index over clustered synthetic vectors and reports build
// speed, memory per vector, and recall@10 / queries per second / distance
// computations per query for several beam widths.
//
// usage: hnsw_bench [--n N] [--d D] [--metric cosine|euclidean|dot_product] [--raw]
//                   [--m M] [--ef-construction EF] [--queries Q] [--seed S] [--noise SIGMA]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/search.h"
#include "core/quantization/metric.h"
#include "core/quantization/scalar.h"
#include "mixture.h"

namespace {

using karvalith::Candidate;
using karvalith::DistanceMetric;
using karvalith::HnswConfig;
using karvalith::HnswIndex;
using karvalith::bench::Mixture;
using Clock = std::chrono::steady_clock;

struct Options {
  std::size_t n = 100000;
  std::size_t d = 128;
  DistanceMetric metric = DistanceMetric::Cosine;
  bool raw = false;
  std::uint64_t m = 16;
  std::uint64_t ef_construction = 200;
  std::size_t queries = 1000;
  std::uint64_t seed = 42;
  float noise = 0.35f;  // per-component standard deviation around a centre
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "%s\nusage: hnsw_bench [--n N] [--d D] [--metric cosine|euclidean|dot_product] [--raw]\n"
               "                  [--m M] [--ef-construction EF] [--queries Q] [--seed S] [--noise SIGMA]\n",
               message);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--n") o.n = std::stoull(value());
    else if (arg == "--d") o.d = std::stoull(value());
    else if (arg == "--metric") {
      auto metric = karvalith::parse_distance_metric(value());
      if (!metric) usage("unknown metric");
      o.metric = *metric;
    } else if (arg == "--raw") o.raw = true;
    else if (arg == "--m") o.m = std::stoull(value());
    else if (arg == "--ef-construction") o.ef_construction = std::stoull(value());
    else if (arg == "--queries") o.queries = std::stoull(value());
    else if (arg == "--seed") o.seed = std::stoull(value());
    else if (arg == "--noise") o.noise = std::stof(value());
    else usage(("unknown option " + arg).c_str());
  }
  if (o.n == 0 || o.d == 0 || o.queries == 0) usage("--n, --d and --queries must be positive");
  return o;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: on a shared machine it is steadier than
// wall time, which includes waiting for a core.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const std::size_t d = o.d;
  const std::size_t k = 10;

  Mixture mixture(d, o.noise, o.seed);
  const auto base = mixture.sample(o.n, o.seed + 1);
  const auto queries = mixture.sample(o.queries, o.seed + 2);

  HnswConfig config;
  config.m = o.m;
  config.m_max0 = 2 * o.m;
  config.ef_construction = o.ef_construction;
  config.distance_metric = o.metric;
  config.store_raw_vectors = o.raw;

  std::printf("# hnsw_bench: n=%zu d=%zu metric=%s raw=%s m=%llu ef_construction=%llu queries=%zu seed=%llu "
              "noise=%.2f\n\n",
              o.n, d, std::string(karvalith::distance_metric_name(o.metric)).c_str(), o.raw ? "yes" : "no",
              static_cast<unsigned long long>(o.m), static_cast<unsigned long long>(o.ef_construction), o.queries,
              static_cast<unsigned long long>(o.seed), static_cast<double>(o.noise));

  // Build.
  karvalith::seed_level_generator(o.seed);
  HnswIndex index(config, d);
  const auto build_start = Clock::now();
  const double build_cpu_start = thread_cpu_seconds();
  for (std::size_t i = 0; i < o.n; ++i) {
    std::span<const float> v(base.data() + i * d, d);
    auto status = index.insert(static_cast<std::uint32_t>(i), v, karvalith::QuantizedVector::quantize(v));
    if (!status) {
      std::fprintf(stderr, "insert failed: %s\n", status.error().message.c_str());
      return 1;
    }
  }
  const double build_seconds = seconds_since(build_start);
  const double build_cpu_seconds = thread_cpu_seconds() - build_cpu_start;

  // Memory.
  std::uint64_t upper_bytes = 0;
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    for (std::uint64_t l = 1; l < index.list_count(n); ++l) upper_bytes += 24 + 4 * index.neighbors(n, l).size();
  }
  const double per_vector = static_cast<double>(index.estimate_memory_bytes()) / static_cast<double>(o.n);
  const double upper_share = static_cast<double>(upper_bytes) / static_cast<double>(o.n);
  const double formula = static_cast<double>(d + 8 + 4 * (config.m_max0 + 1) + (o.raw ? 4 * d : 0)) + upper_share;

  std::printf("| build | value |\n|---|---|\n");
  std::printf("| build time (wall / CPU) | %.2f s / %.2f s |\n", build_seconds, build_cpu_seconds);
  std::printf("| inserts/second (wall / CPU) | %.0f / %.0f |\n", static_cast<double>(o.n) / build_seconds,
              static_cast<double>(o.n) / build_cpu_seconds);
  std::printf("| max level | %llu |\n", static_cast<unsigned long long>(index.max_level()));
  std::printf("| estimate_memory_bytes / N | %.1f B |\n", per_vector);
  std::printf("| formula d + 8 + 4(m_max0+1)%s + upper share (%.1f) | %.1f B |\n", o.raw ? " + 4d" : "", upper_share,
              formula);
  std::printf("| estimate / formula | %.3f |\n", per_vector / formula);
  const double layout = static_cast<double>(index.layout_bytes()) / static_cast<double>(o.n);
  std::printf("| layout bytes / N (flat rows at stride %llu) | %.1f B |\n",
              static_cast<unsigned long long>(index.level0_capacity() + 1), layout);
  std::printf("| layout / formula | %.3f |\n\n", layout / formula);

  // Exact ground truth on the original float vectors.
  std::vector<std::uint32_t> truth(o.queries * k);
  {
    std::vector<std::pair<float, std::uint32_t>> all(o.n);
    for (std::size_t q = 0; q < o.queries; ++q) {
      std::span<const float> query(queries.data() + q * d, d);
      for (std::size_t i = 0; i < o.n; ++i) {
        all[i] = {karvalith::distance_exact(o.metric, query, {base.data() + i * d, d}),
                  static_cast<std::uint32_t>(i)};
      }
      std::partial_sort(all.begin(), all.begin() + k, all.end());
      for (std::size_t j = 0; j < k; ++j) truth[q * k + j] = all[j].second;
    }
  }

  std::printf("| ef_search | recall@10 | queries/s (1 thread, wall) | queries/s (CPU) | distances/query |\n"
              "|---|---|---|---|---|\n");
  std::vector<Candidate> found;
  for (std::uint64_t ef : {10, 20, 50, 100, 200}) {
    auto parts = index.to_parts();
    parts.config.ef_search = ef;
    const HnswIndex searcher = HnswIndex::from_parts(std::move(parts));
    auto& stats = karvalith::thread_search_stats();
    // Warm the caches and the thread's scratch once.
    for (std::size_t q = 0; q < std::min<std::size_t>(o.queries, 50); ++q) {
      (void)searcher.knn_search_into({queries.data() + q * d, d}, k, found);
    }
    const std::uint64_t computed_before = stats.distance_computations;
    std::vector<std::uint32_t> answers(o.queries * k, UINT32_MAX);
    const auto start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (std::size_t q = 0; q < o.queries; ++q) {
      auto status = searcher.knn_search_into({queries.data() + q * d, d}, k, found);
      if (!status) {
        std::fprintf(stderr, "search failed: %s\n", status.error().message.c_str());
        return 1;
      }
      for (std::size_t j = 0; j < found.size(); ++j) answers[q * k + j] = found[j].id;
    }
    const double search_cpu_seconds = thread_cpu_seconds() - cpu_start;
    const double search_seconds = seconds_since(start);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < o.queries; ++q) {
      for (std::size_t j = 0; j < k; ++j) {
        hits += std::count(truth.begin() + q * k, truth.begin() + (q + 1) * k, answers[q * k + j]);
      }
    }
    const double recall = static_cast<double>(hits) / static_cast<double>(o.queries * k);
    const double per_query =
        static_cast<double>(stats.distance_computations - computed_before) / static_cast<double>(o.queries);
    std::printf("| %llu | %.4f | %.0f | %.0f | %.0f |\n", static_cast<unsigned long long>(ef), recall,
                static_cast<double>(o.queries) / search_seconds,
                static_cast<double>(o.queries) / search_cpu_seconds, per_query);
  }
  return 0;
}
