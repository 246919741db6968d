#include "search_result.h"

#include <new>
#include <string>
#include <utility>

#include "convert.h"
#include "errors.h"
#include "ids.h"
#include "py_text.h"
#include "text_format.h"

namespace karvalith::py {

namespace {

constexpr const char* SEARCH_RESULT_DOC =
    "A single search result with document ID, text, score, and metadata.";

// The result's own decoded document, shared with nothing that changes it:
// the Python strings are made when an attribute is read, so building a
// result list under the interpreter lock costs one object per hit.
struct SearchResultData {
  DocumentPtr document;
  float score;
};

struct SearchResultObject {
  PyObject_HEAD
  SearchResultData data;
};

PyTypeObject search_result_type{};  // filled in by its create function

SearchResultData& data_of(PyObject* self) {
  return reinterpret_cast<SearchResultObject*>(self)->data;
}

void search_result_dealloc(PyObject* self) {
  data_of(self).~SearchResultData();
  Py_TYPE(self)->tp_free(self);
}

PyObject* get_id(PyObject* self, void*) { return id_to_py(data_of(self).document->id); }
PyObject* get_text(PyObject* self, void*) { return utf8_to_py(data_of(self).document->text); }
PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(data_of(self).score));
}
PyObject* get_metadata(PyObject* self, void*) {
  return guarded_call([&] { return metadata_to_py_dict(data_of(self).document->metadata); });
}

PyObject* search_result_repr(PyObject* self) {
  return guarded_call([&]() -> PyObject* {
    const SearchResultData& data = data_of(self);
    const std::string repr = "SearchResult(id='" + data.document->id.to_string() + "', text='" +
                             text_preview(data.document->text) +
                             "', score=" + format_score(data.score) + ")";
    return utf8_to_py(repr);
  });
}

PyGetSetDef search_result_getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"score", get_score, nullptr, nullptr, nullptr},
    {"metadata", get_metadata, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_search_result_type() {
  // A static type: no tp_new, so Python code cannot call the class.
  PyTypeObject& type = search_result_type;
  if (type.tp_flags & Py_TPFLAGS_READY) {  // a retried initialisation
    Py_INCREF(&type);
    return reinterpret_cast<PyObject*>(&type);
  }
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "karvalith.SearchResult";
  type.tp_basicsize = sizeof(SearchResultObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = SEARCH_RESULT_DOC;
  type.tp_dealloc = search_result_dealloc;
  type.tp_repr = search_result_repr;
  type.tp_getset = search_result_getset;
  if (PyType_Ready(&type) != 0) return nullptr;
  Py_INCREF(&type);
  return reinterpret_cast<PyObject*>(&type);
}

PyObject* new_search_result(DocumentPtr document, float score) {
  PyObject* self = search_result_type.tp_alloc(&search_result_type, 0);
  if (self == nullptr) return nullptr;
  new (&data_of(self)) SearchResultData{std::move(document), score};
  return self;
}

}  // namespace karvalith::py
