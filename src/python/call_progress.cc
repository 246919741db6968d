#include "call_progress.h"

#include <utility>

#include "errors.h"
#include "py_text.h"

namespace karvalith::py {

void SavedException::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  value_ = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  type_ = PyRef::steal(type);
  value_ = PyRef::steal(value);
  traceback_ = PyRef::steal(traceback);
#endif
}

void SavedException::restore() {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

void note_on_exception(PyObject* exception, const std::string& note) {
  if (exception == nullptr) return;
  SavedException pending;
  if (PyErr_Occurred()) pending.fetch();
  PyRef text = PyRef::steal(utf8_to_py(note));
  if (text) {
    PyRef args = PyRef::steal(PyObject_GetAttrString(exception, "args"));
    const bool bare_interrupt = Py_IS_TYPE(exception, reinterpret_cast<PyTypeObject*>(PyExc_KeyboardInterrupt)) &&
                                args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 0;
    if (bare_interrupt) {
      PyRef message = PyRef::steal(PyTuple_Pack(1, text.get()));
      if (message) (void)PyObject_SetAttrString(exception, "args", message.get());
    } else if (PyObject_HasAttrString(exception, "add_note")) {
      PyRef added = PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", text.get()));
    }
  }
  PyErr_Clear();  // a note that cannot be added is no reason to lose the exception
  if (!pending.empty()) pending.restore();
}

thread_local const void* CallProgress::running_for_ = nullptr;

CallProgress::CallProgress(PyRef callable, bool close_after, const void* owner)
    : callable_(std::move(callable)),
      close_after_(close_after),
      owner_(std::this_thread::get_id()),
      owner_store_(owner) {}

bool refuse_reentry(const void* store) {
  if (store == nullptr || CallProgress::running_for(store) == false) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  "a Karvalith handle cannot be used from the progress callback (or a signal handler) of a "
                  "call in flight on that same handle: that call holds its locks, so this one would wait "
                  "for it forever");
  return true;
}

CallProgress::~CallProgress() = default;

bool CallProgress::report(std::uint64_t done, std::uint64_t total) {
  if (stopped_) return false;
  done_ = done;
  total_ = total;
  have_report_ = true;
  // The first report is shown at once (a bar appears at 0).
  return check(true, callable_ && !reported_once_);
}

bool CallProgress::poll() { return check(false, false); }

bool CallProgress::check(bool deliver, bool force) {
  if (stopped_) return false;
  // Only the thread that made the call may run Python code for it.
  if (std::this_thread::get_id() != owner_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (!force && checked_once_ && now - last_check_ < INTERVAL) return true;
  last_check_ = now;
  checked_once_ = true;
  if (PyGILState_Check()) return check_locked(deliver);
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool go_on = check_locked(deliver);
  PyGILState_Release(state);
  return go_on;
}

bool CallProgress::check_locked(bool deliver) {
  // Python code runs from here on: calls it makes on this handle are refused.
  struct Running {
    const void* previous;
    explicit Running(const void* store) : previous(running_for_) { running_for_ = store; }
    ~Running() { running_for_ = previous; }
  } running(owner_store_);
  if (PyErr_CheckSignals() != 0) {
    stop_.fetch();
    stopped_ = true;
    return false;
  }
  if (deliver && callable_ && have_report_) {
    have_report_ = false;
    reported_once_ = true;
    PyRef done = PyRef::steal(PyLong_FromUnsignedLongLong(done_));
    PyRef total = PyRef::steal(PyLong_FromUnsignedLongLong(total_));
    PyRef result;
    if (done && total) result = PyRef::steal(PyObject_CallFunctionObjArgs(callable_.get(), done.get(), total.get(), nullptr));
    if (!result) {
      stop_.fetch();
      stopped_ = true;
      return false;
    }
  }
  return true;
}

void CallProgress::close_bar() {
  if (!close_after_ || !callable_) return;
  close_after_ = false;
  SavedException pending;
  if (PyErr_Occurred()) pending.fetch();
  PyRef closed = PyRef::steal(PyObject_CallMethod(callable_.get(), "close", nullptr));
  if (!closed) PyErr_WriteUnraisable(callable_.get());
  if (!pending.empty()) pending.restore();
}

bool CallProgress::finish(const std::string& completed) {
  // A Ctrl-C of the last moments belongs to this call too.
  if (!stopped_) check(true, true);
  close_bar();
  if (!stopped_) return true;
  note_on_exception(stop_.value(), completed);
  stop_.restore();
  return false;
}

PyObject* CallProgress::raise_failure(const char* method, const Error& error) {
  close_bar();
  if (stop_.empty()) return raise_error(error);
  // The caller asked to stop: that exception is the one to see, whatever
  // ended the call.
  const char* how = error.kind == ErrorKind::Cancelled ? " interrupted: " : " failed: ";
  note_on_exception(stop_.value(), method + std::string(how) + error.message);
  stop_.restore();
  return nullptr;
}

bool to_call_progress(PyObject* value, const char* label, PyRef& callable, bool& close_after) {
  close_after = false;
  if (value == nullptr || value == Py_None || value == Py_False) return true;
  if (value == Py_True) {
    PyRef module = PyRef::steal(PyImport_ImportModule("karvalith._progress"));
    if (!module) return false;
    PyRef bar = PyRef::steal(PyObject_CallMethod(module.get(), "terminal_bar", "s", label));
    if (!bar) return false;
    if (bar.get() == Py_None) return true;  // not a terminal
    callable = std::move(bar);
    close_after = true;
    return true;
  }
  if (!PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'progress': expected True, False, None or a callable taking (done, total), got %s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  callable = PyRef::borrow(value);
  return true;
}

}  // namespace karvalith::py
