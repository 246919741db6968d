// Running core calls without the interpreter lock, so other Python threads
// run meanwhile. Inside, no Python object may be touched: arguments are
// converted before and results after.
#pragma once

#include <Python.h>

#include <utility>

namespace karvalith::py {

// Releases the interpreter lock for its lifetime (also when an exception
// unwinds through it).
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Calls `work()` with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  GilReleased released;
  return std::forward<Work>(work)();
}

}  // namespace karvalith::py
