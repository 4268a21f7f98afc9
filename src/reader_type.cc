// _TarnReader: the binding of ReaderCore.
#include <Python.h>

#include <utility>
#include <vector>

#include "classes.h"
#include "convert.h"
#include "core/format.h"
#include "core/reader.h"
#include "errors.h"
#include "frame.h"
#include "pyref.h"

namespace tarn::py {
namespace {

using Reader = Instance<ReaderCore>;

const ReaderCore& core(void* p) { return *static_cast<const ReaderCore*>(p); }

// A list of n items, item(i) giving each as a new reference (null with an
// exception set on failure, which drops the list built so far).
template <class F>
PyObject* new_list(size_t n, F&& item) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* x = item(i);
    if (!x) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), x);
  }
  return list.release();
}

// A list of (key text, payload bytes) tuples, built only once the core has
// read every record, so a failure leaves no half-built result.
PyObject* item_list(const ReaderCore& r, const std::vector<Item>& items) {
  return new_list(items.size(), [&](size_t i) -> PyObject* {
    Ref key = Ref::steal(key_text(r.key(items[i].entry)));
    if (!key) return nullptr;
    Ref payload = Ref::steal(new_bytes(items[i].payload));
    if (!payload) return nullptr;
    return new_pair(std::move(key), std::move(payload));
  });
}

PyObject* get_raw(PyObject*, void* self, PyObject* const* args) {
  KeyArg key;
  if (!extract_key(args[0], &key)) return nullptr;
  auto found = core(self).get(key.bytes());
  if (!found) return raise_core_error(found.error());
  if (!*found) Py_RETURN_NONE;
  return new_bytes(**found);
}

PyObject* exists(PyObject*, void* self, PyObject* const* args) {
  KeyArg key;
  if (!extract_key(args[0], &key)) return nullptr;
  return PyBool_FromLong(core(self).exists(key.bytes()));
}

PyObject* prefix_raw(PyObject*, void* self, PyObject* const* args) {
  KeyArg prefix;
  if (!extract_key(args[0], &prefix)) return nullptr;
  auto items = core(self).prefix(prefix.bytes());
  if (!items) return raise_core_error(items.error());
  return item_list(core(self), *items);
}

PyObject* keys(PyObject*, void* self, PyObject* const*) {
  const ReaderCore& r = core(self);
  return new_list(r.entry_count(), [&](size_t i) { return key_text(r.key(i)); });
}

PyObject* items_raw(PyObject*, void* self, PyObject* const*) {
  auto items = core(self).items();
  if (!items) return raise_core_error(items.error());
  return item_list(core(self), *items);
}

PyObject* objects_raw(PyObject*, void* self, PyObject* const*) {
  auto objects = core(self).objects();
  if (!objects) return raise_core_error(objects.error());
  return new_list(objects->size(), [&](size_t i) { return new_bytes((*objects)[i]); });
}

// Sets d[name] = value, stealing `value`.
bool set_item(PyObject* d, const char* name, PyObject* value) {
  Ref v = Ref::steal(value);
  return v && PyDict_SetItemString(d, name, v.get()) == 0;
}

PyObject* stats(PyObject*, void* self, PyObject* const*) {
  const ReaderCore& r = core(self);
  const FileHeader& h = r.header();
  const std::string crc = format::hex32(h.file_crc32);
  const std::string& path = r.path();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "path", key_text({reinterpret_cast<const uint8_t*>(path.data()), path.size()})) ||
      !set_item(d.get(), "version", PyLong_FromLong(format::kVersion)) ||
      !set_item(d.get(), "num_keys", PyLong_FromUnsignedLong(h.num_keys)) ||
      !set_item(d.get(), "num_objects", PyLong_FromUnsignedLong(h.num_objects)) ||
      !set_item(d.get(), "index_offset", PyLong_FromUnsignedLongLong(h.index_offset)) ||
      !set_item(d.get(), "data_offset", PyLong_FromLong(long(format::kHeaderSize))) ||
      !set_item(d.get(), "file_size_kb", PyFloat_FromDouble(double(h.file_size) * 0.0009765625)) ||
      !set_item(d.get(), "file_crc32", PyUnicode_FromStringAndSize(crc.data(), Py_ssize_t(crc.size())))) {
    return nullptr;
  }
  return d.release();
}

PyObject* verify(PyObject*, void* self, PyObject* const*) {
  if (auto r = core(self).verify(); !r) return raise_core_error(r.error());
  Py_RETURN_TRUE;
}

// close() and __exit__ release nothing: the mapping lives as long as the
// object, so no call can pull it away from a concurrent one.
PyObject* close(PyObject*, void*, PyObject* const*) { Py_RETURN_NONE; }
PyObject* enter(PyObject* self, void*, PyObject* const*) { return Py_NewRef(self); }
PyObject* exit(PyObject*, void*, PyObject* const*) { Py_RETURN_FALSE; }

constexpr Signature kGetSig{"_TarnReader.get_raw()", {"key"}, 1, 1};
constexpr Signature kExistsSig{"_TarnReader.exists()", {"key"}, 1, 1};
constexpr Signature kPrefixSig{"_TarnReader.prefix_raw()", {"prefix"}, 1, 1};
constexpr Signature kExitSig{"_TarnReader.__exit__()", {"_exc_type", "_exc_val", "_exc_tb"}, 3, 3};
constexpr Signature kNewSig{"_TarnReader.__new__()", {"path", "verify"}, 2, 1};

constexpr BorrowKind kShared = BorrowKind::kShared;
constexpr MethodSpec kMethods[] = {
    {"get_raw", "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`.", &kGetSig,
     kShared, get_raw},
    {"exists", "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index.",
     &kExistsSig, kShared, exists},
    {"prefix_raw", "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`.",
     &kPrefixSig, kShared, prefix_raw},
    {"keys", "keys($self)\n--\n\nAll keys in sorted order.", nullptr, kShared, keys},
    {"items_raw", "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order.", nullptr, kShared,
     items_raw},
    {"objects_raw", "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset).", nullptr,
     kShared, objects_raw},
    {"stats", "stats($self)\n--\n\nReturn file metadata as a `dict`.", nullptr, kShared, stats},
    {"verify", "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object).", nullptr, kShared,
     verify},
    {"close", "close($self)\n--\n\n", nullptr, kShared, close},
    {"__enter__", "__enter__($self)\n--\n\n", nullptr, kShared, enter},
    {"__exit__", "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n", &kExitSig, kShared, exit},
};

constexpr ClassInfo kClass{"_TarnReader", reader_type, counter_of<ReaderCore>, core_of<ReaderCore>, Calls::kParallel};

PyObject* construct(PyTypeObject* type, PyObject* const* args) {
  std::string path;
  if (!convert_path(args[0], "path", &path)) return nullptr;
  bool verify = true;
  if (args[1] && !convert_verify(args[1], "verify", &verify)) return nullptr;
  auto opened = ReaderCore::open(path, verify);
  if (!opened) return raise_core_error(opened.error());
  return new_instance(type, std::move(*opened));
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_ctor(kNewSig, construct, type, args, kwargs);
}

PyObject* repr_impl(void* self) {
  const ReaderCore& r = core(self);
  Ref path = Ref::steal(key_text({reinterpret_cast<const uint8_t*>(r.path().data()), r.path().size()}));
  if (!path) return nullptr;
  return PyUnicode_FromFormat("_TarnReader('%U', keys=%lu, objects=%lu)", path.get(),
                              (unsigned long)r.header().num_keys, (unsigned long)r.header().num_objects);
}

PyObject* tp_repr(PyObject* self) { return run_repr(kClass, repr_impl, self); }

using Defs = MethodDefs<kClass, kMethods, std::size(kMethods)>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ReaderCore>)},
    {Py_tp_doc,
     const_cast<char*>("_TarnReader(path, verify=True)\n--\n\nLow-level reader \u2014 returns raw msgpack bytes.\n"
                       "**Use `tarndb.TarnReader` (Python wrapper) instead of this directly.**\n\n"
                       "Thread-safe for reads: the index is immutable after construction and the\n"
                       "mmap is read-only.  Share one instance freely across threads.")},
    {Py_tp_methods, Defs::defs.data()},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins._TarnReader", int(sizeof(Reader)), 0, Py_TPFLAGS_DEFAULT, kSlots};

OnceType g_type(&kSpec);

}  // namespace

PyTypeObject* reader_type() { return g_type.get(); }

}  // namespace tarn::py
