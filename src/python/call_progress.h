// The Progress a long call hands the core: it notices Ctrl-C and runs the
// caller's `progress` argument while the core works without the interpreter
// lock.
//
// The core calls it on the calling thread with the lock released. At most
// every INTERVAL it re-takes the lock, runs the signal handlers
// (PyErr_CheckSignals: a pending KeyboardInterrupt) and calls the caller's
// callable with (done, total). An exception from either stops the call: it is
// kept and raised when the core call has returned, with a note saying what
// the call kept.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "core/common/progress.h"
#include "core/common/result.h"
#include "py_ref.h"

namespace karvalith::py {

// An exception taken out of the interpreter, to be raised again later.
class SavedException {
 public:
  // Takes the pending exception (there must be one).
  void fetch();
  bool empty() const { return !value_; }
  PyObject* value() const { return value_.get(); }
  // Sets it as the pending exception again; empty afterwards.
  void restore();

 private:
  PyRef type_;  // before 3.12 only
  PyRef value_;
  PyRef traceback_;  // before 3.12 only
};

// Adds `note` to `exception`: as its message when it is a KeyboardInterrupt
// without one, else with add_note (3.11+; nothing before). Keeps any
// pending exception.
void note_on_exception(PyObject* exception, const std::string& note);

class CallProgress final : public Progress {
 public:
  static constexpr std::chrono::milliseconds INTERVAL{40};

  // With the interpreter lock held. `callable` may be null (signals only).
  // `close_after` for a bar this binding made: its close() is called when
  // the call ends. `owner` is the store the call works on (null for none).
  CallProgress(PyRef callable, bool close_after, const void* owner);
  ~CallProgress() override;
  CallProgress(const CallProgress&) = delete;
  CallProgress& operator=(const CallProgress&) = delete;

  bool report(std::uint64_t done, std::uint64_t total) override;
  bool poll() override;
  // Whether this thread runs Python code for a call on `store` now.
  static bool running_for(const void* store) { return store != nullptr && running_for_ == store; }

  // With the lock, after a core call that succeeded: delivers the last
  // report if the interval held it back. When something asked the call to
  // stop (the core finished anyway), raises that exception with
  // `completed` as its note and returns false; also when the callable
  // raises now.
  bool finish(const std::string& completed);
  // With the lock, after a core call that failed: raises the exception that
  // stopped it, noted with "<method> interrupted: <the core's message>",
  // for a Cancelled error; the error's own exception otherwise. Null.
  PyObject* raise_failure(const char* method, const Error& error);

 private:
  // The checks, with the lock re-taken when it is not held; false once
  // something asked to stop.
  bool check(bool deliver, bool force);
  bool check_locked(bool deliver);
  void close_bar();

  // The store whose call runs Python code on this thread now, if any.
  static thread_local const void* running_for_;
  const void* owner_store_;

  PyRef callable_;
  bool close_after_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point last_check_{};
  bool checked_once_ = false;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  bool have_report_ = false;  // a report not yet delivered to the callable
  bool reported_once_ = false;  // the callable has been called
  bool stopped_ = false;
  SavedException stop_;
};

// Python code run by a CallProgress (the callable, a signal handler) must
// not call the handle whose call is in flight: that call holds its locks, so
// the new one would wait for it forever. Sets RuntimeError and returns true
// when this thread is inside such code for `store`.
bool refuse_reentry(const void* store);

// The `progress` argument: absent, None or False (nothing shown), True (a bar
// on stderr when it is a terminal, made by karvalith._progress), or a
// callable. TypeError otherwise. `label` names the bar.
bool to_call_progress(PyObject* value, const char* label, PyRef& callable, bool& close_after);

}  // namespace karvalith::py
