// How far a long call has got, and the caller's way to stop it.
//
// A long core call (batch insert, rebuild, save, load, compact, the replay
// of an open) takes a Progress (may be null) and calls it at cheap points:
// between chunks of graph linking, between documents or collections,
// between the steps of a snapshot write. The call that is told to stop
// leaves everything as its own contract says and fails with
// ErrorKind::Cancelled.
//
// Every call happens on the thread that started the core call, never on a
// worker thread, and never with a collection's exclusive state lock held (a
// snapshot write may hold the shared one), so an implementation may block
// briefly, e.g. to take the interpreter lock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace karvalith {

class Progress {
 public:
  virtual ~Progress() = default;
  // `done` of `total` units (total > 0, done <= total, never decreasing
  // within one call). False asks the call to stop here.
  virtual bool report(std::uint64_t done, std::uint64_t total) = 0;
  // A stop point with nothing new to report (a step whose size is not known
  // yet). False asks the call to stop here.
  virtual bool poll() = 0;
};

// Null never stops. Nothing to count (total 0) is a poll.
inline bool keep_going(Progress* progress, std::uint64_t done, std::uint64_t total) {
  if (progress == nullptr) return true;
  return total == 0 ? progress->poll() : progress->report(done, total);
}
inline bool keep_going(Progress* progress) { return progress == nullptr || progress->poll(); }

// One part of a larger call: the part's `done` of its own size is reported
// as `base + done` of the whole call's `total`.
class ProgressPart final : public Progress {
 public:
  ProgressPart(Progress* whole, std::uint64_t base, std::uint64_t total)
      : whole_(whole), base_(base), total_(total) {}
  bool report(std::uint64_t done, std::uint64_t) override {
    return keep_going(whole_, std::min(base_ + done, total_), total_);
  }
  bool poll() override { return keep_going(whole_); }

 private:
  Progress* whole_;
  std::uint64_t base_;
  std::uint64_t total_;
};

// Stop points without reports: a step inside a call that counts in other
// units (a checkpoint after a batch insert, the snapshots of a compact).
class ProgressPollOnly final : public Progress {
 public:
  explicit ProgressPollOnly(Progress* whole) : whole_(whole) {}
  bool report(std::uint64_t, std::uint64_t) override { return keep_going(whole_); }
  bool poll() override { return keep_going(whole_); }

 private:
  Progress* whole_;
};

// Sizes the chunks of a loop that stops only between chunks, so that one
// chunk takes about TARGET whatever a piece costs: the first chunk is
// `first` pieces, each next one is scaled by the rate the previous one
// measured, within [min, max].
class ChunkPacer {
 public:
  static constexpr std::chrono::milliseconds TARGET{25};

  ChunkPacer(std::size_t first, std::size_t min, std::size_t max)
      : size_(std::clamp(first, min, max)), min_(min), max_(max) {}

  // The size of the chunk about to start (timed from now).
  std::size_t next() {
    started_ = std::chrono::steady_clock::now();
    return size_;
  }
  // The chunk of `pieces` started by next() has ended.
  void finished(std::size_t pieces) {
    const auto took = std::chrono::steady_clock::now() - started_;
    const double ratio = std::chrono::duration<double>(TARGET) / std::chrono::duration<double>(took);
    const double scaled = static_cast<double>(std::max<std::size_t>(pieces, 1)) * std::min(ratio, 4.0);
    size_ = std::clamp(static_cast<std::size_t>(scaled), min_, max_);
  }

 private:
  std::size_t size_;
  std::size_t min_;
  std::size_t max_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace karvalith
