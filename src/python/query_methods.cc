// Karvalith methods that select documents by id or by filter: get, delete,
// delete_where and count. A single id keeps the one-document answers (a
// dict or KeyError; True or False); a list of ids, or a filter, selects many.
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "filter_convert.h"
#include "gil.h"
#include "ids.h"
#include "methods.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

PyObject* document_to_py(const Document& document) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  PyRef id = PyRef::steal(id_to_py(document.id));
  if (!id || PyDict_SetItemString(result.get(), "id", id.get()) != 0) return nullptr;
  PyRef text = PyRef::steal(utf8_to_py(document.text));
  if (!text || PyDict_SetItemString(result.get(), "text", text.get()) != 0) return nullptr;
  PyRef metadata = PyRef::steal(metadata_to_py_dict(document.metadata));
  if (!metadata || PyDict_SetItemString(result.get(), "metadata", metadata.get()) != 0) return nullptr;
  return result.release();
}

// The ids argument under either of its names: `ids`, or the older `id`.
// Null (no exception) when neither was given.
bool pick_ids(const char* method, PyObject* ids, PyObject* id, PyObject*& out) {
  if (ids != nullptr && id != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() takes ids or id (its older name), not both", method);
    return false;
  }
  out = ids != nullptr ? ids : id;
  return true;
}

}  // namespace

PyObject* get(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "ids", "filter", "limit", "offset", "id"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"get", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  PyObject* ids_object = nullptr;
  if (!pick_ids("get", slots[1], slots[5], ids_object)) return nullptr;
  const char* ids_name = slots[1] != nullptr ? "ids" : "id";
  IdsArgument ids;
  if (!is_absent(ids_object) && !to_ids_argument(ids_object, ids_name, ids)) return nullptr;
  PyObject* filter = is_absent(slots[2]) ? nullptr : slots[2];
  DocumentQuery query;
  if (!to_optional_u64(slots[3], "limit", query.limit)) return nullptr;
  if (!is_absent(slots[4]) && !to_u64(slots[4], "offset", query.offset)) return nullptr;
  if (ids.single && (filter != nullptr || query.limit || query.offset != 0)) {
    PyErr_SetString(PyExc_TypeError,
                    "get() with one id returns that document: filter, limit and offset need ids=None or a list "
                    "of ids");
    return nullptr;
  }

  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  if (filter != nullptr && !to_filter(filter, query.filter.emplace())) return nullptr;
  if (!is_absent(ids_object) && !parse_ids(ids, ids_name, query.ids.emplace())) return nullptr;

  if (ids.single) {
    const Uuid id = query.ids->front();
    Result<DocumentPtr> found = without_gil([&] { return store->get(collection, id); });
    if (!found) return raise_error(found.error());
    if (!*found) return raise_message(PyExc_KeyError, "document '" + ids.texts.front() + "' not found");
    return document_to_py(**found);
  }
  Result<std::vector<DocumentPtr>> found = without_gil([&] { return store->get_documents(collection, query); });
  if (!found) return raise_error(found.error());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found->size(); ++i) {
    PyObject* document = document_to_py(*(*found)[i]);
    if (document == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), document);
  }
  return list.release();
}

PyObject* delete_document(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "ids", "id"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"delete", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  PyObject* ids_object = nullptr;
  if (!pick_ids("delete", slots[1], slots[2], ids_object)) return nullptr;
  if (ids_object == nullptr) {
    PyErr_SetString(PyExc_TypeError, "delete() missing required argument 'ids' (pos 2)");
    return nullptr;
  }
  const char* ids_name = slots[1] != nullptr ? "ids" : "id";
  IdsArgument ids;
  if (!to_ids_argument(ids_object, ids_name, ids)) return nullptr;

  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  std::vector<Uuid> parsed;
  if (!parse_ids(ids, ids_name, parsed)) return nullptr;
  if (ids.single) {
    Result<bool> deleted = without_gil([&] { return store->delete_document(collection, parsed.front()); });
    if (!deleted) return raise_error(deleted.error());
    return PyBool_FromLong(*deleted ? 1 : 0);
  }
  Result<std::uint64_t> deleted = without_gil([&] { return store->delete_documents(collection, parsed); });
  if (!deleted) return raise_error(deleted.error());
  return PyLong_FromUnsignedLongLong(*deleted);
}

PyObject* delete_where(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "filter"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"delete_where", names, 2}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  if (slots[1] == Py_None) {
    PyErr_SetString(PyExc_TypeError, "delete_where() needs a filter dict ({} deletes every document)");
    return nullptr;
  }
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  MetadataFilter filter;
  if (!to_filter(slots[1], filter)) return nullptr;
  Result<std::uint64_t> deleted = without_gil([&] { return store->delete_where(collection, filter); });
  if (!deleted) return raise_error(deleted.error());
  return PyLong_FromUnsignedLongLong(*deleted);
}

PyObject* count(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "filter"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"count", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  if (!to_text(slots[0], "collection", collection)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  if (!require_collection(*store, collection)) return nullptr;
  std::optional<MetadataFilter> filter;
  if (!is_absent(slots[1]) && !to_filter(slots[1], filter.emplace())) return nullptr;
  Result<std::uint64_t> counted =
      without_gil([&] { return store->count(collection, filter ? &*filter : nullptr); });
  if (!counted) return raise_error(counted.error());
  return PyLong_FromUnsignedLongLong(*counted);
}

}  // namespace karvalith::py
