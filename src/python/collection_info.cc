#include "collection_info.h"

#include <new>
#include <utility>

#include "core/quantization/metric.h"

#include "errors.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* COLLECTION_INFO_DOC = "Information about a collection.";

struct CollectionInfoObject {
  PyObject_HEAD
  CollectionSummary summary;
};

PyTypeObject collection_info_type{};  // filled in by its create function

const CollectionSummary& summary_of(PyObject* self) {
  return reinterpret_cast<CollectionInfoObject*>(self)->summary;
}

void collection_info_dealloc(PyObject* self) {
  reinterpret_cast<CollectionInfoObject*>(self)->summary.~CollectionSummary();
  Py_TYPE(self)->tp_free(self);
}

PyObject* get_name(PyObject* self, void*) { return utf8_to_py(summary_of(self).name); }
PyObject* get_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(summary_of(self).dimension);
}
PyObject* get_document_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(summary_of(self).document_count);
}
PyObject* get_estimated_memory_bytes(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(summary_of(self).estimated_memory_bytes);
}

PyObject* get_distance_metric(PyObject* self, void*) {
  const std::string_view name = distance_metric_name(summary_of(self).distance_metric);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_deleted_slots(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(summary_of(self).deleted_slots);
}
PyObject* get_walk_bits(PyObject* self, void*) { return PyLong_FromLong(summary_of(self).walk_bits); }

PyObject* collection_info_repr(PyObject* self) {
  return guarded_call([&]() -> PyObject* {
    const CollectionSummary& summary = summary_of(self);
    const std::string repr = "CollectionInfo(name='" + summary.name +
                             "', dimension=" + std::to_string(summary.dimension) +
                             ", documents=" + std::to_string(summary.document_count) +
                             ", memory=" + std::to_string(summary.estimated_memory_bytes) + ")";
    return utf8_to_py(repr);
  });
}

PyGetSetDef collection_info_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"dimension", get_dimension, nullptr, nullptr, nullptr},
    {"document_count", get_document_count, nullptr, nullptr, nullptr},
    {"estimated_memory_bytes", get_estimated_memory_bytes, nullptr, nullptr, nullptr},
    {"distance_metric", get_distance_metric, nullptr, nullptr, nullptr},
    {"deleted_slots", get_deleted_slots, nullptr, nullptr, nullptr},
    {"walk_bits", get_walk_bits, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_collection_info_type() {
  // A static type: no tp_new, so Python code cannot call the class.
  PyTypeObject& type = collection_info_type;
  if (type.tp_flags & Py_TPFLAGS_READY) {  // a retried initialisation
    Py_INCREF(&type);
    return reinterpret_cast<PyObject*>(&type);
  }
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "karvalith.CollectionInfo";
  type.tp_basicsize = sizeof(CollectionInfoObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = COLLECTION_INFO_DOC;
  type.tp_dealloc = collection_info_dealloc;
  type.tp_repr = collection_info_repr;
  type.tp_getset = collection_info_getset;
  if (PyType_Ready(&type) != 0) return nullptr;
  Py_INCREF(&type);
  return reinterpret_cast<PyObject*>(&type);
}

PyObject* new_collection_info(CollectionSummary summary) {
  PyObject* self = collection_info_type.tp_alloc(&collection_info_type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<CollectionInfoObject*>(self)->summary) CollectionSummary(std::move(summary));
  return self;
}

}  // namespace karvalith::py
