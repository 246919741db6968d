// Karvalith methods on single documents: insert, batch_insert, get, delete.
// Each converts and checks everything, then logs, then changes memory.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "embedding.h"
#include "errors.h"
#include "methods.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

constexpr const char* const COLLECTION_AND_ID[] = {"collection", "id"};

PyObject* utf8_to_py(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* id_to_py(const Uuid& id) {
  char text[36];
  id.format_into(text);
  return PyUnicode_FromStringAndSize(text, 36);
}

bool parse_id(const std::string& text, Uuid& out) {
  Result<Uuid> parsed = Uuid::parse(text);
  if (!parsed) {
    raise_message(PyExc_ValueError, "invalid UUID: " + parsed.error().message);
    return false;
  }
  out = *parsed;
  return true;
}

// A document with the given id, or a fresh random one.
bool build_document(const std::optional<std::string>& id_text, std::string text,
                    Metadata metadata, Document& out) {
  if (id_text) {
    Uuid id;
    if (!parse_id(*id_text, id)) return false;
    out = Document{id, std::move(text), std::move(metadata)};
    return true;
  }
  Result<Document> created = Document::create(std::move(text), std::move(metadata));
  if (!created) {
    raise_error(created.error());
    return false;
  }
  out = std::move(*created);
  return true;
}

bool wrong_type(const std::string& what, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "%s: expected %s, got %s", what.c_str(), expected,
               Py_TYPE(value)->tp_name);
  return false;
}

// One element of batch_insert's list, checked in the documented order.
bool convert_batch_document(PyObject* item, std::size_t index, PendingDocument& out) {
  const std::string label = "documents[" + std::to_string(index) + "]";
  if (!PyDict_Check(item)) return wrong_type(label, "dict", item);

  PyObject* text_object = nullptr;
  if (!dict_lookup(item, "text", text_object)) return false;
  if (text_object == nullptr) {
    raise_message(PyExc_ValueError, "document missing 'text'");
    return false;
  }
  if (!PyUnicode_Check(text_object)) return wrong_type(label + "['text']", "str", text_object);
  std::string text;
  if (!to_text(text_object, "text", text)) return false;

  PyObject* embedding_object = nullptr;
  if (!dict_lookup(item, "embedding", embedding_object)) return false;
  if (embedding_object == nullptr) {
    raise_message(PyExc_ValueError, "document missing 'embedding'");
    return false;
  }
  PyRef embedding_ref = PyRef::borrow(embedding_object);
  if (!to_embedding(embedding_ref.get(), label + "['embedding']", out.embedding)) return false;

  Metadata metadata;
  PyObject* metadata_object = nullptr;
  if (!dict_lookup(item, "metadata", metadata_object)) return false;
  if (metadata_object != nullptr) {
    if (!PyDict_Check(metadata_object)) {
      return wrong_type(label + "['metadata']", "dict", metadata_object);
    }
    if (!py_dict_to_metadata(metadata_object, metadata)) return false;
  }

  std::optional<std::string> id_text;
  PyObject* id_object = nullptr;
  if (!dict_lookup(item, "id", id_object)) return false;
  if (id_object != nullptr) {
    if (!PyUnicode_Check(id_object)) return wrong_type(label + "['id']", "str", id_object);
    if (!to_text(id_object, "id", id_text.emplace())) return false;
  }
  return build_document(id_text, std::move(text), std::move(metadata), out.document);
}

}  // namespace

PyObject* insert(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "text", "embedding", "metadata", "id"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"insert", names, 3}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  std::string text;
  std::vector<float> embedding;
  std::optional<std::string> id_text;
  if (!to_text(slots[0], "collection", collection_name) || !to_text(slots[1], "text", text) ||
      !to_embedding(slots[2], "argument 'embedding'", embedding)) {
    return nullptr;
  }
  PyObject* metadata_object = is_absent(slots[3]) ? nullptr : slots[3];
  if (metadata_object != nullptr && !PyDict_Check(metadata_object)) {
    wrong_type("argument 'metadata'", "dict", metadata_object);
    return nullptr;
  }
  if (!to_optional_text(slots[4], "id", id_text)) return nullptr;

  Result<CollectionPtr> collection = handle.collection(collection_name);
  if (!collection) return raise_error(collection.error());
  Metadata metadata;
  if (metadata_object != nullptr && !py_dict_to_metadata(metadata_object, metadata)) return nullptr;
  PendingDocument pending{Document{}, std::move(embedding)};
  if (!build_document(id_text, std::move(text), std::move(metadata), pending.document)) {
    return nullptr;
  }
  if (Status valid = (*collection)->validate_insert(std::span(&pending, 1)); !valid) {
    return raise_error(valid.error());
  }
  if (Status logged = handle.log_mutation(
          InsertDocumentRecord{collection_name, pending.document, pending.embedding});
      !logged) {
    return raise_error(logged.error());
  }
  Result<Uuid> inserted =
      (*collection)->insert_document(std::move(pending.document), std::move(pending.embedding));
  if (!inserted) return raise_error(inserted.error());
  return id_to_py(*inserted);
}

PyObject* batch_insert(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "documents"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"batch_insert", names, 2}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection_name;
  if (!to_text(slots[0], "collection", collection_name)) return nullptr;
  PyObject* documents = slots[1];
  if (!PyList_Check(documents)) {
    wrong_type("argument 'documents'", "list", documents);
    return nullptr;
  }
  Result<CollectionPtr> collection = handle.collection(collection_name);
  if (!collection) return raise_error(collection.error());

  std::vector<PendingDocument> pending;
  pending.reserve(static_cast<std::size_t>(PyList_GET_SIZE(documents)));
  // The size is re-read and each item held: converting an embedding may run
  // Python code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(documents, i));
    if (!convert_batch_document(item.get(), static_cast<std::size_t>(i), pending.emplace_back())) {
      return nullptr;
    }
  }
  if (Status valid = (*collection)->validate_insert(pending); !valid) {
    return raise_error(valid.error());
  }
  if (Status logged = handle.log_mutation(BatchInsertRecord{collection_name, pending}); !logged) {
    return raise_error(logged.error());
  }
  PyRef ids = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pending.size())));
  if (!ids) return nullptr;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    Result<Uuid> inserted = (*collection)->insert_document(std::move(pending[i].document),
                                                           std::move(pending[i].embedding));
    if (!inserted) return raise_error(inserted.error());
    PyObject* id = id_to_py(*inserted);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
  }
  return ids.release();
}

namespace {

// The shared opening of get and delete: bind (collection, id), convert both,
// look the collection up, then parse the id, raising as each step requires.
struct DocumentTarget {
  CollectionPtr collection;
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
  Result<CollectionPtr> collection = handle.collection(target.collection_name);
  if (!collection) {
    raise_error(collection.error());
    return std::nullopt;
  }
  target.collection = std::move(*collection);
  if (!parse_id(target.id_text, target.id)) return std::nullopt;
  return target;
}

}  // namespace

PyObject* get(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<DocumentTarget> target = document_target("get", args, nargs, kwnames, handle);
  if (!target) return nullptr;
  const DocumentPtr document = target->collection->get_document(target->id);
  if (!document) {
    return raise_message(PyExc_KeyError, "document '" + target->id_text + "' not found");
  }

  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  PyRef id_object = PyRef::steal(id_to_py(document->id));
  if (!id_object || PyDict_SetItemString(result.get(), "id", id_object.get()) != 0) return nullptr;
  PyRef text = PyRef::steal(utf8_to_py(document->text));
  if (!text || PyDict_SetItemString(result.get(), "text", text.get()) != 0) return nullptr;
  PyRef metadata = PyRef::steal(metadata_to_py_dict(document->metadata));
  if (!metadata || PyDict_SetItemString(result.get(), "metadata", metadata.get()) != 0) {
    return nullptr;
  }
  return result.release();
}

PyObject* delete_document(Handle& handle, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  std::optional<DocumentTarget> target = document_target("delete", args, nargs, kwnames, handle);
  if (!target) return nullptr;
  if (Status logged = handle.log_mutation(DeleteDocumentRecord{target->collection_name, target->id});
      !logged) {
    return raise_error(logged.error());
  }
  return PyBool_FromLong(target->collection->delete_document(target->id) ? 1 : 0);
}

}  // namespace karvalith::py
