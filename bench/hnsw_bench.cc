// Builds an HNSW index and reports build speed, memory per vector, and
// recall@10 / queries per second / distance computations per query for
// several beam widths, on clustered synthetic vectors or on vectors read from
// .fvecs files (queries and ground truth too).
//
// usage: hnsw_bench [--n N] [--d D] [--metric cosine|euclidean|dot_product] [--raw]
//                   [--m M] [--ef-construction EF] [--queries Q] [--seed S] [--noise SIGMA]
//                   [--base FILE.fvecs --query-file FILE.fvecs [--gt FILE.ivecs]]
//                   [--cache FILE] [--ef 10,20,50] [--runs R] [--threads T] [--binary 1,2]
//
// --cache keeps the built graph in FILE (the snapshot encoding of its fields):
// later runs load it instead of building, so search changes are measured on
// the very same graph.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <time.h>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/search.h"
#include "core/quantization/metric.h"
#include "core/quantization/scalar.h"
#include "core/snapshot/snapshot_codec.h"
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
  bool n_given = false;
  std::size_t d = 128;
  DistanceMetric metric = DistanceMetric::Cosine;
  bool raw = false;
  std::vector<unsigned> binary;  // also walk on codes of these bits per component, re-scored on the 8-bit ones
  std::uint64_t m = 16;
  std::uint64_t ef_construction = 200;
  std::size_t queries = 1000;
  std::uint64_t seed = 42;
  float noise = 0.35f;  // per-component standard deviation around a centre
  std::string base_file, query_file, gt_file, cache_file;
  std::vector<std::uint64_t> efs = {10, 20, 50, 100, 200};
  int runs = 1;
  unsigned threads = 1;  // building threads
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "%s\nusage: hnsw_bench [--n N] [--d D] [--metric cosine|euclidean|dot_product] [--raw]\n"
               "                  [--m M] [--ef-construction EF] [--queries Q] [--seed S] [--noise SIGMA]\n"
               "                  [--base FILE.fvecs --query-file FILE.fvecs [--gt FILE.ivecs]]\n"
               "                  [--cache FILE] [--ef 10,20,50] [--runs R] [--threads T] [--binary 1,2]\n",
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
    if (arg == "--n") {
      o.n = std::stoull(value());
      o.n_given = true;
    }
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
    else if (arg == "--base") o.base_file = value();
    else if (arg == "--query-file") o.query_file = value();
    else if (arg == "--gt") o.gt_file = value();
    else if (arg == "--cache") o.cache_file = value();
    else if (arg == "--runs") o.runs = std::stoi(value());
    else if (arg == "--binary") {
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) {
        const unsigned bits = static_cast<unsigned>(std::stoul(item));
        if (bits != 1 && bits != 2) usage("--binary takes 1 and/or 2");
        o.binary.push_back(bits);
      }
    }
    else if (arg == "--threads") o.threads = static_cast<unsigned>(std::stoul(value()));
    else if (arg == "--ef") {
      o.efs.clear();
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) o.efs.push_back(std::stoull(item));
    } else usage(("unknown option " + arg).c_str());
  }
  if (o.base_file.empty() != o.query_file.empty()) usage("--base and --query-file go together");
  if (o.n == 0 || o.d == 0 || o.queries == 0 || o.runs < 1) usage("--n, --d, --queries and --runs must be positive");
  return o;
}

// Rows of an .fvecs (int32 dimension, then that many float32, per row) or
// .ivecs file; at most `limit` rows.
template <class T>
std::vector<T> read_vecs(const std::string& path, std::size_t limit, std::size_t& dim, std::size_t& rows) {
  std::ifstream in(path, std::ios::binary);
  if (!in) usage(("cannot read " + path).c_str());
  std::vector<T> out;
  rows = 0;
  std::int32_t d = 0;
  while (rows < limit && in.read(reinterpret_cast<char*>(&d), 4)) {
    if (d <= 0) usage(("bad row in " + path).c_str());
    dim = static_cast<std::size_t>(d);
    const std::size_t at = out.size();
    out.resize(at + dim);
    if (!in.read(reinterpret_cast<char*>(out.data() + at), static_cast<std::streamsize>(dim * sizeof(T)))) {
      usage(("truncated " + path).c_str());
    }
    ++rows;
  }
  return out;
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

bool load_cache(const std::string& path, HnswIndex& index) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto data = karvalith::decode_collection_data(bytes);
  if (!data) usage(("bad cache file " + path).c_str());
  index = HnswIndex::from_parts(std::move(data->hnsw));
  return true;
}

void save_cache(const std::string& path, const HnswIndex& index) {
  karvalith::CollectionData data;
  data.name = "bench";
  data.dimension = index.dimension();
  data.hnsw = index.to_parts();
  const std::vector<std::uint8_t> bytes = karvalith::encode_collection_data(data);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  const std::size_t k = 10;

  std::vector<float> base, queries;
  std::vector<std::int32_t> gt;
  std::size_t gt_width = 0;
  if (!o.base_file.empty()) {
    std::size_t rows = 0, dim = 0;
    base = read_vecs<float>(o.base_file, o.n_given ? o.n : SIZE_MAX, o.d, o.n);
    queries = read_vecs<float>(o.query_file, o.queries, dim, rows);
    if (dim != o.d) usage("queries and base differ in dimension");
    o.queries = rows;
    if (!o.gt_file.empty()) {
      std::size_t gt_rows = 0;
      gt = read_vecs<std::int32_t>(o.gt_file, o.queries, gt_width, gt_rows);
      if (gt_rows != o.queries || gt_width < k) usage("ground truth does not match the queries");
    }
  } else {
    Mixture mixture(o.d, o.noise, o.seed);
    base = mixture.sample(o.n, o.seed + 1);
    queries = mixture.sample(o.queries, o.seed + 2);
  }
  const std::size_t d = o.d;

  HnswConfig config;
  config.m = o.m;
  config.m_max0 = 2 * o.m;
  config.ef_construction = o.ef_construction;
  config.distance_metric = o.metric;
  config.store_raw_vectors = o.raw;

  std::printf("# hnsw_bench: n=%zu d=%zu metric=%s raw=%s m=%llu ef_construction=%llu queries=%zu %s\n\n", o.n, d,
              std::string(karvalith::distance_metric_name(o.metric)).c_str(), o.raw ? "yes" : "no",
              static_cast<unsigned long long>(o.m), static_cast<unsigned long long>(o.ef_construction), o.queries,
              o.base_file.empty() ? "clustered synthetic data" : o.base_file.c_str());

  HnswIndex index(config, d);
  if (o.cache_file.empty() || !load_cache(o.cache_file, index)) {
    karvalith::seed_level_generator(o.seed);
    const auto build_start = Clock::now();
    const double build_cpu_start = thread_cpu_seconds();
    // Batches of 1000, as batch_insert takes them.
    for (std::size_t start = 0; start < o.n; start += 1000) {
      const std::size_t count = std::min<std::size_t>(1000, o.n - start);
      std::vector<karvalith::QuantizedVector> quantized;
      for (std::size_t i = start; i < start + count; ++i) {
        quantized.push_back(karvalith::QuantizedVector::quantize({base.data() + i * d, d}));
      }
      auto status = index.insert_batch({base.data() + start * d, count * d}, quantized, o.threads);
      if (!status) {
        std::fprintf(stderr, "insert failed: %s\n", status.error().message.c_str());
        return 1;
      }
    }
    const double build_seconds = seconds_since(build_start);
    const double build_cpu_seconds = thread_cpu_seconds() - build_cpu_start;
    std::printf("| build | value |\n|---|---|\n");
    std::printf("| build threads | %u |\n", o.threads);
    std::printf("| build time (wall / CPU of this thread) | %.2f s / %.2f s |\n", build_seconds, build_cpu_seconds);
    std::printf("| inserts/second (wall / CPU) | %.0f / %.0f |\n", static_cast<double>(o.n) / build_seconds,
                static_cast<double>(o.n) / build_cpu_seconds);
    if (!o.cache_file.empty()) save_cache(o.cache_file, index);
  } else {
    std::printf("graph loaded from %s\n\n", o.cache_file.c_str());
  }
  if (index.node_count() != o.n || index.dimension() != d) usage("the cached graph does not match the data");

  // Memory.
  std::uint64_t upper_bytes = 0;
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    for (std::uint64_t l = 1; l < index.list_count(n); ++l) upper_bytes += 24 + 4 * index.neighbors(n, l).size();
  }
  const double per_vector = static_cast<double>(index.estimate_memory_bytes()) / static_cast<double>(o.n);
  const double upper_share = static_cast<double>(upper_bytes) / static_cast<double>(o.n);
  const double formula = static_cast<double>(d + 8 + 4 * (config.m_max0 + 1) + (o.raw ? 4 * d : 0)) + upper_share;
  const double layout = static_cast<double>(index.layout_bytes()) / static_cast<double>(o.n);
  std::printf("| memory | value |\n|---|---|\n");
  std::printf("| max level | %llu |\n", static_cast<unsigned long long>(index.max_level()));
  std::printf("| estimate_memory_bytes / N | %.1f B |\n", per_vector);
  std::printf("| formula d + 8 + 4(m_max0+1)%s + upper share (%.1f) | %.1f B |\n", o.raw ? " + 4d" : "", upper_share,
              formula);
  std::printf("| layout bytes / N | %.1f B |\n\n", layout);

  // Exact ground truth on the original float vectors, unless given.
  std::vector<std::uint32_t> truth(o.queries * k);
  if (!gt.empty()) {
    for (std::size_t q = 0; q < o.queries; ++q) {
      for (std::size_t j = 0; j < k; ++j) truth[q * k + j] = static_cast<std::uint32_t>(gt[q * gt_width + j]);
    }
  } else {
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

  auto table = [&](const char* title, auto&& search) {
    std::printf("%s\n\n| ef | recall@10 | queries/s (1 thread, wall) | queries/s (CPU) | distances/query |\n"
                "|---|---|---|---|---|\n", title);
    std::vector<Candidate> found;
    auto& stats = karvalith::thread_search_stats();
    for (const std::uint64_t ef : o.efs) {
      // Warm the caches and the thread's scratch once.
      for (std::size_t q = 0; q < std::min<std::size_t>(o.queries, 50); ++q) {
        (void)search(std::span<const float>(queries.data() + q * d, d), ef, found);
      }
      double best_wall = 1e30, best_cpu = 1e30, per_query = 0.0;
      std::vector<std::uint32_t> answers(o.queries * k, UINT32_MAX);
      for (int run = 0; run < o.runs; ++run) {
        const std::uint64_t computed_before = stats.distance_computations;
        const auto start = Clock::now();
        const double cpu_start = thread_cpu_seconds();
        for (std::size_t q = 0; q < o.queries; ++q) {
          auto status = search(std::span<const float>(queries.data() + q * d, d), ef, found);
          if (!status) {
            std::fprintf(stderr, "search failed: %s\n", status.error().message.c_str());
            std::exit(1);
          }
          for (std::size_t j = 0; j < found.size(); ++j) answers[q * k + j] = found[j].id;
        }
        best_cpu = std::min(best_cpu, thread_cpu_seconds() - cpu_start);
        best_wall = std::min(best_wall, seconds_since(start));
        per_query =
            static_cast<double>(stats.distance_computations - computed_before) / static_cast<double>(o.queries);
      }
      std::size_t hits = 0;
      for (std::size_t q = 0; q < o.queries; ++q) {
        for (std::size_t j = 0; j < k; ++j) {
          hits += std::count(truth.begin() + q * k, truth.begin() + (q + 1) * k, answers[q * k + j]);
        }
      }
      const double recall = static_cast<double>(hits) / static_cast<double>(o.queries * k);
      std::printf("| %llu | %.4f | %.0f | %.0f | %.0f |\n", static_cast<unsigned long long>(ef), recall,
                  static_cast<double>(o.queries) / best_wall, static_cast<double>(o.queries) / best_cpu, per_query);
    }
    std::printf("\n");
  };
  table("walks on 8-bit codes", [&](std::span<const float> query, std::uint64_t ef, std::vector<Candidate>& found) {
    return karvalith::knn_search(index, query, k, ef, karvalith::AdmitAll{}, found);
  });
  for (const unsigned bits : o.binary) {
    karvalith::HnswIndex coded = karvalith::HnswIndex::from_parts(index.to_parts());
    const auto encode_start = Clock::now();
    coded.use_walk_codes(bits);
    std::printf("%u-bit walk codes: blocks of %zu B (8-bit: %zu), layout %.1f B/node, re-laid out in %.2f s\n\n",
                bits, coded.block_bytes(), index.block_bytes(),
                static_cast<double>(coded.layout_bytes()) / static_cast<double>(o.n), seconds_since(encode_start));
    const std::string title = "walks on " + std::to_string(bits) + "-bit codes, re-scored on 8-bit codes";
    table(title.c_str(), [&](std::span<const float> query, std::uint64_t ef, std::vector<Candidate>& found) {
      return karvalith::knn_search(coded, query, k, ef, karvalith::AdmitAll{}, found);
    });
  }
  return 0;
}
