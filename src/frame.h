// The call frame: the one path by which the interpreter enters the module.
//
// Every method, constructor and repr is described by a table entry (a
// MethodSpec, a CtorSpec, a repr function) and run by one frame, in a fixed
// order: bind the arguments to the parameter list, check self, take the
// instance's borrow, run the typed implementation (which converts its
// arguments, calls the core and converts the result), release the borrow.
// No C++ exception crosses into the interpreter: std::bad_alloc becomes
// MemoryError, anything else PanicException. The interpreter lock is never
// released.
//
// The borrow counter makes overlapping use of one instance safe also without
// a global lock: shared borrows count up, an exclusive one holds all ones.
// Where threads run in parallel, calls on a writer also take the instance's
// lock (CriticalSection), so that plain calls that the GIL would have run
// one after the other still do, instead of failing with a borrow error.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "critical_section.h"

namespace tarn::py {

inline constexpr size_t kMaxParams = 3;

// A parameter list: every parameter positional-or-keyword, the first
// `required` of them required.
struct Signature {
  const char* name_in_messages;  // "{class}.{function}()"
  const char* params[kMaxParams];
  uint8_t count;
  uint8_t required;
};

enum class BorrowKind : uint8_t { kShared, kExclusive };

using BorrowCounter = std::atomic<uintptr_t>;

// How calls on one instance meet, where threads run in parallel.
enum class Calls : uint8_t {
  kParallel,  // calls run side by side (a reader: shared borrows only)
  kOneAtATime,  // a call waits for one running on the same instance (a
                // writer), as it would for the GIL; an overlap that the GIL
                // allows too (the call lets go of the lock) still meets the
                // borrow errors
};

// What the frame needs to know about one class.
struct ClassInfo {
  const char* name;                  // "_TarnReader"
  PyTypeObject* (*type)();           // the once-created class object (borrowed)
  BorrowCounter* (*counter)(PyObject* self);
  void* (*core)(PyObject* self);
  Calls calls;
};

// A method's typed implementation: `args` holds the bound arguments in
// parameter order (defaults filled in). Returns a new reference, or null with
// an exception set.
using MethodImpl = PyObject* (*)(PyObject* self, void* core, PyObject* const* args);

struct MethodSpec {
  const char* name;
  const char* doc;
  const Signature* sig;  // null: a method without parameters (METH_NOARGS)
  BorrowKind borrow;
  MethodImpl impl;
};

// A constructor builds the whole core state from its bound arguments, then
// allocates the instance.
using CtorImpl = PyObject* (*)(PyTypeObject* type, PyObject* const* args);

using ReprImpl = PyObject* (*)(void* core);

// The frame itself, one function per kind of entry. run_method is defined
// below, inline, so that each trampoline compiles to one straight path for
// the common call (positional arguments only, self of the exact class); the
// binding of keywords and every error message live out of line.
inline PyObject* run_method(const ClassInfo& cls, const MethodSpec& m, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* run_ctor(const Signature& sig, CtorImpl impl, PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* run_repr(const ClassInfo& cls, ReprImpl impl, PyObject* self);

// Runs `f` (returning PyObject*), turning any C++ exception into a Python one.
template <class F>
inline PyObject* guarded(F&& f) noexcept;

// Interpreter-facing trampolines, one per table entry, generated from a
// class's method table so that the table is written once.
template <const ClassInfo& C, const MethodSpec* Table, size_t I>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return run_method(C, Table[I], self, args, PyVectorcall_NARGS(nargsf), kwnames);
}
template <const ClassInfo& C, const MethodSpec* Table, size_t I>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  return run_method(C, Table[I], self, nullptr, 0, nullptr);
}

constexpr bool takes_arguments(const MethodSpec& m) { return m.sig != nullptr; }

template <const ClassInfo& C, const MethodSpec* Table, size_t I>
constexpr PyMethodDef method_def() {
  if (takes_arguments(Table[I])) {
    return {Table[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<C, Table, I>)),
            METH_FASTCALL | METH_KEYWORDS, Table[I].doc};
  }
  return {Table[I].name, &noargs_entry<C, Table, I>, METH_NOARGS, Table[I].doc};
}

// The PyMethodDef array (null-terminated) for a table of N methods.
template <const ClassInfo& C, const MethodSpec* Table, size_t N>
struct MethodDefs {
  template <size_t... I>
  static constexpr auto make(std::index_sequence<I...>) {
    return std::array<PyMethodDef, N + 1>{method_def<C, Table, I>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
  }
  static inline auto defs = make(std::make_index_sequence<N>{});
};

// An instance: the core state, then the borrow counter.
template <class Core>
struct Instance {
  PyObject_HEAD
  Core core;
  BorrowCounter borrow;
};

template <class Core>
BorrowCounter* counter_of(PyObject* self) {
  return &reinterpret_cast<Instance<Core>*>(self)->borrow;
}
template <class Core>
void* core_of(PyObject* self) {
  return &reinterpret_cast<Instance<Core>*>(self)->core;
}

// Allocates an instance of `type` and moves `core` into it.
template <class Core>
PyObject* new_instance(PyTypeObject* type, Core&& core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;  // `core` is destroyed by the caller
  auto* inst = reinterpret_cast<Instance<Core>*>(self);
  new (&inst->core) Core(std::move(core));
  new (&inst->borrow) BorrowCounter(0);
  return self;
}

// tp_dealloc: destroys the core (a failure goes to the unraisable hook),
// frees the object and drops the reference its heap type holds.
template <class Core>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* inst = reinterpret_cast<Instance<Core>*>(self);
  try {
    inst->core.~Core();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tarndb: failure while destroying an instance");
    PyErr_WriteUnraisable(self);
  }
  inst->borrow.~BorrowCounter();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* raise_from_current_exception() noexcept;

template <class F>
[[gnu::always_inline]] inline PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return raise_from_current_exception();
  }
}

// Binds positional arguments and keywords to `out` (kMaxParams slots,
// null-initialised), or raises TypeError and returns false.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Whether `self` is an instance of the class (a subclass included), with
// TypeError raised if not. `type` is the class object, or null with an
// exception set if it could not be created.
bool check_self_slow(const ClassInfo& cls, PyObject* self, PyTypeObject* type);

inline bool check_self(const ClassInfo& cls, PyObject* self) {
  PyTypeObject* type = cls.type();
  if (type && Py_IS_TYPE(self, type)) [[likely]] return true;
  return check_self_slow(cls, self, type);
}

// Raises the RuntimeError of a borrow that conflicts with one already held.
bool refuse_borrow(BorrowKind wanted);

inline constexpr uintptr_t kExclusiveBorrow = ~uintptr_t(0);

// Holds one borrow of an instance for the rest of a call.
class Borrow {
 public:
  Borrow() = default;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!counter_) return;
#ifdef Py_GIL_DISABLED
    if (kind_ == BorrowKind::kExclusive) {
      counter_->store(0, std::memory_order_release);
    } else {
      counter_->fetch_sub(1, std::memory_order_release);
    }
#else
    counter_->store(kind_ == BorrowKind::kExclusive ? 0 : counter_->load(std::memory_order_relaxed) - 1,
                    std::memory_order_relaxed);
#endif
  }

  // Takes the borrow, or raises RuntimeError and returns false.
  bool acquire(BorrowCounter* counter, BorrowKind kind) {
#ifdef Py_GIL_DISABLED
    if (kind == BorrowKind::kExclusive) {
      uintptr_t expected = 0;
      if (!counter->compare_exchange_strong(expected, kExclusiveBorrow, std::memory_order_acquire)) {
        return refuse_borrow(kind);
      }
    } else {
      uintptr_t cur = counter->load(std::memory_order_relaxed);
      do {
        if (cur >= kExclusiveBorrow - 1) return refuse_borrow(kind);
      } while (!counter->compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    }
#else
    // The interpreter lock serialises every call and no call releases it, so
    // nothing runs between this load and store: plain accesses suffice.
    const uintptr_t cur = counter->load(std::memory_order_relaxed);
    if (kind == BorrowKind::kExclusive) {
      if (cur != 0) return refuse_borrow(kind);
      counter->store(kExclusiveBorrow, std::memory_order_relaxed);
    } else {
      if (cur >= kExclusiveBorrow - 1) return refuse_borrow(kind);
      counter->store(cur + 1, std::memory_order_relaxed);
    }
#endif
    counter_ = counter;
    kind_ = kind;
    return true;
  }

 private:
  BorrowCounter* counter_ = nullptr;
  BorrowKind kind_ = BorrowKind::kShared;
};

[[gnu::always_inline]] inline PyObject* run_method(const ClassInfo& cls, const MethodSpec& m, PyObject* self,
                                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() __attribute__((always_inline)) -> PyObject* {
    PyObject* bound[kMaxParams] = {};
    PyObject* const* in = args;  // every parameter given by position: bound as they stand
    if (m.sig && (kwnames || nargs != m.sig->count)) {
      if (!bind_vector(*m.sig, args, nargs, kwnames, bound)) return nullptr;
      in = bound;
    }
    if (!check_self(cls, self)) return nullptr;
#ifdef Py_GIL_DISABLED
    if (cls.calls == Calls::kOneAtATime) {
      CriticalSection one_at_a_time(self);
      Borrow borrow;
      if (!borrow.acquire(cls.counter(self), m.borrow)) return nullptr;
      return m.impl(self, cls.core(self), in);
    }
#endif
    Borrow borrow;
    if (!borrow.acquire(cls.counter(self), m.borrow)) return nullptr;
    return m.impl(self, cls.core(self), in);
  });
}

}  // namespace tarn::py
