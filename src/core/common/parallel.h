// Running independent pieces of work on several threads for one call. The
// threads are created by the call and joined before it returns, so none is
// left running afterwards and importing the library starts none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/function_ref.h"

namespace karvalith {

// 0 means one thread per core the process may use; any other value is taken
// as given (at least 1).
unsigned resolve_thread_count(std::uint64_t requested);

// Calls work(i) once for every i in [0, count), spread over `threads`
// threads (the calling thread is one of them; with one thread, or one piece
// of work, no thread is created). Pieces are handed out one at a time in
// increasing order. If a piece throws, the remaining pieces are skipped and
// the first exception is rethrown on the calling thread after every thread
// has finished.
void parallel_for(std::size_t count, unsigned threads, FunctionRef<void(std::size_t)> work);

// The number of threads parallel_for uses for `count` pieces.
unsigned worker_count(std::size_t count, unsigned threads);

// The same, also telling each piece which thread runs it (0 for the calling
// thread, below worker_count(count, threads)), so each thread can keep
// buffers of its own.
void parallel_for(std::size_t count, unsigned threads, FunctionRef<void(std::size_t, unsigned)> work);

}  // namespace karvalith
