// CriticalSection: the per-object lock of a free-threaded interpreter, held
// for a C++ scope.
//
// On an interpreter without the GIL, CriticalSection(obj) locks obj's own
// mutex the way the interpreter's Py_BEGIN_CRITICAL_SECTION does (the same
// mutex that guards a list's items, for example), and the destructor unlocks
// it on every path out of the scope, a C++ exception included. Where the GIL
// exists it does nothing: the GIL already serialises every step this guards.
//
// What it guarantees is the interpreter's: the lock is held while the thread
// runs, but is suspended whenever the thread detaches (blocks on I/O, waits
// on another lock, or runs Python code that does). A scope that may run
// Python code must therefore leave the guarded state consistent before that
// code runs, and may find it changed afterwards.
#pragma once

#include <Python.h>

namespace tarn::py {

class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* obj) { PyCriticalSection_Begin(&cs_, obj); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
  explicit CriticalSection(PyObject*) {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection cs_;
#endif
};

}  // namespace tarn::py
