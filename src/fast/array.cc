#include "fast/array.h"

#include <atomic>
#include <cstring>
#include <new>

#include "core/format.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

constexpr uint8_t kLayout = 1;
constexpr size_t kMaxDims = 64;
constexpr Py_ssize_t kMaxCachedDtypes = 256;  // a store could name many: keep memory bounded

// numpy.empty, numpy.dtype and the dtypes met so far ({text: (dtype,
// itemsize)}), set up on the first array and kept for the life of the
// process; `missing` once numpy failed to import.
struct Numpy {
  PyObject* empty;
  PyObject* dtype;
  PyObject* cache;
};
std::atomic<const Numpy*> g_numpy{nullptr};
std::atomic<bool> g_missing{false};

const Numpy* numpy() {
  if (const Numpy* n = g_numpy.load(std::memory_order_acquire)) [[likely]] return n;
  if (g_missing.load(std::memory_order_relaxed)) return nullptr;
  py::Ref mod = py::Ref::steal(PyImport_ImportModule("numpy"));
  py::Ref empty = mod ? py::Ref::steal(PyObject_GetAttrString(mod.get(), "empty")) : py::Ref();
  py::Ref dtype = empty ? py::Ref::steal(PyObject_GetAttrString(mod.get(), "dtype")) : py::Ref();
  py::Ref cache = dtype ? py::Ref::steal(PyDict_New()) : py::Ref();
  if (!cache) {
    // No usable numpy: arrays stay ExtType values. Only an import failure
    // is remembered; anything else (MemoryError) is raised.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    g_missing.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  auto* mine = new (std::nothrow) Numpy{empty.get(), dtype.get(), cache.get()};
  if (!mine) {
    PyErr_NoMemory();
    return nullptr;
  }
  const Numpy* expected = nullptr;
  if (!g_numpy.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
    delete mine;  // another thread's lookup won
    return expected;
  }
  (void)empty.release();  // kept for the life of the process
  (void)dtype.release();
  (void)cache.release();
  return mine;
}

// Whether `text` is a dtype this layout stores: a byte order, one of the
// kinds b i u f c U S, and an item size of 1 to 9 digits.
bool plain_dtype(std::span<const uint8_t> text) {
  if (text.size() < 3 || text.size() > 11) return false;
  if (text[0] != '<' && text[0] != '>' && text[0] != '|' && text[0] != '=') return false;
  if (!std::memchr("biufcUS", text[1], 7)) return false;
  for (size_t i = 2; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// The dtype named by `text` and its item size; null with *fallback set when
// numpy is missing or refuses the text.
PyObject* dtype_of(const Numpy& np, std::span<const uint8_t> text, size_t* itemsize, bool* fallback) {
  py::Ref name = py::Ref::steal(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                                            Py_ssize_t(text.size())));
  if (!name) return nullptr;
  PyObject* hit = PyDict_GetItemWithError(np.cache, name.get());  // borrowed
  if (!hit) {
    if (PyErr_Occurred()) return nullptr;
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(np.dtype, name.get()));
    if (!made) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
      PyErr_Clear();
      *fallback = true;
      return nullptr;
    }
    py::Ref size = py::Ref::steal(PyObject_GetAttrString(made.get(), "itemsize"));
    if (!size) return nullptr;
    py::Ref entry = py::Ref::steal(PyTuple_Pack(2, made.get(), size.get()));
    if (!entry) return nullptr;
    // Entries are only ever added, never replaced (setdefault) or removed, so
    // that a borrowed entry stays valid whichever thread looks it up.
    if (PyDict_GET_SIZE(np.cache) < kMaxCachedDtypes && !PyDict_SetDefault(np.cache, name.get(), entry.get())) {
      return nullptr;
    }
    *itemsize = PyLong_AsSize_t(size.get());
    if (*itemsize == size_t(-1) && PyErr_Occurred()) return nullptr;
    return made.release();
  }
  *itemsize = PyLong_AsSize_t(PyTuple_GET_ITEM(hit, 1));
  if (*itemsize == size_t(-1) && PyErr_Occurred()) return nullptr;
  return Py_NewRef(PyTuple_GET_ITEM(hit, 0));
}

}  // namespace

PyObject* decode_array(std::span<const uint8_t> data, bool* fallback) {
  *fallback = false;
  // The layout, checked byte by byte against what is there.
  const size_t size = data.size();
  if (size < 2 || data[0] != kLayout) return *fallback = true, nullptr;
  const size_t dlen = data[1];
  if (!format::fits(2, dlen + 1, size)) return *fallback = true, nullptr;
  const std::span<const uint8_t> dtext = data.subspan(2, dlen);
  const size_t ndim = data[2 + dlen];
  size_t pos = 3 + dlen;
  if (!plain_dtype(dtext) || ndim > kMaxDims || !format::fits(pos, 8 * ndim, size)) {
    return *fallback = true, nullptr;
  }
  uint64_t dims[kMaxDims];
  uint64_t count = 1;
  bool overflow = false;
  for (size_t i = 0; i < ndim; ++i, pos += 8) {
    dims[i] = format::load_be64(data.data() + pos);
    if (dims[i] > uint64_t(PY_SSIZE_T_MAX) || __builtin_mul_overflow(count, dims[i], &count)) overflow = true;
  }
  if (overflow) return *fallback = true, nullptr;

  const Numpy* np = numpy();
  if (!np) {
    if (PyErr_Occurred()) return nullptr;
    return *fallback = true, nullptr;
  }
  size_t itemsize = 0;
  py::Ref dtype = py::Ref::steal(dtype_of(*np, dtext, &itemsize, fallback));
  if (!dtype) return nullptr;
  uint64_t nbytes;
  if (__builtin_mul_overflow(count, uint64_t(itemsize), &nbytes) || nbytes != size - pos) {
    return *fallback = true, nullptr;
  }

  py::Ref shape = py::Ref::steal(PyTuple_New(Py_ssize_t(ndim)));
  if (!shape) return nullptr;
  for (size_t i = 0; i < ndim; ++i) {
    PyObject* d = PyLong_FromUnsignedLongLong(dims[i]);
    if (!d) return nullptr;
    PyTuple_SET_ITEM(shape.get(), Py_ssize_t(i), d);
  }
  PyObject* args[] = {shape.get(), dtype.get()};
  py::Ref array = py::Ref::steal(PyObject_Vectorcall(np->empty, args, 2, nullptr));
  if (!array) return nullptr;
  if (nbytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const bool fits = uint64_t(view.len) == nbytes;
    if (fits) std::memcpy(view.buf, data.data() + pos, nbytes);
    PyBuffer_Release(&view);
    if (!fits) {
      PyErr_SetString(PyExc_SystemError, "numpy.empty gave an array of another size");
      return nullptr;
    }
  }
  return array.release();
}

}  // namespace tarn::fast
