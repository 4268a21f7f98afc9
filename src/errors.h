// Turning failures into Python exceptions: CoreErrors by their kind, broken
// invariants into PanicException, and the argument type-mismatch message.
// Every function here sets the interpreter's error indicator and returns
// null, so callers can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <string>

#include "core/error.h"

namespace tarn::py {

// RuntimeError for corrupt files and versions, OSError for I/O, ValueError
// for usage errors; the message is the CoreError's display form.
PyObject* raise_core_error(const CoreError& error);

// Writes a diagnostic to standard error and raises PanicException(text).
PyObject* raise_panic(const std::string& text);

// PanicException, created once per process (a direct subclass of
// BaseException, so `except Exception` does not catch it). Null with an
// error set if it cannot be created.
PyObject* panic_exception_type();

// TypeError "argument '{param}': '{type}' object is not an instance of '{expected}'"
// ("'None' is not an instance of ..." for None).
PyObject* raise_arg_type_mismatch(const char* param, PyObject* arg, const char* expected);

// The qualified name of `obj`'s type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

}  // namespace tarn::py
