// The pending exception as one object: taken out of the interpreter and put
// back later, so that other calls can run in between.
//
// Python 3.12 keeps a single normalised exception; 3.11 keeps a (type,
// value, traceback) triple. These two functions hide the difference. They
// touch only the calling thread's error indicator, so they need the thread
// to be attached, nothing more.
#pragma once

#include <Python.h>

#include "pyref.h"

namespace tarn::py {

// The pending exception as one normalised object with its traceback
// attached (null if none); the error indicator is left clear.
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

// Makes `exc` (from take_exception) the pending exception again; a null
// `exc` leaves the error indicator as it is.
inline void restore_exception(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  PyErr_Restore(type, exc.release(), nullptr);
#endif
}

}  // namespace tarn::py
