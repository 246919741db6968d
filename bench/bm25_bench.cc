// Keyword-search benchmark on a real English corpus: WordNet's glosses (one
// document per synset, about 117,000). Measures tokenizing, indexing,
// deleting and single-thread BM25 queries of 1, 2 and 4 terms drawn with a
// fixed seed from the corpus's own terms, and compares the term map of the
// index with std::unordered_map on the same operations.
//
//   bm25_bench [--corpus DIR] [--queries N] [--seed S] [--runs R]

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/bm25/scorer.h"
#include "core/bm25/term_map.h"
#include "core/bm25/tokenizer.h"

namespace {

using karvalith::InvertedIndex;
using karvalith::Posting;
using karvalith::PostingList;
using karvalith::TermHash;
using karvalith::TermMap;
using karvalith::Tokens;

struct Options {
  std::string corpus = "/usr/share/wordnet";
  std::size_t queries = 20000;
  std::uint64_t seed = 42;
  int runs = 3;
};

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--corpus") {
      options.corpus = value;
    } else if (arg == "--queries") {
      options.queries = std::strtoull(value, nullptr, 10);
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value, nullptr, 10);
    } else if (arg == "--runs") {
      options.runs = std::max(1, std::atoi(value));
    } else {
      return false;
    }
  }
  return true;
}

// Each data line of data.{noun,verb,adj,adv} ends with "| gloss"; the
// license header lines start with two spaces.
std::vector<std::string> load_glosses(const std::string& dir) {
  std::vector<std::string> glosses;
  for (const char* name : {"data.noun", "data.verb", "data.adj", "data.adv"}) {
    std::ifstream in(dir + "/" + name);
    std::string line;
    while (std::getline(in, line)) {
      if (line.starts_with("  ")) continue;
      std::size_t bar = line.find(" | ");
      if (bar == std::string::npos) continue;
      std::string gloss = line.substr(bar + 3);
      while (!gloss.empty() && (gloss.back() == ' ' || gloss.back() == '\r')) gloss.pop_back();
      glosses.push_back(std::move(gloss));
    }
  }
  return glosses;
}

// This thread's CPU time: the machine is shared, and wall time would count
// the time other processes hold the cores.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best (shortest) wall time of `runs` calls of `body`.
double best_seconds(int runs, const std::function<void()>& body) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    double start = cpu_seconds();
    body();
    best = std::min(best, cpu_seconds() - start);
  }
  return best;
}

// ---- Replicas of the index's hot operations over either map, so the map
// choice is measured on the real workload.

struct StdPostings {
  template <class Hash>
  using Map = std::unordered_map<std::string, PostingList, Hash, std::equal_to<>>;
};

struct StdStringViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class Hash>
PostingList& find_or_insert(std::unordered_map<std::string, PostingList, Hash, std::equal_to<>>& map,
                            std::string_view term) {
  auto it = map.find(term);
  if (it == map.end()) it = map.emplace(std::string(term), PostingList{}).first;
  return it->second;
}

PostingList& find_or_insert(TermMap<PostingList>& map, std::string_view term) {
  return *map.try_emplace(term).first;
}

template <class Hash>
const PostingList* find(const std::unordered_map<std::string, PostingList, Hash, std::equal_to<>>& map,
                        std::string_view term) {
  auto it = map.find(term);
  return it == map.end() ? nullptr : &it->second;
}

const PostingList* find(const TermMap<PostingList>& map, std::string_view term) { return map.find(term); }

// Counting per distinct term in a temporary map first, as the algorithm is
// written, with the counting map's hash matching the postings map's.
template <class Map, class Hash>
void add_counting(Map& postings, std::uint32_t doc, std::string_view text, Tokens& tokens,
                  std::unordered_map<std::string_view, std::uint32_t, Hash>& counts) {
  karvalith::tokenize_into(text, tokens);
  counts.clear();
  for (std::size_t i = 0; i < tokens.size(); ++i) ++counts[tokens.term(i)];
  for (const auto& [term, count] : counts) find_or_insert(postings, term).push_back(Posting{doc, count});
}

// Counting on the list's last posting (what InvertedIndex does).
template <class Map>
void add_merging(Map& postings, std::uint32_t doc, std::string_view text, Tokens& tokens) {
  karvalith::tokenize_into(text, tokens);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PostingList& list = find_or_insert(postings, tokens.term(i));
    if (!list.empty() && list.back().doc_id == doc) {
      ++list.back().term_frequency;
    } else {
      list.push_back(Posting{doc, 1});
    }
  }
}

template <class Hash>
void remove_all(std::unordered_map<std::string, PostingList, Hash, std::equal_to<>>& map, std::uint32_t doc) {
  for (auto it = map.begin(); it != map.end();) {
    PostingList& list = it->second;
    auto p = std::lower_bound(list.begin(), list.end(), doc,
                              [](const Posting& q, std::uint32_t id) { return q.doc_id < id; });
    if (p != list.end() && p->doc_id == doc) list.erase(p);
    it = list.empty() ? map.erase(it) : std::next(it);
  }
}

void remove_all(TermMap<PostingList>& map, std::uint32_t doc) {
  for (std::size_t i = map.size(); i-- > 0;) {
    if (i >= 16 && !map.value_at(i - 16).empty()) __builtin_prefetch(&map.value_at(i - 16).back());
    PostingList& list = map.value_at(i);
    auto p = std::lower_bound(list.begin(), list.end(), doc,
                              [](const Posting& q, std::uint32_t id) { return q.doc_id < id; });
    if (p != list.end() && p->doc_id == doc) list.erase(p);
    if (list.empty()) map.erase_at(i);
  }
}

struct MapResult {
  const char* name;
  std::uint64_t postings;  // must equal the real index's
  double index_seconds;
  double lookup_ns;
  double delete_us;
};

template <class Map, class AddFn>
MapResult measure_map(const char* name, const std::vector<std::string>& docs,
                      const std::vector<std::string>& lookups, const std::vector<std::uint32_t>& deletions,
                      int runs, AddFn add) {
  Map kept;
  double index_seconds = best_seconds(runs, [&] {
    Map map;
    for (std::uint32_t d = 0; d < docs.size(); ++d) add(map, d, docs[d]);
    kept = std::move(map);
  });
  std::uint64_t found = 0;
  double lookup_seconds = best_seconds(runs, [&] {
    for (const std::string& term : lookups) {
      const PostingList* list = find(kept, term);
      found += list == nullptr ? 0 : list->size();
    }
  });
  Map copy = kept;
  double start = cpu_seconds();
  for (std::uint32_t doc : deletions) remove_all(copy, doc);
  double delete_seconds = cpu_seconds() - start;
  std::uint64_t postings = 0;
  for (const auto& entry : kept) postings += entry.second.size();
  if (found == 1) std::printf(" ");  // keeps the lookups observable
  return MapResult{name, postings, index_seconds, lookup_seconds * 1e9 / static_cast<double>(lookups.size()),
                   delete_seconds * 1e6 / static_cast<double>(deletions.size())};
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "usage: bm25_bench [--corpus DIR] [--queries N] [--seed S] [--runs R]\n");
    return 2;
  }
  const std::vector<std::string> docs = load_glosses(options.corpus);
  if (docs.empty()) {
    std::fprintf(stderr, "no glosses found under %s (expects WordNet data.* files)\n",
                 options.corpus.c_str());
    return 1;
  }
  std::uint64_t text_bytes = 0;
  for (const std::string& d : docs) text_bytes += d.size();

  // Tokenizer alone.
  Tokens tokens;
  std::uint64_t token_count = 0;
  double tokenize_seconds = best_seconds(options.runs, [&] {
    token_count = 0;
    for (const std::string& d : docs) {
      karvalith::tokenize_into(d, tokens);
      token_count += tokens.size();
    }
  });

  // The corpus is pure ASCII; with "É " in front, every text takes the ICU
  // path (full case mapping, property lookups) instead of the ASCII one.
  std::vector<std::string> accented;
  accented.reserve(docs.size());
  for (const std::string& d : docs) accented.push_back("\u00c9 " + d);
  double unicode_seconds = best_seconds(options.runs, [&] {
    for (const std::string& d : accented) karvalith::tokenize_into(d, tokens);
  });

  // Indexing with the real index.
  InvertedIndex index;
  double index_seconds = best_seconds(options.runs, [&] {
    InvertedIndex fresh;
    for (std::uint32_t d = 0; d < docs.size(); ++d) fresh.add_document(d, docs[d]);
    index = std::move(fresh);
  });
  std::uint64_t posting_count = 0;
  std::vector<std::string> vocabulary;
  vocabulary.reserve(index.postings().size());
  for (const auto& [term, list] : index.postings()) {
    posting_count += list.size();
    vocabulary.push_back(term);
  }
  std::sort(vocabulary.begin(), vocabulary.end());

  // Every term occurrence of the corpus, in text order: drawing from it picks
  // terms in proportion to their frequency.
  std::vector<std::string> occurrences;
  occurrences.reserve(token_count);
  for (const std::string& d : docs) {
    karvalith::tokenize_into(d, tokens);
    for (std::size_t i = 0; i < tokens.size(); ++i) occurrences.emplace_back(tokens.term(i));
  }

  std::printf("corpus: %s, %zu glosses, %.1f MB of text, %llu terms kept, %zu distinct\n\n",
              options.corpus.c_str(), docs.size(), static_cast<double>(text_bytes) / 1e6,
              static_cast<unsigned long long>(token_count), vocabulary.size());

  std::printf("| measure | value |\n|---|---|\n");
  std::printf("| tokenize | %.0f docs/s, %.1f MB/s |\n", static_cast<double>(docs.size()) / tokenize_seconds,
              static_cast<double>(text_bytes) / 1e6 / tokenize_seconds);
  std::printf("| tokenize, every text through ICU | %.0f docs/s, %.1f MB/s |\n",
              static_cast<double>(docs.size()) / unicode_seconds,
              static_cast<double>(text_bytes) / 1e6 / unicode_seconds);
  std::printf("| index (add_document) | %.0f docs/s (%.3f s for all) |\n",
              static_cast<double>(docs.size()) / index_seconds, index_seconds);
  std::printf("| index bytes (estimate_memory_bytes) | %llu (%.1f MB; %llu postings) |\n",
              static_cast<unsigned long long>(index.estimate_memory_bytes()),
              static_cast<double>(index.estimate_memory_bytes()) / 1e6,
              static_cast<unsigned long long>(posting_count));

  // Deletes: the same random documents removed from a copy of the index.
  std::mt19937_64 rng(options.seed);
  std::vector<std::uint32_t> deletions;
  for (int i = 0; i < 500; ++i) deletions.push_back(static_cast<std::uint32_t>(rng() % docs.size()));
  {
    InvertedIndex copy = index;
    double start = cpu_seconds();
    for (std::uint32_t doc : deletions) copy.remove_document(doc);
    double seconds = cpu_seconds() - start;
    std::printf("| remove_document | %.0f us per delete (%zu deletes) |\n",
                seconds * 1e6 / static_cast<double>(deletions.size()), deletions.size());
  }

  // Queries, k = 10, one thread.
  std::printf("\n| query terms | drawn from | queries/s | postings scored per query (mean) |\n|---|---|---|---|\n");
  for (const bool weighted : {false, true}) {
    for (const int terms : {1, 2, 4}) {
      std::vector<std::string> queries;
      for (std::size_t q = 0; q < options.queries; ++q) {
        std::string query;
        for (int t = 0; t < terms; ++t) {
          if (t > 0) query += ' ';
          query += weighted ? occurrences[rng() % occurrences.size()] : vocabulary[rng() % vocabulary.size()];
        }
        queries.push_back(std::move(query));
      }
      std::uint64_t checksum = 0;
      std::uint64_t postings_touched = 0;
      for (const std::string& query : queries) {
        karvalith::tokenize_into(query, tokens);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
          if (const PostingList* list = index.find(tokens.term(i))) postings_touched += list->size();
        }
      }
      double seconds = best_seconds(options.runs, [&] {
        for (const std::string& query : queries) {
          auto hits = karvalith::bm25_search(index, query, 10);
          checksum += hits.size();
        }
      });
      std::printf("| %d | %s | %.0f | %.0f |\n", terms,
                  weighted ? "occurrences (frequency-weighted)" : "distinct terms (uniform)",
                  static_cast<double>(queries.size()) / seconds,
                  static_cast<double>(postings_touched) / static_cast<double>(queries.size()));
      if (checksum == 0) std::printf("(no hits)\n");
    }
  }

  // Map choice, on replicas of the hot operations.
  std::vector<std::string> lookups;
  for (std::size_t i = 0; i < 1000000; ++i) lookups.push_back(occurrences[rng() % occurrences.size()]);
  for (std::size_t i = 0; i < lookups.size(); i += 4) lookups[i] += "zz";  // a quarter are misses

  using StdMapStdHash = StdPostings::Map<StdStringViewHash>;
  using StdMapTermHash = StdPostings::Map<TermHash>;
  std::unordered_map<std::string_view, std::uint32_t, std::hash<std::string_view>> std_counts;
  std::unordered_map<std::string_view, std::uint32_t, TermHash> term_counts;
  std::vector<MapResult> results;
  results.push_back(measure_map<StdMapStdHash>(
      "std::unordered_map + std::hash, counting map", docs, lookups, deletions, options.runs,
      [&](StdMapStdHash& m, std::uint32_t d, const std::string& t) { add_counting(m, d, t, tokens, std_counts); }));
  results.push_back(measure_map<StdMapTermHash>(
      "std::unordered_map + TermHash, counting map", docs, lookups, deletions, options.runs,
      [&](StdMapTermHash& m, std::uint32_t d, const std::string& t) { add_counting(m, d, t, tokens, term_counts); }));
  results.push_back(measure_map<StdMapTermHash>(
      "std::unordered_map + TermHash, count on last posting", docs, lookups, deletions, options.runs,
      [&](StdMapTermHash& m, std::uint32_t d, const std::string& t) { add_merging(m, d, t, tokens); }));
  results.push_back(measure_map<TermMap<PostingList>>(
      "TermMap (open addressing), counting map", docs, lookups, deletions, options.runs,
      [&](TermMap<PostingList>& m, std::uint32_t d, const std::string& t) { add_counting(m, d, t, tokens, term_counts); }));
  results.push_back(measure_map<TermMap<PostingList>>(
      "TermMap (open addressing), count on last posting", docs, lookups, deletions, options.runs,
      [&](TermMap<PostingList>& m, std::uint32_t d, const std::string& t) { add_merging(m, d, t, tokens); }));

  std::printf("\n| postings map, per-document counting | index docs/s | term lookup ns | delete us |\n"
              "|---|---|---|---|\n");
  for (const MapResult& r : results) {
    if (r.postings != posting_count) std::printf("(postings differ from the index: %llu)\n",
                                                 static_cast<unsigned long long>(r.postings));
    std::printf("| %s | %.0f | %.1f | %.0f |\n", r.name, static_cast<double>(docs.size()) / r.index_seconds,
                r.lookup_ns, r.delete_us);
  }
  return 0;
}
