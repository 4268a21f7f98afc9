#include "frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "errors.h"
#include "pyref.h"

namespace tarn::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const char* const* names, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// The position of the parameter called `kw`, or -1.
int find_param(const Signature& sig, PyObject* kw) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(kw) ? PyUnicode_AsUTF8AndSize(kw, &n) : nullptr;
  if (!s) {
    PyErr_Clear();  // a keyword without UTF-8 form matches no parameter
    return -1;
  }
  for (int i = 0; i < sig.count; ++i) {
    if (std::strlen(sig.params[i]) == size_t(n) && std::memcmp(sig.params[i], s, size_t(n)) == 0) return i;
  }
  return -1;
}

// Binds positional arguments and (name, value) keyword pairs to `out`,
// which has room for kMaxParams and is null-initialised.
class Binder {
 public:
  Binder(const Signature& sig, PyObject** out) : sig_(sig), out_(out) {}

  bool positional(PyObject* const* args, Py_ssize_t n) {
    if (n > sig_.count) {
      const char* verb = n == 1 ? "was" : "were";
      if (sig_.required == sig_.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig_.name_in_messages,
                     int(sig_.count), n, verb);
      } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                     sig_.name_in_messages, int(sig_.required), int(sig_.count), n, verb);
      }
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out_[i] = args[i];
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    int i = find_param(sig_, name);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig_.name_in_messages, name);
      return false;
    }
    if (out_[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig_.name_in_messages,
                   sig_.params[i]);
      return false;
    }
    out_[i] = value;
    return true;
  }

  bool finish() {
    const char* missing[kMaxParams];
    size_t n = 0;
    for (int i = 0; i < sig_.required; ++i)
      if (!out_[i]) missing[n++] = sig_.params[i];
    if (n) {
      PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig_.name_in_messages, n,
                   n == 1 ? "argument" : "arguments", name_list(missing, n).c_str());
      return false;
    }
    return true;  // the only default, verify=True, is filled in by its converter
  }

 private:
  const Signature& sig_;
  PyObject** out_;
};

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Binder b(sig, out);
  if (!b.positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args))) return false;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value))
      if (!b.keyword(name, value)) return false;
  }
  return b.finish();
}

}  // namespace

bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  Binder b(sig, out);
  if (!b.positional(args, nargs)) return false;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (!b.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
  }
  return b.finish();
}

bool check_self_slow(const ClassInfo& cls, PyObject* self, PyTypeObject* type) {
  if (!type) return false;
  if (PyObject_TypeCheck(self, type)) return true;
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_qualname(self).c_str(), cls.name);
  return false;
}

bool refuse_borrow(BorrowKind wanted) {
  PyErr_SetString(PyExc_RuntimeError,
                  wanted == BorrowKind::kExclusive ? "Already borrowed" : "Already mutably borrowed");
  return false;
}

PyObject* raise_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    } catch (const std::exception& e) {
      return raise_panic(e.what());
    } catch (...) {
      return raise_panic("unknown internal failure");
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

PyObject* run_ctor(const Signature& sig, CtorImpl impl, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[kMaxParams] = {};
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    return impl(type, bound);
  });
}

PyObject* run_repr(const ClassInfo& cls, ReprImpl impl, PyObject* self) {
  return guarded([&]() -> PyObject* {
    if (!check_self(cls, self)) return nullptr;
#ifdef Py_GIL_DISABLED
    std::optional<CriticalSection> one_at_a_time;
    if (cls.calls == Calls::kOneAtATime) one_at_a_time.emplace(self);
#endif
    Borrow borrow;
    if (!borrow.acquire(cls.counter(self), BorrowKind::kShared)) return nullptr;
    return impl(cls.core(self));
  });
}

}  // namespace tarn::py
