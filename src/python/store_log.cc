#include "store_log.h"

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "call_progress.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

const char* trigger_name(CheckpointEvent::Trigger trigger) {
  switch (trigger) {
    case CheckpointEvent::Trigger::Automatic: return "automatic checkpoint";
    case CheckpointEvent::Trigger::Compact: return "compact";
    case CheckpointEvent::Trigger::Save: return "save";
  }
  return "checkpoint";
}

// logger.<level>(format, *args) (`args` a new tuple, consumed); false with
// an exception set on failure.
bool emit(PyObject* logger, const char* level, const char* format, PyObject* args) {
  PyRef owned_args = PyRef::steal(args);
  if (!owned_args) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(owned_args.get());
  PyRef call_args = PyRef::steal(PyTuple_New(count + 1));
  if (!call_args) return false;
  PyObject* format_text = PyUnicode_FromString(format);
  if (format_text == nullptr) return false;
  PyTuple_SET_ITEM(call_args.get(), 0, format_text);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(owned_args.get(), i);
    Py_INCREF(item);
    PyTuple_SET_ITEM(call_args.get(), i + 1, item);
  }
  PyRef method = PyRef::steal(PyObject_GetAttrString(logger, level));
  if (!method) return false;
  PyRef done = PyRef::steal(PyObject_Call(method.get(), call_args.get(), nullptr));
  return static_cast<bool>(done);
}

bool log_event(PyObject* logger, const StoreEvent& event) {
  return std::visit(
      [&](const auto& e) -> bool {
        using Event = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<Event, OpenedEvent>) {
          return emit(logger, "info", "opened %s: %d collections, %d documents in %.3f s",
                      Py_BuildValue("(NKKd)", utf8_to_py(e.data_dir), static_cast<unsigned long long>(e.collections),
                                    static_cast<unsigned long long>(e.documents), e.seconds));
        } else if constexpr (std::is_same_v<Event, RecoveredEvent>) {
          return emit(logger, "info",
                      "recovered %s: %d snapshots loaded, %d not loadable; %d log records (%d documents) "
                      "replayed, %d not applied, %d torn bytes cut off, in %.3f s",
                      Py_BuildValue("(NKKKKKKd)", utf8_to_py(e.data_dir), static_cast<unsigned long long>(e.snapshots),
                                    static_cast<unsigned long long>(e.unloadable_snapshots),
                                    static_cast<unsigned long long>(e.log_records),
                                    static_cast<unsigned long long>(e.log_documents),
                                    static_cast<unsigned long long>(e.unapplied),
                                    static_cast<unsigned long long>(e.torn_bytes), e.seconds));
        } else if constexpr (std::is_same_v<Event, CheckpointEvent>) {
          std::string what = trigger_name(e.trigger);
          if (!e.collection.empty()) what += " of '" + e.collection + "'";
          if (e.log_emptied) {
            return emit(logger, "info", "%s: %d snapshots (%d bytes) written to %s in %.3f s; log of %d bytes emptied",
                        Py_BuildValue("(NKKNdK)", utf8_to_py(what), static_cast<unsigned long long>(e.snapshots),
                                      static_cast<unsigned long long>(e.bytes), utf8_to_py(e.directory), e.seconds,
                                      static_cast<unsigned long long>(e.log_bytes)));
          }
          return emit(logger, "info", "%s: %d snapshots (%d bytes) written to %s in %.3f s",
                      Py_BuildValue("(NKKNd)", utf8_to_py(what), static_cast<unsigned long long>(e.snapshots),
                                    static_cast<unsigned long long>(e.bytes), utf8_to_py(e.directory), e.seconds));
        } else {
          static_assert(std::is_same_v<Event, ProblemEvent>);
          return emit(logger, "warning", "%s", Py_BuildValue("(N)", utf8_to_py(e.message)));
        }
      },
      event);
}

}  // namespace

void log_store_events(Store& store) {
  std::vector<StoreEvent> events = store.take_events();
  if (events.empty()) return;
  SavedException pending;
  if (PyErr_Occurred()) pending.fetch();
  PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
  PyRef logger = logging ? PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "karvalith")) : PyRef();
  if (!logger) {
    PyErr_WriteUnraisable(nullptr);
  } else {
    for (const StoreEvent& event : events) {
      if (!log_event(logger.get(), event)) PyErr_WriteUnraisable(logger.get());
    }
  }
  if (!pending.empty()) pending.restore();
}

}  // namespace karvalith::py
