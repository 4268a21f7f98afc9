// tarndb._fast: the package's own extension module, built from the same core
// as tarndb._tarndb. It raises the package's exception classes
// (tarndb.errors) directly, with the core's message and no kind prefix.
//
// Each part of the module adds its names through one add_* function, called
// once by the module's execution step.
#pragma once

#include <Python.h>

#include "convert.h"
#include "core/error.h"

namespace tarn::fast {

// The tarndb.errors classes, looked up once by the execution step and kept
// for the life of the process (borrowed references).
struct ErrorClasses {
  PyObject* error;    // TarnError
  PyObject* corrupt;  // TarnCorruptError
  PyObject* version;  // TarnVersionError
  PyObject* io;       // TarnIOError (also an OSError)
  // Both TarnIOError and the built-in class of their errno.
  PyObject* not_found;      // TarnFileNotFoundError: ENOENT
  PyObject* exists;         // TarnFileExistsError: EEXIST
  PyObject* permission;     // TarnPermissionError: EACCES, EPERM
  PyObject* is_directory;   // TarnIsADirectoryError: EISDIR
  PyObject* not_directory;  // TarnNotADirectoryError: ENOTDIR
};
const ErrorClasses& error_classes();

// Raises the tarndb exception of `error`'s kind with its message (for an
// operating-system failure, errno set too, and the class matching that
// errno: TarnFileNotFoundError for ENOENT, ...) and returns null.
PyObject* raise_store_error(const CoreError& error);

// After a failed extract_key, the package's error instead: a str without a
// UTF-8 form (a lone surrogate) gets ValueError "key {key!r} cannot be
// encoded as UTF-8 (it holds a lone surrogate)", another type TypeError "key
// must be str or bytes, not '{type}'" (as the dbm modules raise TypeError;
// the low-level module keeps its ValueError). Returns false.
bool refuse_key(PyObject* obj);
// A key argument of the package: extract_key, its errors those of refuse_key.
inline bool key_arg(PyObject* obj, py::KeyArg* out) {
  if (py::extract_key(obj, out)) [[likely]] return true;
  return refuse_key(obj);
}

int add_reader_types(PyObject* module);
int add_writer_type(PyObject* module);
int add_decoder(PyObject* module);
int add_file_functions(PyObject* module);

}  // namespace tarn::fast
