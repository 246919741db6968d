// Karvalith methods on single documents: insert, batch_insert, upsert,
// update_metadata, list_ids, get_embedding (get and delete, which also take
// many ids or a filter, are in query_methods.cc).
// Each converts its arguments, then lets the store validate, log and apply
// with the interpreter lock released.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "call_progress.h"
#include "convert.h"
#include "embedding.h"
#include "errors.h"
#include "gil.h"
#include "ids.h"
#include "methods.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

constexpr const char* const COLLECTION_AND_ID[] = {"collection", "id"};

// The id given as text, parsed; absent when none was given (the core then
// makes a fresh one).
bool parse_optional_id(const std::optional<std::string>& id_text, std::optional<Uuid>& out) {
  if (!id_text) return true;
  return parse_id(*id_text, out.emplace());
}

// Whether documents of `collection` may come without an embedding: true
// for a keyword-only collection (dimension 0). Raises when it cannot tell.
std::optional<bool> embedding_optional(Store& store, const std::string& collection) {
  Result<std::uint64_t> dimension = without_gil([&] { return store.collection_dimension(collection); });
  if (!dimension) {
    raise_error(dimension.error());
    return std::nullopt;
  }
  return *dimension == 0;
}

// For insert or upsert called without an embedding (at `position`,
// 1-based): true for a keyword-only collection; for any other, raises the
// TypeError of a missing argument.
bool allow_missing_embedding(Store& store, const std::string& collection, const char* method, std::size_t position) {
  const std::optional<bool> optional = embedding_optional(store, collection);
  if (!optional) return false;
  if (*optional) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing required argument 'embedding' (pos %zu)", method, position);
  return false;
}

// One element of batch_insert's list, checked in the documented order.
// `embedding_optional`: the collection is keyword-only.
bool convert_batch_document(PyObject* item, std::size_t index, bool embedding_optional, NewDocument& out) {
  const std::string label = "documents[" + std::to_string(index) + "]";
  const PyRef document = PyRef::steal(to_dict(item, label, "dict"));
  if (!document) return false;
  item = document.get();
  // A misspelt key ("meta", "embeddings") would store the document without it.
  static constexpr const char* const ACCEPTED[] = {"text", "embedding", "metadata", "id"};
  if (!refuse_unknown_keys(item, ACCEPTED, label)) return false;

  PyObject* text_object = nullptr;
  if (!dict_lookup(item, "text", text_object)) return false;
  if (text_object == nullptr) {
    raise_message(PyExc_ValueError, "document missing 'text'");
    return false;
  }
  if (!PyUnicode_Check(text_object)) return wrong_type(label + "['text']", "str", text_object);
  if (!to_text(text_object, "text", out.text)) return false;

  PyObject* embedding_object = nullptr;
  if (!dict_lookup(item, "embedding", embedding_object)) return false;
  if (embedding_object == nullptr && !embedding_optional) {
    raise_message(PyExc_ValueError, "document missing 'embedding'");
    return false;
  }
  if (embedding_object != nullptr) {
    PyRef embedding_ref = PyRef::borrow(embedding_object);
    if (!to_embedding(embedding_ref.get(), label + "['embedding']", out.embedding)) return false;
  }

  PyObject* metadata_object = nullptr;
  if (!dict_lookup(item, "metadata", metadata_object)) return false;
  if (metadata_object != nullptr) {
    const PyRef metadata = PyRef::steal(to_dict(metadata_object, label + "['metadata']", "dict"));
    if (!metadata || !py_dict_to_metadata(metadata.get(), out.metadata)) return false;
  }

  std::optional<std::string> id_text;
  PyObject* id_object = nullptr;
  if (!dict_lookup(item, "id", id_object)) return false;
  if (id_object != nullptr) {
    if (!PyUnicode_Check(id_object)) return wrong_type(label + "['id']", "str", id_object);
    if (!to_text(id_object, "id", id_text.emplace())) return false;
  }
  return parse_optional_id(id_text, out.id);
}


}  // namespace

PyObject* insert(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "text", "embedding", "metadata", "id"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"insert", names, 2}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  NewDocument document;
  std::optional<std::string> id_text;
  const bool embedding_given = !is_absent(slots[2]);
  if (!to_text(slots[0], "collection", collection_name) || !to_text(slots[1], "text", document.text) ||
      (embedding_given && !to_embedding(slots[2], "argument 'embedding'", document.embedding))) {
    return nullptr;
  }
  PyRef metadata;
  if (!is_absent(slots[3])) {
    metadata = PyRef::steal(to_dict(slots[3], "argument 'metadata'", "dict"));
    if (!metadata) return nullptr;
  }
  PyObject* metadata_object = metadata.get();
  if (!to_optional_text(slots[4], "id", id_text)) return nullptr;

  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection_name)) return nullptr;
  if (!embedding_given && !allow_missing_embedding(*store, collection_name, "insert", 3)) return nullptr;
  if (metadata_object != nullptr && !py_dict_to_metadata(metadata_object, document.metadata)) return nullptr;
  if (!parse_optional_id(id_text, document.id)) return nullptr;

  Result<Uuid> inserted = without_gil([&] { return store->insert(collection_name, std::move(document)); });
  if (!inserted) return raise_error(inserted.error());
  return id_to_py(*inserted);
}

PyObject* batch_insert(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "documents", "num_threads", "progress"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"batch_insert", names, 2}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  if (!to_text(slots[0], "collection", collection_name)) return nullptr;
  const PyRef document_list = PyRef::steal(to_list(slots[1], "argument 'documents'", "list"));
  if (!document_list) return nullptr;
  PyObject* documents = document_list.get();
  unsigned threads = 0;
  if (!to_thread_count(slots[2], threads)) return nullptr;
  PyRef progress_callable;
  bool close_bar = false;
  if (!to_call_progress(slots[3], "batch_insert", progress_callable, close_bar)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  // Raises, as require_collection does, when there is no such collection.
  const std::optional<bool> without_embeddings = embedding_optional(*store, collection_name);
  if (!without_embeddings) return nullptr;

  std::vector<NewDocument> pending;
  pending.reserve(static_cast<std::size_t>(PyList_GET_SIZE(documents)));
  // The size is re-read and each item held: converting an embedding may run
  // Python code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(documents, i));
    if (!convert_batch_document(item.get(), static_cast<std::size_t>(i), *without_embeddings, pending.emplace_back())) {
      return nullptr;
    }
    // Ctrl-C while a large list converts: nothing has happened yet.
    if (i % 1024 == 1023 && PyErr_CheckSignals() != 0) return nullptr;
  }
  CallProgress progress(std::move(progress_callable), close_bar, store.get());
  Result<std::vector<Uuid>> inserted =
      without_gil([&] { return store->batch_insert(collection_name, std::move(pending), threads, &progress); });
  if (!inserted) return progress.raise_failure("batch_insert", inserted.error());
  if (!progress.finish("batch_insert completed: all " + std::to_string(inserted->size()) +
                       " documents were inserted")) {
    return nullptr;
  }
  PyRef ids = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inserted->size())));
  if (!ids) return nullptr;
  for (std::size_t i = 0; i < inserted->size(); ++i) {
    PyObject* id = id_to_py((*inserted)[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
  }
  return ids.release();
}

namespace {

// The opening of get_embedding: bind (collection, id), convert both,
// look the collection up, then parse the id, raising as each step requires.
struct DocumentTarget {
  std::shared_ptr<Store> store;
  std::string collection_name;
  std::string id_text;
  Uuid id;
};

std::optional<DocumentTarget> document_target(const char* method, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames, Handle& handle) {
  PyObject* slots[2];
  if (!bind_arguments({method, COLLECTION_AND_ID, 2}, args, nargs, kwnames, slots)) return std::nullopt;
  DocumentTarget target;
  if (!to_text(slots[0], "collection", target.collection_name) ||
      !to_text(slots[1], "id", target.id_text)) {
    return std::nullopt;
  }
  target.store = handle.store();
  if (!require_collection(*target.store, target.collection_name)) return std::nullopt;
  if (!parse_id(target.id_text, target.id)) return std::nullopt;
  return target;
}

}  // namespace

PyObject* upsert(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "id", "text", "embedding", "metadata"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"upsert", names, 3}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  std::string id_text;
  NewDocument document;
  const bool embedding_given = !is_absent(slots[3]);
  if (!to_text(slots[0], "collection", collection_name) || !to_text(slots[1], "id", id_text) ||
      !to_text(slots[2], "text", document.text) ||
      (embedding_given && !to_embedding(slots[3], "argument 'embedding'", document.embedding))) {
    return nullptr;
  }
  PyRef metadata;
  if (!is_absent(slots[4])) {
    metadata = PyRef::steal(to_dict(slots[4], "argument 'metadata'", "dict"));
    if (!metadata) return nullptr;
  }
  PyObject* metadata_object = metadata.get();
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection_name)) return nullptr;
  if (!embedding_given && !allow_missing_embedding(*store, collection_name, "upsert", 4)) return nullptr;
  if (metadata_object != nullptr && !py_dict_to_metadata(metadata_object, document.metadata)) return nullptr;
  if (!parse_id(id_text, document.id.emplace())) return nullptr;

  Result<Uuid> placed = without_gil([&] { return store->upsert(collection_name, std::move(document)); });
  if (!placed) return raise_error(placed.error());
  return id_to_py(*placed);
}

PyObject* update_metadata(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "id", "metadata"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"update_metadata", names, 3}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  std::string id_text;
  if (!to_text(slots[0], "collection", collection_name) || !to_text(slots[1], "id", id_text)) return nullptr;
  const PyRef metadata_dict = PyRef::steal(to_dict(slots[2], "argument 'metadata'", "dict"));
  if (!metadata_dict) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection_name)) return nullptr;
  Metadata metadata;
  if (!py_dict_to_metadata(metadata_dict.get(), metadata)) return nullptr;
  Uuid id;
  if (!parse_id(id_text, id)) return nullptr;

  Result<bool> updated =
      without_gil([&] { return store->update_metadata(collection_name, id, std::move(metadata)); });
  if (!updated) return raise_error(updated.error());
  if (!*updated) return raise_message(PyExc_KeyError, "document '" + id_text + "' not found");
  Py_RETURN_NONE;
}

PyObject* list_ids(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection"};
  PyObject* slots[1];
  if (!bind_arguments({"list_ids", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  if (!to_text(slots[0], "collection", collection_name)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  Result<std::vector<Uuid>> ids = without_gil([&] { return store->list_ids(collection_name); });
  if (!ids) return raise_error(ids.error());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids->size(); ++i) {
    PyObject* id = id_to_py((*ids)[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}

PyObject* get_embedding(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<DocumentTarget> target = document_target("get_embedding", args, nargs, kwnames, handle);
  if (!target) return nullptr;
  Result<std::optional<std::vector<float>>> found =
      without_gil([&] { return target->store->get_embedding(target->collection_name, target->id); });
  if (!found) return raise_error(found.error());
  if (!*found) return raise_message(PyExc_KeyError, "document '" + target->id_text + "' not found");
  const std::vector<float>& embedding = **found;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(embedding.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < embedding.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(embedding[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list.release();
}

}  // namespace karvalith::py
