// One spinlock per node, for inserting from several threads at once: a
// thread reads or changes a node's neighbour lists only while it holds the
// node's lock. Critical sections are short (copy a list, append an id, or
// prune one list), so spinning beats sleeping.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace karvalith {

class NodeLocks {
 public:
  explicit NodeLocks(std::size_t count) : flags_(new std::atomic<std::uint8_t>[count]) {
    for (std::size_t i = 0; i < count; ++i) flags_[i].store(0, std::memory_order_relaxed);
  }

  void lock(std::uint32_t n) {
    while (flags_[n].exchange(1, std::memory_order_acquire) != 0) {
      while (flags_[n].load(std::memory_order_relaxed) != 0) pause();
    }
  }
  void unlock(std::uint32_t n) { flags_[n].store(0, std::memory_order_release); }

  class Guard {
   public:
    Guard(NodeLocks& locks, std::uint32_t n) : locks_(locks), n_(n) { locks_.lock(n_); }
    ~Guard() { locks_.unlock(n_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    NodeLocks& locks_;
    std::uint32_t n_;
  };

 private:
  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  std::unique_ptr<std::atomic<std::uint8_t>[]> flags_;
};

}  // namespace karvalith
