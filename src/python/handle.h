// The state behind a Karvalith object and the class itself.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/engine/database.h"
#include "core/store/durable_database.h"
#include "log_record.h"

namespace karvalith::py {

// A database handle. Its fields never change after construction; every
// mutation goes through the locks inside Database and Collection.
class Handle {
 public:
  explicit Handle(std::unique_ptr<DurableDatabase> store) : store_(std::move(store)) {}

  Database& database() const { return store_->database(); }
  // The database with its persistence: the log, data_dir, the key.
  DurableDatabase& store() const { return *store_; }

  // The named collection, or NotFound "collection '{}' not found".
  Result<CollectionPtr> collection(const std::string& name) const;

  // Called by every mutating method after all of its validation and before
  // its first change: appends the matching log entry, encoded straight from
  // the call's data. A failure ("WAL write failed: {}") leaves memory
  // untouched. Does nothing while the handle has no write-ahead log.
  Status log_mutation(const LogRecord& record) const;

 private:
  std::unique_ptr<DurableDatabase> store_;
};

struct KarvalithObject {
  PyObject_HEAD
  Handle handle;
};

inline Handle& handle_of(PyObject* self) { return reinterpret_cast<KarvalithObject*>(self)->handle; }

// Creates the class (once, at module initialisation). New reference.
PyObject* create_karvalith_type();

}  // namespace karvalith::py
