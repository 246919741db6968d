// The exact path of a filtered search alone: scan_nearest over a list of
// nodes, timed per listed node. No Python, no filter, no results: the figures
// isolate the scan itself (bench/filtered_bench.py compares the whole call
// with numpy).
//
// usage: scan_bench [--n N] [--d D] [--queries Q] [--runs R] [--k K] [--shares 0.01,0.1,0.5]
//
// For each share of the nodes, two lists: every node drawn with that
// probability (random) and whole clusters of the mixture up to that share
// (topic: rows near each other in the space, scattered in the graph's
// arrays). The graph is built with a narrow beam (a scan never reads the
// links); CPU time of this thread, the fastest of R runs.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/scan.h"
#include "core/quantization/scalar.h"
#include "mixture.h"

namespace {

using namespace karvalith;

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Options {
  std::size_t n = 37600, d = 384, queries = 500, runs = 3, k = 10;
  std::vector<double> shares{0.01, 0.1, 0.5};
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--n") o.n = std::strtoull(value, nullptr, 10);
    else if (key == "--d") o.d = std::strtoull(value, nullptr, 10);
    else if (key == "--queries") o.queries = std::strtoull(value, nullptr, 10);
    else if (key == "--runs") o.runs = std::strtoull(value, nullptr, 10);
    else if (key == "--k") o.k = std::strtoull(value, nullptr, 10);
    else if (key == "--shares") {
      o.shares.clear();
      for (const char* p = value; *p != '\0';) {
        char* end = nullptr;
        o.shares.push_back(std::strtod(p, &end));
        p = *end == ',' ? end + 1 : end;
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const bench::Mixture mixture(o.d, 0.35f, 42);
  std::vector<float> base = mixture.sample(o.n, 1);
  const std::vector<float> queries = mixture.sample(o.queries, 2);

  HnswConfig config;
  config.ef_construction = 8;
  HnswIndex index(config, o.d);
  std::vector<QuantizedVector> quantized(o.n);
  for (std::size_t i = 0; i < o.n; ++i) quantized[i] = QuantizedVector::quantize({base.data() + i * o.d, o.d});
  if (!index.insert_batch(base, quantized, 1)) return 1;

  // Each node's nearest centre, for the topic lists.
  std::vector<std::size_t> cluster(o.n);
  for (std::size_t i = 0; i < o.n; ++i) {
    float best = -1e30f;
    for (std::size_t c = 0; c < bench::Mixture::CLUSTERS; ++c) {
      float dot = 0.0f;
      for (std::size_t j = 0; j < o.d; ++j) dot += base[i * o.d + j] * mixture.centres[c * o.d + j];
      if (dot > best) best = dot, cluster[i] = c;
    }
  }

  std::printf("| list | share | nodes | ns per node | queries/s |\n|---|---|---|---|---|\n");
  std::mt19937_64 rng(7);
  for (double share : o.shares) {
    for (const char* kind : {"random", "topic"}) {
      std::vector<std::uint32_t> nodes;
      if (std::strcmp(kind, "random") == 0) {
        std::bernoulli_distribution pick(share);
        for (std::uint32_t i = 0; i < o.n; ++i) {
          if (pick(rng)) nodes.push_back(i);
        }
      } else {
        // Whole clusters in a fixed order until the share is reached.
        const std::size_t want = static_cast<std::size_t>(share * static_cast<double>(o.n));
        for (std::size_t c = 0; c < bench::Mixture::CLUSTERS && nodes.size() < want; ++c) {
          for (std::uint32_t i = 0; i < o.n && nodes.size() < want; ++i) {
            if (cluster[i] == c) nodes.push_back(i);
          }
        }
        std::sort(nodes.begin(), nodes.end());
      }
      std::vector<Candidate> out;
      double scan = 1e30;
      float checksum = 0.0f;
      for (std::size_t run = 0; run < o.runs; ++run) {
        const double start = thread_seconds();
        for (std::size_t q = 0; q < o.queries; ++q) {
          scan_nearest(index, {queries.data() + q * o.d, o.d}, o.k, nodes, out);
          checksum += out.empty() ? 0.0f : out[0].distance;
        }
        scan = std::min(scan, thread_seconds() - start);
      }
      const double per_query = scan / static_cast<double>(o.queries);
      std::printf("| %s | %.3f | %zu | %.1f | %.0f |\n", kind, share, nodes.size(),
                  1e9 * per_query / static_cast<double>(nodes.size()), 1.0 / per_query);
      if (checksum == 12345.0f) std::printf("#\n");  // keeps the work observable
    }
  }
  return 0;
}
