// A Progress double: goes on for a given number of calls (reports and polls
// alike), then asks to stop, and keeps what it heard. It can also stop at
// its first poll, or at the report that says everything is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/common/progress.h"

namespace karvalith::testing {

class StopAfter final : public Progress {
 public:
  explicit StopAfter(std::size_t calls = std::numeric_limits<std::size_t>::max()) : left_(calls) {}

  bool report(std::uint64_t done, std::uint64_t total) override {
    reports.emplace_back(done, total);
    if (stop_on_complete && done == total) return false;
    return step();
  }
  bool poll() override {
    ++polls;
    return step();
  }
  std::size_t calls() const { return reports.size() + polls; }

  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  std::size_t polls = 0;
  bool stop_on_complete = false;

 private:
  bool step() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }
  std::size_t left_;
};

// Whether the reports never go back, keep one total, and stay within it.
inline bool reports_are_monotone(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& reports) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    if (reports[i].first > reports[i].second || reports[i].second != reports.front().second) return false;
    if (i > 0 && reports[i].first < reports[i - 1].first) return false;
  }
  return true;
}

}  // namespace karvalith::testing
