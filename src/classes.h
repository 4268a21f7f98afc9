// The two class objects, each created once per process on first need.
#pragma once

#include <Python.h>

#include <atomic>
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
    if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;  // every call after the first
    std::lock_guard<std::mutex> lock(mu_);
    PyTypeObject* t = type_.load(std::memory_order_relaxed);
    if (!t) {
      t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
      type_.store(t, std::memory_order_release);
    }
    return t;
  }

 private:
  std::mutex mu_;
  PyType_Spec* spec_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace tarn::py
