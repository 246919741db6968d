// Per-thread state of graph walks: visited marks, heaps and scratch buffers,
// created on a thread's first use and reused so that steady-state searches
// allocate nothing. Each thread has two contexts, one for insertion and one
// for searches; a context is lent to one walk at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/common/result.h"
#include "core/hnsw/candidate.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/visited.h"

namespace karvalith {

struct SearchScratch {
  std::vector<Candidate> candidates;  // near heap: closest unexplored on top
  std::vector<Candidate> results;     // far heap during a walk, ascending after it
  std::vector<float> query;           // the query scaled by prepare_query, when it is
  std::vector<std::uint32_t> fresh;   // unvisited neighbours of the node being expanded
  std::vector<float> fresh_distances;  // their distances to the query
  std::vector<std::uint32_t> links;   // a node's links, copied while other threads insert
  std::vector<float> offset;          // the query less the bit codes' centre
  std::vector<std::uint64_t> planes;  // that offset's bit planes (binary_code.h)
  std::uint64_t distance_count = 0;   // distances computed by walks since the last reset
};

// Buffers used by one insertion besides the walk itself.
struct InsertScratch {
  std::vector<std::uint32_t> entries;   // entry points of the next layer
  std::vector<std::uint32_t> level0;    // the new node's level-0 list
  std::vector<Candidate> selected;      // heuristic output
  std::vector<Candidate> pairs;         // a pruned list with distances to its owner
  std::vector<std::uint32_t> ids;       // a level-0 list plus the new id
  std::vector<std::uint32_t> upper_targets;  // the new node's list on one upper layer
  std::vector<float> query;             // the new vector scaled by prepare_query, when it is
  std::vector<std::int8_t> centred;     // a list owner's codes less 128 (CodeDistance::centre)
  std::vector<CodeDistance::Terms> terms;  // of a pruned list's ids, in order (distances_from)
  HeuristicScratch heuristic;
};

struct WalkContext {
  VisitedSet visited;
  SearchScratch search;
  InsertScratch insert;
  bool borrowed = false;
};

// Exclusive use of a thread's context; returns it when destroyed.
class ContextLease {
 public:
  explicit ContextLease(WalkContext* context) : context_(context) { context_->borrowed = true; }
  ContextLease(ContextLease&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}
  ContextLease& operator=(ContextLease&&) = delete;
  ContextLease(const ContextLease&) = delete;
  ContextLease& operator=(const ContextLease&) = delete;
  ~ContextLease() {
    if (context_ != nullptr) context_->borrowed = false;
  }

  VisitedSet& visited() { return context_->visited; }
  SearchScratch& search() { return context_->search; }
  InsertScratch& insert() { return context_->insert; }

 private:
  WalkContext* context_;
};

// Fail with an internal fault when the context is already lent on this thread.
Result<ContextLease> borrow_search_context();
Result<ContextLease> borrow_insertion_context();

// Called after this thread inserted `batch` nodes into a graph of
// `node_count`: frees the visited marks of its insertion context (a byte per
// node, in a mapping of their own) unless the context is lent out or the
// batch is too small to pay for growing them again at the next insertion.
void release_insertion_marks_after(std::size_t batch, std::size_t node_count);

// Direct access for tests (epoch wrap, freed marks); does not borrow.
VisitedSet& search_visited_set_for_testing();
VisitedSet& insertion_visited_set_for_testing();

}  // namespace karvalith
