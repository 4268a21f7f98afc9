// tarndb._fast: the entry point, the execution step and the shard routing.
#include <Python.h>

#include "convert.h"
#include "core/route.h"
#include "fast/fast.h"
#include "pyref.h"

namespace tarn::fast {

bool load_error_classes();

namespace {

// route(key, n) -> the shard (0 <= shard < n) that holds `key`.
PyObject* route(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "route() takes 2 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  py::KeyArg key;
  if (!key_arg(args[0], &key)) return nullptr;
  const unsigned long n = PyLong_AsUnsignedLong(args[1]);
  if (n == (unsigned long)-1 && PyErr_Occurred()) return nullptr;
  if (n == 0 || n > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_ValueError, "route(): the shard count must be from 1 to 4294967295");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(shard_of(key.bytes(), uint32_t(n)));
}

PyMethodDef kFunctions[] = {
    {"route", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&route)), METH_FASTCALL,
     "route(key, n)\n--\n\nThe shard, from 0 to n - 1, that holds *key* in a store of *n* shards."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  if (!load_error_classes()) return -1;
  if (PyModule_AddStringConstant(module, "ROUTE", kRouteName) < 0) return -1;
  if (add_reader_types(module) < 0) return -1;
  if (add_writer_type(module) < 0) return -1;
  if (add_decoder(module) < 0) return -1;
  if (add_file_functions(module) < 0) return -1;
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
    PyModuleDef_HEAD_INIT, "_fast", "tarndb._fast \u2014 the package's native fast path", 0, kFunctions, kSlots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarn::fast

PyMODINIT_FUNC PyInit__fast(void) { return PyModuleDef_Init(&tarn::fast::kModule); }
