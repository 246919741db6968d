// The core half of bench/api_bench.py: builds a collection from the documents
// and queries that api_bench.py writes to a file, through the C++ collection
// API alone (no Python), and times the same inserts and searches. The Python
// benchmark subtracts these times from its own to find the share spent in
// argument conversion and result building.
//
//   search_core_bench --data FILE [--inserts-only | --snapshot FILE.kvl [--serve]] [--runs R]
//
// With --snapshot the searches run on the collection loaded from that
// snapshot (the one the Python side saved and searches too), so both sides
// walk the same graph; otherwise on the collection built here. With --serve
// nothing is inserted: after "ready", each line on stdin names a search kind
// and is answered with one timed pass, so the caller can interleave its passes
// with ours. --inserts-only stops after the inserts.
//
// File layout (little-endian): "KVAPI01\0"; u64 n, d, singles, vector
// queries, keyword queries; n*d f32 embeddings; per document u32 text length,
// text, i64 bucket, u32 pos length, pos, i64 word count; queries*d f32; per
// keyword query u32 length, text.
//
// Output, one record per line, times in seconds of thread CPU and wall:
//   insert batch <documents so far> <cpu> <wall>   (after every batch of 1000)
//   insert single <documents> <cpu> <wall>
//   search <kind> <queries> <cpu> <wall> <hits>    (fastest of R runs by CPU)
// where kind is vector, vector_k1, vector_k50, keyword, hybrid_rrf,
// hybrid_linear, filtered_10 or filtered_1 (k = 10 unless named).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/document/document.h"
#include "core/hnsw/config.h"
#include "core/search/filter_types.h"
#include "core/engine/collection.h"
#include "core/engine/collection_search.h"
#include "core/snapshot/snapshot_file.h"

namespace {

using karvalith::Collection;
using karvalith::Document;
using karvalith::FilterCondition;
using karvalith::FilterOp;
using karvalith::HnswConfig;
using karvalith::Metadata;
using karvalith::MetadataFilter;
using karvalith::PendingDocument;
using karvalith::ScoredDocument;
using karvalith::SearchRequest;
using karvalith::fusion_method_from_text;
using Clock = std::chrono::steady_clock;

constexpr std::size_t BATCH = 1000;

struct Corpus {
  std::size_t n = 0;
  std::size_t d = 0;
  std::size_t singles = 0;
  std::vector<float> embeddings;
  std::vector<std::string> texts;
  std::vector<std::int64_t> buckets;
  std::vector<std::string> parts_of_speech;
  std::vector<std::int64_t> word_counts;
  std::vector<float> queries;
  std::size_t vector_queries = 0;
  std::vector<std::string> keyword_queries;
};

class Reader {
 public:
  explicit Reader(const std::string& path) : in_(path, std::ios::binary) {}
  bool ok() const { return static_cast<bool>(in_); }
  template <class T>
  T scalar() {
    T value{};
    in_.read(reinterpret_cast<char*>(&value), sizeof value);
    return value;
  }
  void floats(std::vector<float>& out, std::size_t count) {
    out.resize(count);
    in_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count * sizeof(float)));
  }
  std::string text() {
    std::string out(scalar<std::uint32_t>(), '\0');
    in_.read(out.data(), static_cast<std::streamsize>(out.size()));
    return out;
  }
  std::string raw(std::size_t count) {
    std::string out(count, '\0');
    in_.read(out.data(), static_cast<std::streamsize>(count));
    return out;
  }

 private:
  std::ifstream in_;
};

std::optional<Corpus> load(const std::string& path) {
  Reader in(path);
  if (!in.ok() || in.raw(8) != std::string("KVAPI01\0", 8)) return std::nullopt;
  Corpus c;
  c.n = in.scalar<std::uint64_t>();
  c.d = in.scalar<std::uint64_t>();
  c.singles = in.scalar<std::uint64_t>();
  c.vector_queries = in.scalar<std::uint64_t>();
  const std::size_t keyword_queries = in.scalar<std::uint64_t>();
  in.floats(c.embeddings, c.n * c.d);
  for (std::size_t i = 0; i < c.n; ++i) {
    c.texts.push_back(in.text());
    c.buckets.push_back(in.scalar<std::int64_t>());
    c.parts_of_speech.push_back(in.text());
    c.word_counts.push_back(in.scalar<std::int64_t>());
  }
  in.floats(c.queries, c.vector_queries * c.d);
  for (std::size_t i = 0; i < keyword_queries; ++i) c.keyword_queries.push_back(in.text());
  if (!in.ok()) return std::nullopt;
  return c;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timer {
  double cpu_start = thread_cpu_seconds();
  Clock::time_point wall_start = Clock::now();
  double cpu() const { return thread_cpu_seconds() - cpu_start; }
  double wall() const { return std::chrono::duration<double>(Clock::now() - wall_start).count(); }
};

// The document and embedding the Python benchmark hands to batch_insert,
// built before the clock starts: copying them out of Python objects is the
// binding's work, not the core's.
struct Input {
  std::string text;
  Metadata metadata;
  std::vector<float> embedding;
};

Input make_input(const Corpus& c, std::size_t i) {
  Input input;
  input.text = c.texts[i];
  input.metadata.insert_or_assign("bucket", c.buckets[i]);
  input.metadata.insert_or_assign("pos", c.parts_of_speech[i]);
  input.metadata.insert_or_assign("len", c.word_counts[i]);
  input.embedding.assign(c.embeddings.begin() + static_cast<std::ptrdiff_t>(i * c.d),
                         c.embeddings.begin() + static_cast<std::ptrdiff_t>((i + 1) * c.d));
  return input;
}

// Inserts `inputs` as one batch the way batch_insert does:
// create every document, validate the batch, insert each. Returns false on
// any failure.
bool insert_batch(Collection& collection, std::vector<Input>& inputs, double& cpu, double& wall) {
  Timer timer;
  std::vector<PendingDocument> pending;
  pending.reserve(inputs.size());
  for (Input& input : inputs) {
    auto document = Document::create(std::move(input.text), std::move(input.metadata));
    if (!document) return false;
    pending.push_back({std::move(*document), std::move(input.embedding)});
  }
  if (!collection.validate_insert(pending)) return false;
  for (PendingDocument& p : pending) {
    if (!collection.insert_document(std::move(p.document), std::move(p.embedding))) return false;
  }
  cpu += timer.cpu();
  wall += timer.wall();
  return true;
}

HnswConfig python_default_config() {
  HnswConfig config;  // what create_collection(name, dimension) uses
  config.m = 16;
  config.m_max0 = 32;
  config.ef_construction = 200;
  config.ef_search = 50;
  config.max_layers = 16;
  return config;
}

bool run_inserts(const Corpus& c, Collection& collection) {
  double cpu = 0.0;
  double wall = 0.0;
  for (std::size_t first = 0; first < c.n; first += BATCH) {
    const std::size_t last = std::min(c.n, first + BATCH);
    std::vector<Input> inputs;
    inputs.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) inputs.push_back(make_input(c, i));
    if (!insert_batch(collection, inputs, cpu, wall)) return false;
    std::printf("insert batch %zu %.6f %.6f\n", last, cpu, wall);
  }
  std::fflush(stdout);

  Collection singles("singles", c.d, python_default_config());
  cpu = 0.0;
  wall = 0.0;
  const std::size_t count = std::min(c.singles, c.n);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<Input> one;
    one.push_back(make_input(c, i));
    if (!insert_batch(singles, one, cpu, wall)) return false;
  }
  std::printf("insert single %zu %.6f %.6f\n", count, cpu, wall);
  std::fflush(stdout);
  return true;
}

FilterCondition bucket_condition(FilterOp op, std::int64_t operand) {
  FilterCondition condition;
  condition.field = "bucket";
  condition.op = op;
  condition.value = operand;
  return condition;
}

// Runs `one(i)` for i in [0, count) `runs` times and prints the fastest run.
// `one` returns the number of hits, or a negative count on failure.
bool time_queries(const char* kind, std::size_t count, int runs,
                  const std::function<long(std::size_t)>& one) {
  double best_cpu = std::numeric_limits<double>::infinity();
  double best_wall = 0.0;
  long hits = 0;
  for (int run = 0; run < runs; ++run) {
    long run_hits = 0;
    Timer timer;
    for (std::size_t i = 0; i < count; ++i) {
      const long found = one(i);
      if (found < 0) return false;
      run_hits += found;
    }
    const double cpu = timer.cpu();
    if (cpu < best_cpu) {
      best_cpu = cpu;
      best_wall = timer.wall();
      hits = run_hits;
    }
  }
  std::printf("search %s %zu %.6f %.6f %ld\n", kind, count, best_cpu, best_wall, hits);
  std::fflush(stdout);
  return true;
}

long hit_count(const karvalith::Result<std::vector<ScoredDocument>>& hits) {
  return hits ? static_cast<long>(hits->size()) : -1;
}

using Search = std::function<long(std::size_t)>;

struct SearchKind {
  const char* name;
  std::size_t count;
  Search one;
};

// The query kinds of api_bench.py, each over its query list.
std::vector<SearchKind> search_kinds(const Corpus& c, const Collection& collection) {
  constexpr std::uint64_t K = 10;
  const std::size_t vq = c.vector_queries;
  const std::size_t kq = c.keyword_queries.size();
  const std::size_t hq = std::min(vq, kq);
  auto query = [&c](std::size_t i) { return std::span<const float>(c.queries.data() + i * c.d, c.d); };

  MetadataFilter ten_percent;
  ten_percent.must.push_back(bucket_condition(FilterOp::Lt, 10));
  MetadataFilter one_percent;
  one_percent.must.push_back(bucket_condition(FilterOp::Eq, 7));

  // One request per query through the engine's search entry, as the binding
  // makes it (the entry validates the query too).
  auto request_for = [query](std::size_t i, std::uint64_t k) {
    SearchRequest request;
    const std::span<const float> q = query(i);
    request.embedding.emplace(q.begin(), q.end());
    request.k = k;
    return request;
  };
  auto checked_vector = [&collection, request_for](std::optional<MetadataFilter> filter,
                                                   std::uint64_t k) -> Search {
    return [&collection, request_for, k, filter = std::move(filter)](std::size_t i) -> long {
      SearchRequest request = request_for(i, k);
      request.filter = filter;
      return hit_count(karvalith::search(collection, request));
    };
  };
  auto hybrid = [&collection, &c, request_for](std::string_view method) -> Search {
    return [&collection, &c, request_for, method](std::size_t i) -> long {
      SearchRequest request = request_for(i, K);
      request.text = c.keyword_queries[i];
      request.fusion = fusion_method_from_text(method);
      return hit_count(karvalith::search(collection, request));
    };
  };
  auto keyword = [&collection, &c](std::size_t i) -> long {
    SearchRequest request;
    request.text = c.keyword_queries[i];
    request.k = K;
    return hit_count(karvalith::search(collection, request));
  };
  // k = 1 and k = 50 walk the same beam (ef_search = 50) and differ only in
  // the hits returned, which isolates the per-result cost on the Python side.
  return {{"vector", vq, checked_vector(std::nullopt, K)},
          {"vector_k1", vq, checked_vector(std::nullopt, 1)},
          {"vector_k50", vq, checked_vector(std::nullopt, 50)},
          {"keyword", kq, keyword},
          {"hybrid_rrf", hq, hybrid("rrf")},
          {"hybrid_linear", hq, hybrid("linear")},
          {"filtered_10", vq, checked_vector(std::move(ten_percent), K)},
          {"filtered_1", vq, checked_vector(std::move(one_percent), K)}};
}

bool run_searches(const std::vector<SearchKind>& kinds, int runs) {
  for (const SearchKind& kind : kinds) {
    if (!time_queries(kind.name, kind.count, runs, kind.one)) return false;
  }
  return true;
}

// Answers one line per kind name read from stdin with one timed pass, so the
// caller can interleave its own passes with these.
bool serve_searches(const std::vector<SearchKind>& kinds) {
  char line[128];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::string_view name(line);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.remove_suffix(1);
    auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const SearchKind& k) { return name == k.name; });
    if (kind == kinds.end() || !time_queries(kind->name, kind->count, 1, kind->one)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  std::string snapshot;
  int runs = 3;
  bool serve = false;
  bool inserts_only = false;
  bool usable = true;
  for (int i = 1; usable && i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--serve") {
      serve = true;
    } else if (arg == "--inserts-only") {
      inserts_only = true;
    } else if (arg == "--data" && has_value) {
      path = argv[++i];
    } else if (arg == "--snapshot" && has_value) {
      snapshot = argv[++i];
    } else if (arg == "--runs" && has_value) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      usable = false;
    }
  }
  if (!usable || path.empty() || (serve && (snapshot.empty() || inserts_only))) {
    std::fprintf(stderr,
                 "usage: search_core_bench --data FILE [--inserts-only | --snapshot FILE.kvl [--serve]] "
                 "[--runs R]\n");
    return 2;
  }
  const std::optional<Corpus> corpus = load(path);
  if (!corpus) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  Collection collection("bench", corpus->d, python_default_config());
  if (!serve && !run_inserts(*corpus, collection)) {
    std::fprintf(stderr, "insert failed\n");
    return 1;
  }
  if (inserts_only) return 0;
  const Collection* searched = &collection;
  karvalith::CollectionPtr loaded;
  if (!snapshot.empty()) {
    auto result = karvalith::load_collection(snapshot, nullptr);
    if (!result) {
      std::fprintf(stderr, "cannot load %s: %s\n", snapshot.c_str(), result.error().message.c_str());
      return 1;
    }
    loaded = std::move(*result);
    searched = loaded.get();
  }
  const std::vector<SearchKind> kinds = search_kinds(*corpus, *searched);
  if (serve) {
    std::printf("ready\n");
    std::fflush(stdout);
  }
  if (serve ? !serve_searches(kinds) : !run_searches(kinds, runs)) {
    std::fprintf(stderr, "search failed\n");
    return 1;
  }
  return 0;
}
