// The state behind a Karvalith object and the class itself.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "core/store/store.h"

namespace karvalith::py {

// A database handle: the store every method works on, null once closed.
// Each call works on its own copy of the pointer (taken before its
// arguments are converted), so the store outlives every call in flight,
// also when another thread closes the handle meanwhile.
class Handle {
 public:
  explicit Handle(std::shared_ptr<Store> store) : store_(std::move(store)) {}

  const std::shared_ptr<Store>& store() const { return store_; }
  // Takes the store out: the handle is closed from now on.
  std::shared_ptr<Store> release() { return std::move(store_); }

 private:
  std::shared_ptr<Store> store_;
};

struct KarvalithObject {
  PyObject_HEAD
  Handle handle;
};

// Raises the store's KeyError unless the collection exists. Used where a
// missing collection must be reported before checks of the call's content;
// the store looks the collection up again when it does the work.
bool require_collection(const Store& store, const std::string& name);

// In a forked child of the process that opened a persistent store, takes
// the store out of the handle and leaks it: closing it there could wait on
// locks that the parent's threads held at the fork, and the files are the
// parent's. A no-op everywhere else.
void abandon_if_forked(Handle& handle);

inline Handle& handle_of(PyObject* self) { return reinterpret_cast<KarvalithObject*>(self)->handle; }

// Creates the class (once, at module initialisation). New reference.
PyObject* create_karvalith_type();

}  // namespace karvalith::py
