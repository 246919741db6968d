#include "core/common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace karvalith {

unsigned resolve_thread_count(std::uint64_t requested) {
  if (requested != 0) return static_cast<unsigned>(std::min<std::uint64_t>(requested, 1024));
  // The cores this process may run on (taskset, cgroups), not every core of the machine.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int allowed = CPU_COUNT(&set);
    if (allowed > 0) return static_cast<unsigned>(allowed);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned worker_count(std::size_t count, unsigned threads) {
  return static_cast<unsigned>(std::min<std::size_t>(std::max(1u, threads), std::max<std::size_t>(count, 1)));
}

void parallel_for(std::size_t count, unsigned threads, FunctionRef<void(std::size_t)> work) {
  parallel_for(count, threads, [&](std::size_t i, unsigned) { work(i); });
}

void parallel_for(std::size_t count, unsigned threads, FunctionRef<void(std::size_t, unsigned)> work) {
  const unsigned workers = worker_count(count, threads);
  if (workers <= 1) {
    for (std::size_t i = 0; i < count; ++i) work(i, 0);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_failure;
  std::mutex failure_mutex;
  auto run = [&](unsigned worker) {
    try {
      for (std::size_t i = next.fetch_add(1); i < count && !failed.load(); i = next.fetch_add(1)) work(i, worker);
    } catch (...) {
      std::lock_guard lock(failure_mutex);
      if (!first_failure) first_failure = std::current_exception();
      failed.store(true);
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(workers - 1);
  try {
    for (unsigned t = 1; t < workers; ++t) pool.emplace_back(run, t);
  } catch (...) {
    // A thread that could not start: the ones started and this one do the work.
  }
  run(0);
  for (std::thread& thread : pool) thread.join();
  if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace karvalith
