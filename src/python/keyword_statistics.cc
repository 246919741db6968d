// Karvalith.keyword_statistics and the dict form of keyword figures that
// search's bm25_statistics takes back.
#include "keyword_statistics.h"

#include <string>
#include <string_view>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "gil.h"
#include "methods.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* DOCUMENT_COUNT = "document_count";
constexpr const char* TOTAL_LENGTH = "total_length";
constexpr const char* DOCUMENT_FREQUENCIES = "document_frequencies";

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && PyDict_SetItemString(dict, key, held.get()) == 0;
}

// A required key of the figures dict, as an unsigned 64-bit integer.
bool read_count(PyObject* object, const char* key, std::uint64_t& out) {
  PyObject* value = nullptr;
  if (!dict_lookup(object, key, value)) return false;
  if (value == nullptr) {
    PyErr_Format(PyExc_ValueError, "bm25_statistics is missing '%s'", key);
    return false;
  }
  PyRef held = PyRef::borrow(value);
  const std::string where = std::string("bm25_statistics['") + key + "']";
  return to_u64(held.get(), where.c_str(), out);
}

bool read_frequencies(PyObject* object, Bm25Statistics& out) {
  PyObject* found = nullptr;
  if (!dict_lookup(object, DOCUMENT_FREQUENCIES, found)) return false;
  if (found == nullptr) {
    PyErr_Format(PyExc_ValueError, "bm25_statistics is missing '%s'", DOCUMENT_FREQUENCIES);
    return false;
  }
  PyRef frequencies = PyRef::borrow(found);
  if (!PyDict_Check(frequencies.get())) {
    PyErr_Format(PyExc_TypeError, "bm25_statistics['%s']: expected dict, got %s", DOCUMENT_FREQUENCIES,
                 Py_TYPE(frequencies.get())->tp_name);
    return false;
  }
  // Over a copy of the items: converting a value may run Python code that
  // changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(frequencies.get()));
  if (!items) return false;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    std::string term;
    if (!to_text(PyTuple_GET_ITEM(item, 0), "bm25_statistics term", term)) return false;
    std::uint64_t frequency = 0;
    if (!to_u64(PyTuple_GET_ITEM(item, 1), "bm25_statistics document frequency", frequency)) return false;
    out.document_frequencies.insert_or_assign(std::move(term), frequency);
  }
  return true;
}

}  // namespace

PyObject* bm25_statistics_to_py(const Bm25Statistics& statistics) {
  PyRef frequencies = PyRef::steal(PyDict_New());
  if (!frequencies) return nullptr;
  for (const auto& [term, count] : statistics.document_frequencies) {
    PyRef key = PyRef::steal(utf8_to_py(term));
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!key || !value || PyDict_SetItem(frequencies.get(), key.get(), value.get()) != 0) return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), DOCUMENT_COUNT, PyLong_FromUnsignedLongLong(statistics.doc_count)) ||
      !set_item(dict.get(), TOTAL_LENGTH, PyLong_FromUnsignedLongLong(statistics.total_length)) ||
      !set_item(dict.get(), DOCUMENT_FREQUENCIES, frequencies.release())) {
    return nullptr;
  }
  return dict.release();
}

bool to_bm25_statistics(PyObject* object, Bm25Statistics& out) {
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument 'bm25_statistics': expected dict, got %s", Py_TYPE(object)->tp_name);
    return false;
  }
  if (!read_count(object, DOCUMENT_COUNT, out.doc_count) || !read_count(object, TOTAL_LENGTH, out.total_length) ||
      !read_frequencies(object, out)) {
    return false;
  }
  // A misspelt key would otherwise be ignored.
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(object, &position, &key, &value)) {
    bool known = false;
    if (PyUnicode_Check(key)) {
      for (const char* name : {DOCUMENT_COUNT, TOTAL_LENGTH, DOCUMENT_FREQUENCIES}) {
        known = known || PyUnicode_CompareWithASCIIString(key, name) == 0;
      }
    }
    if (known) continue;
    PyRef text = PyRef::steal(PyObject_Repr(key));
    if (!text) return false;
    PyErr_Format(PyExc_ValueError, "unknown bm25_statistics key: %U", text.get());
    return false;
  }
  return true;
}

PyObject* keyword_statistics(Handle& handle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"collection", "query_text"};
  PyObject* slots[std::size(names)];
  if (!bind_arguments({"keyword_statistics", names, 2}, args, nargs, kwnames, slots)) return nullptr;
  std::string collection;
  std::string text;
  if (!to_text(slots[0], "collection", collection) || !to_text(slots[1], "query_text", text)) return nullptr;
  const std::shared_ptr<Store> store = handle.store();
  Result<Bm25Statistics> statistics = without_gil([&] { return store->keyword_statistics(collection, text); });
  if (!statistics) return raise_error(statistics.error());
  return bm25_statistics_to_py(*statistics);
}

}  // namespace karvalith::py
