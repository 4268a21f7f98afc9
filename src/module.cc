// The module's entry point and its execution step.
#include <Python.h>

#include "classes.h"
#include "errors.h"
#include "pyref.h"

namespace tarn::py {
namespace {

// Appends `name` to the module's __all__ (creating it on first use) and sets
// the attribute.
int add_name(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int module_exec(PyObject* module) {
  // Created now, so that raising it later never has to create a class.
  if (!panic_exception_type()) return -1;
  PyTypeObject* writer = writer_type();
  if (!writer || add_name(module, "_TarnWriter", reinterpret_cast<PyObject*>(writer)) < 0) return -1;
  PyTypeObject* reader = reader_type();
  if (!reader || add_name(module, "_TarnReader", reinterpret_cast<PyObject*>(reader)) < 0) return -1;
  Ref version = Ref::steal(PyUnicode_FromString(TARNDB_VERSION));  // from pyproject.toml, through CMake
  if (!version || add_name(module, "__version__", version.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tarndb",
    "tarndb._tarndb \u2014 native extension module entry-point",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarn::py

PyMODINIT_FUNC PyInit__tarndb(void) { return PyModuleDef_Init(&tarn::py::kModule); }
