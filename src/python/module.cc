// Entry point of the _karvalith extension: creates the module once per
// process and registers its three classes and its functions.
#include <Python.h>

#include <charconv>

#include "collection_info.h"
#include "core/search/request.h"
#include "errors.h"
#include "filter_convert.h"
#include "fusion_function.h"
#include "docstrings.h"
#include "handle.h"
#include "inspect_function.h"
#include "py_ref.h"
#include "search_result.h"

namespace karvalith::py {

namespace {

template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return Function(module, args, nargs, kwnames); });
}

PyMethodDef module_functions[] = {
    {"fuse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<fuse>)),
     METH_FASTCALL | METH_KEYWORDS, doc::FUSE},
    {"filter_fields", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<filter_fields>)),
     METH_FASTCALL | METH_KEYWORDS, doc::FILTER_FIELDS},
    {"inspect_directory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<inspect_directory>)),
     METH_FASTCALL | METH_KEYWORDS, doc::INSPECT_DIRECTORY},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_karvalith",
    "",
    0,  // no per-module state; 0 (not -1) so the import system calls the init again
    module_functions, nullptr, nullptr, nullptr, nullptr,
};

// The module and the interpreter it belongs to. The class objects are static,
// so the module can serve exactly one interpreter.
PyObject* cached_module = nullptr;
PyInterpreterState* owner_interpreter = nullptr;

bool add_class(PyObject* module, const char* name, PyObject* (*create)()) {
  PyRef type = PyRef::steal(create());
  if (!type) return false;
  if (PyModule_AddObject(module, name, type.get()) != 0) return false;
  type.release();  // the module took the reference
  return true;
}

// The core's default fusion weight as the shortest decimal that rounds to
// it (0.7, not 0.699999988...), for the Python wrappers' signatures.
bool add_default_alpha(PyObject* module) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text - 1, DEFAULT_ALPHA);
  *written.ptr = '\0';
  const double value = PyOS_string_to_double(text, nullptr, nullptr);
  if (value == -1.0 && PyErr_Occurred()) return false;
  PyRef number = PyRef::steal(PyFloat_FromDouble(value));
  if (!number || PyModule_AddObject(module, "_DEFAULT_ALPHA", number.get()) != 0) return false;
  number.release();  // the module took the reference
  return true;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  if (!add_class(module.get(), "Karvalith", create_karvalith_type) ||
      !add_class(module.get(), "SearchResult", create_search_result_type) ||
      !add_class(module.get(), "CollectionInfo", create_collection_info_type) ||
      !add_default_alpha(module.get()) || !add_exception_classes(module.get()) ||
      PyModule_AddStringConstant(module.get(), "__version__", KARVALITH_VERSION) != 0) {
    return nullptr;
  }
  return module.release();
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (owner_interpreter != nullptr && owner_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_karvalith can be imported in only one interpreter per process");
    return nullptr;
  }
  if (cached_module == nullptr) {
    cached_module = create_module();
    if (cached_module == nullptr) return nullptr;
    owner_interpreter = interpreter;
  }
  Py_INCREF(cached_module);
  return cached_module;
}

}  // namespace

}  // namespace karvalith::py

PyMODINIT_FUNC PyInit__karvalith() {
  return karvalith::py::guarded_call([] { return karvalith::py::init_module(); });
}
