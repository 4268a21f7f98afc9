#include "errors.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "pyref.h"

namespace tarn::py {

PyObject* raise_core_error(const CoreError& error) {
  PyObject* cls = PyExc_ValueError;
  switch (error.kind()) {
    case ErrorKind::kCorrupt:
    case ErrorKind::kVersion: cls = PyExc_RuntimeError; break;
    case ErrorKind::kIO: cls = PyExc_OSError; break;
    case ErrorKind::kUsage: cls = PyExc_ValueError; break;
  }
  const std::string msg = error.message();
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(msg.data(), Py_ssize_t(msg.size())));
  if (!text) return nullptr;
  PyErr_SetObject(cls, text.get());  // one argument: for OSError, errno and strerror stay None
  return nullptr;
}

PyObject* panic_exception_type() {
  static std::mutex mu;
  static PyObject* type = nullptr;
  std::lock_guard<std::mutex> lock(mu);
  if (!type) {
    type = PyErr_NewExceptionWithDoc("tarndb._tarndb.PanicException",
                                     "An internal invariant of tarndb's native core failed.",
                                     PyExc_BaseException, nullptr);
  }
  return type;  // kept for the life of the process
}

PyObject* raise_panic(const std::string& text) {
  std::fprintf(stderr, "tarndb: internal failure: %s\n", text.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, text.c_str());
  return nullptr;
}

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t n = 0;
  const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(s, size_t(n));
}

PyObject* raise_arg_type_mismatch(const char* param, PyObject* arg, const char* expected) {
  std::string detail;
  if (arg == Py_None) {
    detail.append("'None' is not an instance of '");
  } else {
    detail.append("'").append(type_qualname(arg)).append("' object is not an instance of '");
  }
  detail.append(expected).append("'");
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, detail.c_str());
  return nullptr;
}

}  // namespace tarn::py
