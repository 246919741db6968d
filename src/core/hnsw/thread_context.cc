#include "core/hnsw/thread_context.h"

namespace karvalith {

namespace {

WalkContext& search_context() {
  thread_local WalkContext context;
  return context;
}

WalkContext& insertion_context() {
  thread_local WalkContext context;
  return context;
}

Result<ContextLease> lend(WalkContext& context) {
  if (context.borrowed) {
    return make_error(ErrorKind::Internal, "visited set already in use on this thread");
  }
  return ContextLease(&context);
}

}  // namespace

Result<ContextLease> borrow_search_context() { return lend(search_context()); }

Result<ContextLease> borrow_insertion_context() { return lend(insertion_context()); }

void release_insertion_marks_after(std::size_t batch, std::size_t node_count) {
  // From node_count / 1024 insertions on: growing the marks again costs at
  // most 1 KiB of fresh zero pages per node inserted, far less than one
  // node's walks.
  constexpr std::size_t RELEASE_RATIO = 1024;
  WalkContext& context = insertion_context();
  if (!context.borrowed && batch * RELEASE_RATIO >= node_count) context.visited.release();
}

VisitedSet& search_visited_set_for_testing() { return search_context().visited; }

VisitedSet& insertion_visited_set_for_testing() { return insertion_context().visited; }

}  // namespace karvalith
