// tarndb._fast's file functions: the core's checks for files created in a
// directory that others may write to, for the Python package's own files
// (a sharded store's manifest, lock and run files), so that the package
// never opens such a file by other rules than the native builds do.
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include <string>

#include "convert.h"
#include "core/atomic_file.h"
#include "fast/fast.h"
#include "frame.h"

namespace tarn::fast {
namespace {

// open_private(name, flags, dir_fd=None) -> a new descriptor the caller owns.
PyObject* open_private_impl(PyObject*, PyObject* args) {
  PyObject *name_arg = nullptr, *dir_arg = Py_None;
  int flags = 0;
  if (!PyArg_ParseTuple(args, "Oi|O:open_private", &name_arg, &flags, &dir_arg)) return nullptr;
  std::string name;
  if (!py::convert_path(name_arg, "name", &name)) return nullptr;
  int dir_fd = AT_FDCWD;
  if (dir_arg != Py_None) {
    const long v = PyLong_AsLong(dir_arg);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (v < 0 || v > INT_MAX) {
      PyErr_SetString(PyExc_ValueError, "open_private(): dir_fd must be a file descriptor");
      return nullptr;
    }
    dir_fd = int(v);
  }
  auto fd = open_private(dir_fd, name, flags);
  if (!fd) return raise_store_error(fd.error());
  // The caller owns what is returned: a duplicate, as Fd closes its own.
  const int raw = ::fcntl(fd->get(), F_DUPFD_CLOEXEC, 0);
  if (raw < 0) return raise_store_error(CoreError::IO("open: " + name + ": ", errno));
  PyObject* result = PyLong_FromLong(raw);
  if (!result) ::close(raw);
  return result;
}

PyObject* open_private_fn(PyObject* self, PyObject* args) {
  return py::guarded([&] { return open_private_impl(self, args); });
}

// write_atomically(target, data): `data` becomes the file `target`, whole.
PyObject* write_atomically_impl(PyObject*, PyObject* args) {
  PyObject *target_arg = nullptr, *data_arg = nullptr;
  if (!PyArg_ParseTuple(args, "OO:write_atomically", &target_arg, &data_arg)) return nullptr;
  std::string target;
  if (!py::convert_path(target_arg, "target", &target)) return nullptr;
  std::span<const uint8_t> data;
  if (!py::convert_raw_bytes(data_arg, "data", &data)) return nullptr;
  if (auto r = write_atomically(target, data.data(), data.size()); !r) return raise_store_error(r.error());
  Py_RETURN_NONE;
}

PyObject* write_atomically_fn(PyObject* self, PyObject* args) {
  return py::guarded([&] { return write_atomically_impl(self, args); });
}

PyMethodDef kFileFunctions[] = {
    {"open_private", &open_private_fn, METH_VARARGS,
     "open_private(name, flags, dir_fd=None)\n--\n\n"
     "A descriptor of *name* (relative to *dir_fd* if given) opened as a file this user\n"
     "alone may write: no link followed, created 0600, refused with TarnIOError unless it is\n"
     "a regular file with one link owned by this user. *flags*: os.O_RDONLY, os.O_WRONLY or\n"
     "os.O_RDWR, with any of os.O_CREAT, os.O_EXCL, os.O_APPEND, os.O_TRUNC."},
    {"write_atomically", &write_atomically_fn, METH_VARARGS,
     "write_atomically(target, data)\n--\n\n"
     "Replaces *target* with *data* atomically and durably, through a private temporary\n"
     "file beside it (refused as for open_private), fsync, rename and a sync of the directory."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_file_functions(PyObject* module) { return PyModule_AddFunctions(module, kFileFunctions); }

}  // namespace tarn::fast
