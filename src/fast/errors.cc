#include <cerrno>
#include <iterator>
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
    PyObject** slots[] = {&g_classes.error,         &g_classes.corrupt,          &g_classes.version,
                          &g_classes.io,            &g_classes.not_found,        &g_classes.exists,
                          &g_classes.permission,    &g_classes.is_directory,     &g_classes.not_directory};
    const char* names[] = {"TarnError",          "TarnCorruptError",      "TarnVersionError",
                           "TarnIOError",        "TarnFileNotFoundError", "TarnFileExistsError",
                           "TarnPermissionError", "TarnIsADirectoryError", "TarnNotADirectoryError"};
    static_assert(std::size(slots) == std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
      *slots[i] = PyObject_GetAttrString(mod.get(), names[i]);  // kept for the life of the process
      if (!*slots[i]) return;
    }
    g_ok = true;
  });
  if (!g_ok && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "tarndb._fast: tarndb.errors is not usable");
  return g_ok;
}

const ErrorClasses& error_classes() { return g_classes; }

// The TarnIOError subclass that is also the built-in OSError subclass of
// `no`, as OSError(no, ...) would pick it; TarnIOError itself for the rest.
PyObject* io_class(int no) {
  switch (no) {
    case ENOENT: return g_classes.not_found;
    case EEXIST: return g_classes.exists;
    case EACCES:
    case EPERM: return g_classes.permission;
    case EISDIR: return g_classes.is_directory;
    case ENOTDIR: return g_classes.not_directory;
    default: return g_classes.io;
  }
}

PyObject* raise_store_error(const CoreError& error) {
  PyObject* cls = g_classes.error;
  switch (error.kind()) {
    case ErrorKind::kCorrupt: cls = g_classes.corrupt; break;
    case ErrorKind::kVersion: cls = g_classes.version; break;
    case ErrorKind::kIO: cls = io_class(error.os_errno()); break;
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

bool refuse_key(PyObject* obj) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyErr_Clear();
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_ValueError, "key %R cannot be encoded as UTF-8 (it holds a lone surrogate)", obj);
  } else {
    PyErr_Format(PyExc_TypeError, "key must be str or bytes, not '%s'", Py_TYPE(obj)->tp_name);
  }
  return false;
}

}  // namespace tarn::fast
