// tarndb._fast: the package's own extension module, built from the same core
// as tarndb._tarndb. It raises the package's exception classes
// (tarndb.errors) directly, with the core's message and no kind prefix.
//
// Each part of the module adds its names through one add_* function, called
// once by the module's execution step.
#pragma once

#include <Python.h>

#include "core/error.h"

namespace tarn::fast {

// The tarndb.errors classes, looked up once by the execution step and kept
// for the life of the process (borrowed references).
struct ErrorClasses {
  PyObject* error;    // TarnError
  PyObject* corrupt;  // TarnCorruptError
  PyObject* version;  // TarnVersionError
  PyObject* io;       // TarnIOError (also an OSError)
};
const ErrorClasses& error_classes();

// Raises the tarndb exception of `error`'s kind with its message (for an
// operating-system failure, errno set too) and returns null.
PyObject* raise_store_error(const CoreError& error);

int add_reader_types(PyObject* module);
int add_writer_type(PyObject* module);
int add_decoder(PyObject* module);
int add_file_functions(PyObject* module);

}  // namespace tarn::fast
