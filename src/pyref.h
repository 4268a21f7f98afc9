// Ref: the one owner of a PyObject* reference in the frame.
//
// Ref::steal adopts a new reference (null allowed, for a failed call);
// Ref::borrow takes a new reference to a borrowed one; release() hands the
// reference on. The destructor drops what is still owned.
#pragma once

#include <Python.h>

#include <utility>

namespace tarn::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace tarn::py
