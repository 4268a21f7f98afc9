// The two class objects, each created once per process on first need.
#pragma once

#include <Python.h>

#include <mutex>

namespace tarn::py {

// Borrowed references, kept for the life of the process; null with an
// exception set if the class cannot be created.
PyTypeObject* writer_type();
PyTypeObject* reader_type();

// Creates a heap type from `spec` the first time get() is called and hands
// out the same object afterwards. A failed creation is tried again by the
// next call.
class OnceType {
 public:
  explicit OnceType(PyType_Spec* spec) : spec_(spec) {}
  PyTypeObject* get() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!type_) type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
    return type_;
  }

 private:
  std::mutex mu_;
  PyType_Spec* spec_;
  PyTypeObject* type_ = nullptr;
};

}  // namespace tarn::py
