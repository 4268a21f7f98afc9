#include <mutex>

#include "fast/fast.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

ErrorClasses g_classes{};
std::once_flag g_once;
bool g_ok = false;

}  // namespace

// Sets up g_classes on first call; false with an exception set on failure.
bool load_error_classes() {
  std::call_once(g_once, [] {
    py::Ref mod = py::Ref::steal(PyImport_ImportModule("tarndb.errors"));
    if (!mod) return;
    PyObject** slots[] = {&g_classes.error, &g_classes.corrupt, &g_classes.version, &g_classes.io};
    const char* names[] = {"TarnError", "TarnCorruptError", "TarnVersionError", "TarnIOError"};
    for (int i = 0; i < 4; ++i) {
      *slots[i] = PyObject_GetAttrString(mod.get(), names[i]);  // kept for the life of the process
      if (!*slots[i]) return;
    }
    g_ok = true;
  });
  if (!g_ok && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "tarndb._fast: tarndb.errors is not usable");
  return g_ok;
}

const ErrorClasses& error_classes() { return g_classes; }

PyObject* raise_store_error(const CoreError& error) {
  PyObject* cls = g_classes.error;
  switch (error.kind()) {
    case ErrorKind::kCorrupt: cls = g_classes.corrupt; break;
    case ErrorKind::kVersion: cls = g_classes.version; break;
    case ErrorKind::kIO: cls = g_classes.io; break;
    case ErrorKind::kUsage: cls = g_classes.error; break;
  }
  const std::string text = error.detail();
  py::Ref msg = py::Ref::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
  if (!msg) return nullptr;
  py::Ref exc = py::Ref::steal(PyObject_CallOneArg(cls, msg.get()));
  if (!exc) return nullptr;
  if (error.kind() == ErrorKind::kIO && error.os_errno() != 0) {
    py::Ref no = py::Ref::steal(PyLong_FromLong(error.os_errno()));
    if (!no || PyObject_SetAttrString(exc.get(), "errno", no.get()) < 0) return nullptr;
  }
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

}  // namespace tarn::fast
