// Argument conversion: Python objects to the byte strings, text, flags and
// integers the cores take. Each converter returns false with a Python
// exception set on failure. Converters may run Python code (a sequence key's
// iterator, an obj_id's __index__), so the frame calls them only after the
// instance is borrowed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "pyref.h"

namespace tarn::py {

// Key bytes: a view of the argument's own buffer where it cannot change
// under us (str's UTF-8 form, bytes), otherwise a private copy.
class KeyArg {
 public:
  std::span<const uint8_t> bytes() const { return view_; }

 private:
  friend bool extract_key(PyObject*, KeyArg*);
  friend bool extract_key_slow(PyObject*, KeyArg*);
  std::span<const uint8_t> view_;
  std::string owned_;
};

bool extract_key_slow(PyObject* obj, KeyArg* out);

// str (UTF-8), bytes, bytearray, or a sequence of integers 0..255, tried in
// that order; anything else: ValueError "key must be str or bytes".
inline bool extract_key(PyObject* obj, KeyArg* out) {
  // An ASCII str is its own UTF-8 form, stored right behind the object
  // header: read in place, without the call that finds or makes the form.
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] {
    out->view_ = {static_cast<const uint8_t*>(PyUnicode_DATA(obj)), size_t(PyUnicode_GET_LENGTH(obj))};
    return true;
  }
  return extract_key_slow(obj, out);
}

// A str (or subclass) as UTF-8 text; `param` names it in the type error.
bool convert_path(PyObject* obj, const char* param, std::string* out);

// True, False or numpy's bool scalar, by truth value.
bool convert_verify(PyObject* obj, const char* param, bool* out);

// A bytes object (or subclass): a view of its buffer.
bool convert_raw_bytes(PyObject* obj, const char* param, std::span<const uint8_t>* out);

// An int, or an object with __index__, as an unsigned 64-bit value. A
// TypeError is re-raised as "argument '{param}': ..."; OverflowError passes.
bool convert_obj_id(PyObject* obj, const char* param, uint64_t* out);

}  // namespace tarn::py

namespace tarn::py {

// Result conversion: new objects, never views of a mapping.

// Key bytes as str, each maximal ill-formed UTF-8 subsequence shown as U+FFFD.
PyObject* key_text(std::span<const uint8_t> key);

// A new bytes object holding a copy of `data`.
inline PyObject* new_bytes(std::span<const uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), Py_ssize_t(data.size()));
}

// A new 2-tuple that takes over both references (both non-null); null with
// the error set if the tuple cannot be made.
inline PyObject* new_pair(Ref first, Ref second) {
  PyObject* pair = PyTuple_New(2);
  if (!pair) return nullptr;
  PyTuple_SET_ITEM(pair, 0, first.release());
  PyTuple_SET_ITEM(pair, 1, second.release());
  return pair;
}

}  // namespace tarn::py
