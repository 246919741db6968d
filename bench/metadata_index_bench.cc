// The metadata index: memory per document and field, and the time to turn a
// filter into the passing set, on 116,657 documents shaped like
// filtered_bench.py's (a uniform integer 0..999, a skewed category of 45
// values, a part of speech, a boolean, a unique word, a float).
//
// It also compares the slot-set forms the index could use for one clause's
// set at each density: our SlotSet (sorted array or bitmap by density), a
// plain sorted slot array, and, when built with CRoaring, a roaring bitmap:
// bytes per member, the time to write the set into the planner's bitmap, the
// time of an intersection of two sets, and of a membership test.
//
//   build/release/bench/metadata_index_bench [--n N]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/engine/metadata_index.h"
#include "core/engine/slot_set.h"

#ifdef KARVALITH_HAVE_ROARING
#include <roaring/roaring.h>
#endif

namespace {

using namespace karvalith;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t heap_bytes() { return mallinfo2().uordblks; }

// Runs `fn` repeatedly for about 0.3 s; microseconds per call.
template <class F>
double time_us(F&& fn) {
  std::size_t calls = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    fn();
    ++calls;
    elapsed = seconds_since(start);
  } while (elapsed < 0.3);
  return elapsed * 1e6 / static_cast<double>(calls);
}

volatile std::uint64_t sink = 0;

struct FieldMemory {
  const char* field;
  double estimate_per_doc;
  double heap_per_doc;
};

// Memory of an index over one field alone (estimate and heap growth).
template <class Value>
FieldMemory field_memory(const char* name, std::size_t n, Value&& value) {
  std::vector<Metadata> docs(n);
  for (std::size_t i = 0; i < n; ++i) docs[i].insert_or_assign(name, value(i));
  malloc_trim(0);
  const std::size_t before = heap_bytes();
  MetadataIndex index;
  for (std::size_t i = 0; i < n; ++i) index.add(static_cast<std::uint32_t>(i), docs[i]);
  const std::size_t after = heap_bytes();
  // The live-slot set is shared by all fields: count it apart.
  Metadata empty;
  MetadataIndex live_only;
  for (std::size_t i = 0; i < n; ++i) live_only.add(static_cast<std::uint32_t>(i), empty);
  const double live = static_cast<double>(live_only.estimate_memory_bytes());
  return {name, (static_cast<double>(index.estimate_memory_bytes()) - live) / static_cast<double>(n),
          static_cast<double>(after - before) / static_cast<double>(n)};
}

std::vector<std::uint32_t> random_subset(std::size_t n, double density, std::mt19937_64& rng) {
  std::bernoulli_distribution keep(density);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < n; ++i) {
    if (keep(rng)) out.push_back(static_cast<std::uint32_t>(i));
  }
  return out;
}

void scatter(const std::vector<std::uint32_t>& slots, std::vector<std::uint64_t>& words) {
  for (const std::uint32_t s : slots) words[s >> 6] |= std::uint64_t{1} << (s & 63);
}

void compare_set_forms(std::size_t n) {
  std::printf("\nslot-set forms, %zu slots; per clause set: bytes/member, write into the planner's bitmap (us),\n"
              "intersection of two independent sets of this density (us), membership test (ns)\n",
              n);
  std::printf("%8s | %-22s | %-22s | %-22s\n", "density", "SlotSet (ours)", "sorted array",
#ifdef KARVALITH_HAVE_ROARING
              "CRoaring"
#else
              "CRoaring (not built)"
#endif
  );
  std::mt19937_64 rng(7);
  const std::size_t words_n = (n + 63) / 64;
  std::vector<std::uint64_t> words(words_n), other(words_n);
  std::vector<std::uint32_t> probes(4096);
  for (auto& p : probes) p = static_cast<std::uint32_t>(rng() % n);

  for (const double density : {0.5, 0.1, 0.01, 0.001}) {
    const auto a = random_subset(n, density, rng);
    const auto b = random_subset(n, density, rng);
    SlotSet sa, sb;
    for (auto s : a) sa.insert(s);
    for (auto s : b) sb.insert(s);
    const double members = static_cast<double>(a.size());

    // Ours: the index's own steps (zero, write, and the planner's AND).
    const double ours_bytes = static_cast<double>(sa.memory_bytes()) / members;
    const double ours_write = time_us([&] {
      std::fill(words.begin(), words.end(), 0);
      sa.or_into(words);
      sink = sink + words[words_n / 2];
    });
    const double ours_and = time_us([&] {
      std::fill(words.begin(), words.end(), 0);
      sa.or_into(words);
      std::fill(other.begin(), other.end(), 0);
      sb.or_into(other);
      for (std::size_t w = 0; w < words_n; ++w) words[w] &= other[w];
      sink = sink + words[words_n / 3];
    });
    const double ours_probe = time_us([&] {
      std::uint64_t hits = 0;
      for (auto p : probes) hits += sa.contains(p) ? 1 : 0;
      sink = sink + hits;
    }) * 1000.0 / static_cast<double>(probes.size());

    // Sorted arrays: scatter, and std::set_intersection then scatter.
    std::vector<std::uint32_t> both;
    const double array_write = time_us([&] {
      std::fill(words.begin(), words.end(), 0);
      scatter(a, words);
      sink = sink + words[words_n / 2];
    });
    const double array_and = time_us([&] {
      both.clear();
      std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
      std::fill(words.begin(), words.end(), 0);
      scatter(both, words);
      sink = sink + words[words_n / 3];
    });
    const double array_probe = time_us([&] {
      std::uint64_t hits = 0;
      for (auto p : probes) hits += std::binary_search(a.begin(), a.end(), p) ? 1 : 0;
      sink = sink + hits;
    }) * 1000.0 / static_cast<double>(probes.size());

    char roaring_cell[64] = "-";
#ifdef KARVALITH_HAVE_ROARING
    roaring_bitmap_t* ra = roaring_bitmap_of_ptr(a.size(), a.data());
    roaring_bitmap_t* rb = roaring_bitmap_of_ptr(b.size(), b.data());
    roaring_bitmap_run_optimize(ra);
    roaring_bitmap_run_optimize(rb);
    std::vector<std::uint32_t> decoded(n);
    const double roaring_bytes = static_cast<double>(roaring_bitmap_size_in_bytes(ra)) / members;
    const double roaring_write = time_us([&] {
      std::fill(words.begin(), words.end(), 0);
      const std::size_t count = roaring_bitmap_get_cardinality(ra);
      roaring_bitmap_to_uint32_array(ra, decoded.data());
      for (std::size_t i = 0; i < count; ++i) words[decoded[i] >> 6] |= std::uint64_t{1} << (decoded[i] & 63);
      sink = sink + words[words_n / 2];
    });
    const double roaring_and = time_us([&] {
      roaring_bitmap_t* r = roaring_bitmap_and(ra, rb);
      const std::size_t count = roaring_bitmap_get_cardinality(r);
      roaring_bitmap_to_uint32_array(r, decoded.data());
      std::fill(words.begin(), words.end(), 0);
      for (std::size_t i = 0; i < count; ++i) words[decoded[i] >> 6] |= std::uint64_t{1} << (decoded[i] & 63);
      roaring_bitmap_free(r);
      sink = sink + words[words_n / 3];
    });
    const double roaring_probe = time_us([&] {
      std::uint64_t hits = 0;
      for (auto p : probes) hits += roaring_bitmap_contains(ra, p) ? 1 : 0;
      sink = sink + hits;
    }) * 1000.0 / static_cast<double>(probes.size());
    std::snprintf(roaring_cell, sizeof roaring_cell, "%5.2f B %7.1f %7.1f %5.1f", roaring_bytes, roaring_write,
                  roaring_and, roaring_probe);
    roaring_bitmap_free(ra);
    roaring_bitmap_free(rb);
#endif
    std::printf("%7.1f%% | %5.2f B %7.1f %7.1f %5.1f | %5.2f B %7.1f %7.1f %5.1f | %s\n", density * 100, ours_bytes,
                ours_write, ours_and, ours_probe, 4.0, array_write, array_and, array_probe, roaring_cell);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 116657;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--n") == 0) n = static_cast<std::size_t>(std::strtoull(argv[i + 1], nullptr, 10));
  }
  std::mt19937_64 rng(1313);
  std::vector<std::int64_t> bucket(n);
  for (auto& b : bucket) b = static_cast<std::int64_t>(rng() % 1000);
  // Categories of geometric sizes: the largest about 18%, the smallest a few dozen.
  std::geometric_distribution<int> category(0.16);
  std::vector<int> cat(n);
  for (auto& c : cat) c = std::min(category(rng), 44);

  std::printf("metadata index memory, %zu documents, one field at a time (live-slot set apart)\n", n);
  std::printf("%-10s %14s %14s\n", "field", "estimate B/doc", "heap B/doc");
  const FieldMemory fields[] = {
      field_memory("bucket", n, [&](std::size_t i) { return MetadataValue(bucket[i]); }),
      field_memory("category", n, [&](std::size_t i) { return MetadataValue("category." + std::to_string(cat[i])); }),
      field_memory("pos", n, [&](std::size_t i) {
        static const char* names[] = {"noun", "noun", "noun", "verb", "adj", "adv"};
        return MetadataValue(std::string(names[i % 6]));
      }),
      field_memory("flag", n, [&](std::size_t i) { return MetadataValue(i % 3 == 0); }),
      field_memory("word", n, [&](std::size_t i) { return MetadataValue("word" + std::to_string(i)); }),
      field_memory("score", n, [&](std::size_t i) { return MetadataValue(static_cast<double>(i) * 0.37); }),
  };
  for (const auto& f : fields) std::printf("%-10s %14.2f %14.2f\n", f.field, f.estimate_per_doc, f.heap_per_doc);

  // The whole index over the first four fields, and evaluation times.
  std::vector<Metadata> docs(n);
  for (std::size_t i = 0; i < n; ++i) {
    docs[i].insert_or_assign("bucket", bucket[i]);
    docs[i].insert_or_assign("category", "category." + std::to_string(cat[i]));
    docs[i].insert_or_assign("flag", i % 3 == 0);
  }
  MetadataIndex index;
  auto start = Clock::now();
  for (std::size_t i = 0; i < n; ++i) index.add(static_cast<std::uint32_t>(i), docs[i]);
  std::printf("\nindex over bucket, category, flag: built in %.1f ms, estimate %.2f B/doc (%.2f per field)\n",
              seconds_since(start) * 1e3, static_cast<double>(index.estimate_memory_bytes()) / static_cast<double>(n),
              static_cast<double>(index.estimate_memory_bytes()) / static_cast<double>(n) / 3.0);

  std::vector<std::uint64_t> out, scratch;
  std::printf("evaluate (us per filter):\n");
  auto clause = [](const char* field, FilterOp op, JsonValue value) {
    return FilterCondition{field, op, std::move(value), std::nullopt};
  };
  const struct {
    const char* label;
    MetadataFilter filter;
  } cases[] = {
      {"bucket lt 500", {{clause("bucket", FilterOp::Lt, std::int64_t{500})}, {}}},
      {"bucket lt 100", {{clause("bucket", FilterOp::Lt, std::int64_t{100})}, {}}},
      {"bucket lt 10", {{clause("bucket", FilterOp::Lt, std::int64_t{10})}, {}}},
      {"bucket eq 0", {{clause("bucket", FilterOp::Eq, std::int64_t{0})}, {}}},
      {"category eq category.0", {{clause("category", FilterOp::Eq, std::string("category.0"))}, {}}},
      {"category eq category.20", {{clause("category", FilterOp::Eq, std::string("category.20"))}, {}}},
      {"flag eq true, not bucket lt 500",
       {{clause("flag", FilterOp::Eq, true)}, {clause("bucket", FilterOp::Lt, std::int64_t{500})}}},
  };
  for (const auto& c : cases) {
    std::uint64_t count = 0;
    const double us = time_us([&] { count = index.evaluate(c.filter, n, out, scratch); });
    std::printf("  %-34s %8.2f us  (%llu pass)\n", c.label, us, static_cast<unsigned long long>(count));
  }
  compare_set_forms(n);
  return static_cast<int>(sink & 0);
}
