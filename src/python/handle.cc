#include "handle.h"

#include <new>
#include <optional>
#include <string>

#include "core/sealing/crypto.h"

#include "args.h"
#include "call_progress.h"
#include "docstrings.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"
#include "py_ref.h"
#include "store_log.h"

namespace karvalith::py {

bool require_collection(const Store& store, const std::string& name) {
  // Only the registry lock is taken, which is held for map operations alone:
  // releasing the interpreter lock would cost more than the wait.
  Status found = store.require_collection(name);
  if (!found) raise_error(found.error());
  return found.has_value();
}

namespace {

constexpr const char* const CONSTRUCTOR_PARAMETERS[] = {"data_dir", "encryption_key", "auto_checkpoint_bytes",
                                                         "auto_checkpoint_records", "progress"};

// A RuntimeWarning when the open could not reach all the data the
// directory holds. False when the warning was turned into an error.
bool warn_about_problems(const Store& store) {
  const std::string read_only = store.read_only_reason();
  std::size_t missing = 0;
  std::string first;
  for (const RecoveryIssue& issue : store.recovery_issues()) {
    if (!issue.data_missing) continue;
    if (missing++ == 0) first = "'" + issue.file + "': " + issue.reason;
  }
  if (read_only.empty() && missing == 0) return true;
  std::string message = "Karvalith opened '" + store.data_dir().value_or("") + "' with problems (see status()): ";
  if (!read_only.empty()) {
    message += "read-only: " + read_only;
  } else {
    message += std::to_string(missing) + " unreadable file(s) or record(s), first " + first;
  }
  return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

PyObject* karvalith_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    const Signature signature{"Karvalith", CONSTRUCTOR_PARAMETERS, 0};
    PyObject* slots[5];
    if (!bind_arguments(signature, args, kwargs, slots)) return nullptr;
    std::optional<std::string> data_dir;
    std::optional<std::string> encryption_key;
    std::optional<std::uint64_t> checkpoint_bytes;
    std::optional<std::uint64_t> checkpoint_records;
    if (!to_optional_path(slots[0], "data_dir", data_dir) ||
        !to_optional_text(slots[1], "encryption_key", encryption_key) ||
        !to_optional_u64(slots[2], "auto_checkpoint_bytes", checkpoint_bytes) ||
        !to_optional_u64(slots[3], "auto_checkpoint_records", checkpoint_records)) {
      return nullptr;
    }
    PyRef progress_callable;
    bool close_bar = false;
    if (!to_call_progress(slots[4], "open", progress_callable, close_bar)) return nullptr;
    CheckpointPolicy policy;
    if (checkpoint_bytes) policy.log_bytes = *checkpoint_bytes;
    if (checkpoint_records) policy.log_records = *checkpoint_records;
    // The key is parsed before any file is touched.
    EncryptionKeyPtr key;
    if (encryption_key) {
      auto parsed = EncryptionKey::from_hex(*encryption_key);
      if (!parsed) return raise_error(parsed.error());
      key = std::move(*parsed);
    }
    std::shared_ptr<Store> store;
    if (data_dir) {
      // Loading snapshots and replaying the log can take long.
      CallProgress progress(std::move(progress_callable), close_bar, nullptr);
      auto opened = without_gil([&] { return Store::open(*data_dir, std::move(key), policy, &progress); });
      if (!opened) return progress.raise_failure("open", opened.error());
      store = std::move(*opened);
      log_store_events(*store);
      if (!progress.finish("the open had completed; the handle is closed again") ||
          !warn_about_problems(*store)) {
        without_gil([&] { (void)store->close(); });
        return nullptr;
      }
    } else {
      store = Store::ephemeral(std::move(key));
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&handle_of(self)) Handle(std::move(store));
    return self;
  });
}

void karvalith_dealloc(PyObject* self) {
  abandon_if_forked(handle_of(self));
  handle_of(self).~Handle();
  Py_TYPE(self)->tp_free(self);
}

PyObject* karvalith_repr(PyObject* self) {
  return guarded_call([&] {
    const std::shared_ptr<Store> store = handle_of(self).store();
    if (!store) return PyUnicode_FromString("Karvalith(closed)");
    const std::size_t count = store->list_collections().size();  // registry lock only
    return PyUnicode_FromFormat("Karvalith(collections=%zu)", count);
  });
}

PyObject* raise_closed() { return raise_message(PyExc_ValueError, CLOSED_MESSAGE); }

// Adapts a method body to the interpreter's calling convention. The body
// works on its own copy of the store pointer: closing the handle while its
// arguments are converted (which can run Python code) cannot pull the store
// from under it.
template <MethodBody Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    std::shared_ptr<Store> store = handle_of(self).store();
    if (!store) return raise_closed();
    if (Status here = store->check_process(); !here) return raise_error(here.error());
    if (refuse_reentry(store.get())) return nullptr;
    Handle pinned(std::move(store));
    PyObject* result = Body(pinned, args, nargs, kwnames);
    // Checkpoints and problems the call ran into.
    if (pinned.store()) log_store_events(*pinned.store());
    return result;
  });
}

// close() works on the handle itself, and may be called again.
PyObject* close_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return close(handle_of(self), args, nargs, kwnames); });
}

PyObject* enter_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    if (!bind_arguments({"__enter__", {}, 0}, args, nargs, kwnames, {})) return nullptr;
    const std::shared_ptr<Store>& store = handle_of(self).store();
    if (!store) return raise_closed();
    if (Status here = store->check_process(); !here) return raise_error(here.error());
    Py_INCREF(self);
    return self;
  });
}

constexpr const char* const EXIT_PARAMETERS[] = {"exc_type", "exc_value", "traceback"};

PyObject* exit_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind_arguments({"__exit__", EXIT_PARAMETERS, 3}, args, nargs, kwnames, slots)) return nullptr;
    PyRef closed = PyRef::steal(close_handle(handle_of(self)));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;  // an exception from the block goes on
  });
}

PyMethodDef raw_method(const char* name, PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*),
                       const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

template <MethodBody Body>
PyMethodDef method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef karvalith_methods[] = {
    method<create_collection>("create_collection", doc::CREATE_COLLECTION),
    method<delete_collection>("delete_collection", doc::DELETE_COLLECTION),
    method<list_collections>("list_collections", doc::LIST_COLLECTIONS),
    method<collection_info>("collection_info", doc::COLLECTION_INFO),
    method<insert>("insert", doc::INSERT),
    method<batch_insert>("batch_insert", doc::BATCH_INSERT),
    method<get>("get", doc::GET),
    method<delete_document>("delete", doc::DELETE),
    method<delete_where>("delete_where", doc::DELETE_WHERE),
    method<count>("count", doc::COUNT),
    method<search>("search", doc::SEARCH),
    method<save>("save", doc::SAVE),
    method<load>("load", doc::LOAD),
    method<compact>("compact", doc::COMPACT),
    method<rebuild>("rebuild", doc::REBUILD),
    method<total_memory_bytes>("total_memory_bytes", doc::TOTAL_MEMORY_BYTES),
    method<upsert>("upsert", doc::UPSERT),
    method<update_metadata>("update_metadata", doc::UPDATE_METADATA),
    method<keyword_statistics>("keyword_statistics", doc::KEYWORD_STATISTICS),
    method<list_ids>("list_ids", doc::LIST_IDS),
    method<get_embedding>("get_embedding", doc::GET_EMBEDDING),
    method<status>("status", doc::STATUS),
    method<salvage_log>("salvage_log", doc::SALVAGE_LOG),
    raw_method("close", close_entry, doc::CLOSE),
    raw_method("__enter__", enter_entry, doc::ENTER),
    raw_method("__exit__", exit_entry, doc::EXIT),
    method<batch_search>("batch_search", doc::BATCH_SEARCH),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject karvalith_type{};  // filled in by its create function

}  // namespace

PyObject* create_karvalith_type() {
  // A static type keeps the text signature at the head of tp_doc, where
  // __text_signature__ (and so inspect.signature) finds it.
  PyTypeObject& type = karvalith_type;
  if (type.tp_flags & Py_TPFLAGS_READY) {  // a retried initialisation
    Py_INCREF(&type);
    return reinterpret_cast<PyObject*>(&type);
  }
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "karvalith.Karvalith";
  type.tp_basicsize = sizeof(KarvalithObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = doc::KARVALITH;
  type.tp_new = karvalith_new;
  type.tp_dealloc = karvalith_dealloc;
  type.tp_repr = karvalith_repr;
  type.tp_methods = karvalith_methods;
  if (PyType_Ready(&type) != 0) return nullptr;
  Py_INCREF(&type);
  return reinterpret_cast<PyObject*>(&type);
}

}  // namespace karvalith::py
