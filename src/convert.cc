#include "convert.h"

#include <cstring>

#include "core/utf8.h"
#include "critical_section.h"
#include "errors.h"
#include "pending_exception.h"
#include "pyref.h"

namespace tarn::py {
namespace {

// The next item of an iterator: 1 with a new reference, 0 at the end, -1 on error.
int next_item(PyObject* iter, Ref* item) {
#if PY_VERSION_HEX >= 0x030E0000
  PyObject* raw = nullptr;
  int rc = PyIter_NextItem(iter, &raw);
  *item = Ref::steal(raw);
  return rc;
#else
  *item = Ref::steal(PyIter_Next(iter));
  if (*item) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// A sequence of integers in 0..255, one byte each; false (error cleared by
// the caller) if any item is not such an integer or iteration fails.
bool sequence_bytes(PyObject* obj, std::string* out) {
  // The reported length only sizes the buffer, and a sequence may report
  // any length it likes: reserve no more than the longest key a store holds,
  // and let a longer one grow as its items really arrive.
  constexpr Py_ssize_t kMaxReserve = 65536;
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out->reserve(size_t(hint < kMaxReserve ? hint : kMaxReserve));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  for (;;) {
    Ref item;
    int rc = next_item(iter.get(), &item);
    if (rc < 0) return false;
    if (rc == 0) return true;
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) return false;
    out->push_back(char(v));
  }
}

}  // namespace

bool extract_key_slow(PyObject* obj, KeyArg* out) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    // The UTF-8 form is cached in the str object and lives as long as it does.
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
      out->view_ = {reinterpret_cast<const uint8_t*>(s), size_t(n)};
      return true;
    }
    PyErr_Clear();  // lone surrogates: no alternative below accepts a str
  } else if (PyBytes_Check(obj)) {
    out->view_ = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)), size_t(PyBytes_GET_SIZE(obj))};
    return true;
  } else if (PyByteArray_Check(obj)) {
    // Copied: another thread may resize a bytearray while we use it. The
    // copy itself is taken under the bytearray's lock, where threads run in
    // parallel, so that its size and buffer are read as one.
    CriticalSection locked(obj);
    out->owned_.assign(PyByteArray_AS_STRING(obj), size_t(PyByteArray_GET_SIZE(obj)));
    out->view_ = {reinterpret_cast<const uint8_t*>(out->owned_.data()), out->owned_.size()};
    return true;
  } else if (PySequence_Check(obj)) {
    if (sequence_bytes(obj, &out->owned_)) {
      out->view_ = {reinterpret_cast<const uint8_t*>(out->owned_.data()), out->owned_.size()};
      return true;
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

bool convert_path(PyObject* obj, const char* param, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    raise_arg_type_mismatch(param, obj, "str");
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);  // UnicodeEncodeError passes through
  if (!s) return false;
  out->assign(s, size_t(n));
  return true;
}

bool convert_verify(PyObject* obj, const char* param, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  // numpy's bool scalar, recognised by name so that numpy need not be loaded.
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !module) PyErr_Clear();
  if (name && module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  raise_arg_type_mismatch(param, obj, "bool");
  return false;
}

bool convert_raw_bytes(PyObject* obj, const char* param, std::span<const uint8_t>* out) {
  if (!PyBytes_Check(obj)) {
    raise_arg_type_mismatch(param, obj, "bytes");
    return false;
  }
  *out = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)), size_t(PyBytes_GET_SIZE(obj))};
  return true;
}

bool convert_obj_id(PyObject* obj, const char* param, uint64_t* out) {
  Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
  if (index) {
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      *out = v;
      return true;
    }
  }
  // Name the parameter in a TypeError; anything else (OverflowError) passes as it is.
  Ref exc = take_exception();
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exc));
    return false;
  }
  Ref cause = Ref::steal(PyException_GetCause(exc.get()));
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  if (!text) return false;
  Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!msg) return false;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!replacement) return false;
  if (cause) PyException_SetCause(replacement.get(), cause.release());  // steals the cause
  restore_exception(std::move(replacement));
  return false;
}

PyObject* key_text(std::span<const uint8_t> key) {
  if (utf8_valid(key)) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(key.data()), Py_ssize_t(key.size()), nullptr);
  }
  const std::string text = utf8_lossy(key);
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
}

}  // namespace tarn::py
