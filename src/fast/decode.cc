// The Python builder of the msgpack reader, decode_object, and the module
// function unpackb.
#include "fast/decode.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "core/msgpack.h"
#include "fast/array.h"
#include "fast/fast.h"
#include "pending_exception.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

using msgpack::Bytes;

// msgpack's ExtType and Timestamp, looked up on the first ext value and kept
// for the life of the process. Two threads may both look them up; one
// result is kept.
struct ExtClasses {
  PyObject* ext_type;
  PyObject* timestamp;
};
std::atomic<const ExtClasses*> g_ext{nullptr};

const ExtClasses* ext_classes() {
  if (const ExtClasses* c = g_ext.load(std::memory_order_acquire)) [[likely]] return c;
  py::Ref mod = py::Ref::steal(PyImport_ImportModule("msgpack"));
  if (!mod) return nullptr;
  py::Ref ext = py::Ref::steal(PyObject_GetAttrString(mod.get(), "ExtType"));
  if (!ext) return nullptr;
  py::Ref ts = py::Ref::steal(PyObject_GetAttrString(mod.get(), "Timestamp"));
  if (!ts) return nullptr;
  auto* mine = new (std::nothrow) ExtClasses{ext.get(), ts.get()};
  if (!mine) {
    PyErr_NoMemory();
    return nullptr;
  }
  const ExtClasses* expected = nullptr;
  if (!g_ext.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
    delete mine;  // another thread's lookup won; ours is dropped with the Refs
    return expected;
  }
  (void)ext.release();  // kept for the life of the process
  (void)ts.release();
  return mine;
}

constexpr size_t kMaxKeyLen = 32;

// Mixes the first and last bytes (up to 8 of each) and the length.
inline size_t slot_of(const uint8_t* p, size_t n) {
  uint64_t a, b;
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else {
    a = uint64_t(p[0]) << 16 | uint64_t(p[n >> 1]) << 8 | p[n - 1];
    b = 0;
  }
  const uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (n * 0x165667B19E3779F9ull);
  return size_t(h >> 40);
}

// a[0, n) == b[0, n) for 1 <= n <= kMaxKeyLen, without a call: two
// overlapping loads per 8 bytes.
inline bool same_short(const uint8_t* a, const uint8_t* b, size_t n) {
  auto load = [](const uint8_t* p, size_t width) {
    uint64_t v = 0;
    std::memcpy(&v, p, width);
    return v;
  };
  if (n < 8) {
    if (n >= 4) return load(a, 4) == load(b, 4) && load(a + n - 4, 4) == load(b + n - 4, 4);
    return a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1];
  }
  for (size_t i = 0; i + 8 < n; i += 8) {
    if (load(a + i, 8) != load(b + i, 8)) return false;
  }
  return load(a + n - 8, 8) == load(b + n - 8, 8);
}

// Short ASCII map keys already made, so that records decoded one after
// another (or the records of one list) reuse each key's str and its cached
// hash instead of making and hashing a new one. Direct-mapped: a clash
// replaces the slot, and any str equal to the key's text is a right answer.
// Trivially destructible, so that the shared instance is never torn down
// after the interpreter; a per-call instance is emptied by OwnedKeyCache.
template <size_t kSlots>
struct KeyCache {
  static_assert((kSlots & (kSlots - 1)) == 0, "a power of two");
  PyObject* slots[kSlots];

  // A str of the n ASCII bytes at p (1 <= n <= kMaxKeyLen): a new reference.
  PyObject* get(const uint8_t* p, size_t n) {
    PyObject*& slot = slots[slot_of(p, n) & (kSlots - 1)];
    if (PyObject* s = slot) {
      if (size_t(PyUnicode_GET_LENGTH(s)) == n && same_short(static_cast<const uint8_t*>(PyUnicode_DATA(s)), p, n)) {
        return Py_NewRef(s);
      }
    }
    PyObject* s = PyUnicode_New(Py_ssize_t(n), 127);
    if (!s) return nullptr;
    std::memcpy(PyUnicode_DATA(s), p, n);
    Py_XSETREF(slot, Py_NewRef(s));
    return s;
  }
  void clear() {
    for (PyObject*& s : slots) Py_CLEAR(s);
  }
};

using CallCache = KeyCache<32>;

class OwnedKeyCache {
 public:
  OwnedKeyCache() = default;
  OwnedKeyCache(const OwnedKeyCache&) = delete;
  OwnedKeyCache& operator=(const OwnedKeyCache&) = delete;
  ~OwnedKeyCache() { cache_.clear(); }
  CallCache* get() { return &cache_; }

 private:
  CallCache cache_{};
};

#ifndef Py_GIL_DISABLED
// One cache for every call of the main interpreter: its lock serialises the
// calls, and get() runs no Python code that could let another in. The strs
// it holds live as long as the process (at most 256 of kMaxKeyLen bytes).
using SharedCache = KeyCache<256>;
SharedCache g_keys{};
#endif

// Builds Python objects; every Value is a new reference (or null: failed,
// with the interpreter's exception set).
template <class Cache>
class PyBuilder {
 public:
  explicit PyBuilder(Cache* keys) : keys_(keys) {}

  using Value = PyObject*;
  static bool ok(PyObject* v) { return v != nullptr; }

  PyObject* nil() { return Py_NewRef(Py_None); }
  PyObject* boolean(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
  PyObject* uint(uint64_t v) {
    return v <= uint64_t(LONG_MAX) ? PyLong_FromLong(long(v)) : PyLong_FromUnsignedLongLong(v);
  }
  PyObject* sint(int64_t v) { return PyLong_FromLongLong(v); }
  PyObject* real(double d) { return PyFloat_FromDouble(d); }

  // The interpreter's strict decoder rejects exactly what is not UTF-8
  // (surrogates, overlongs, beyond U+10FFFF), as msgpack-python's does: the
  // text is checked once, as it is decoded.
  static constexpr bool kChecksUtf8 = true;
  PyObject* str(Bytes s, bool ascii, bool key) {
    const size_t n = s.size();
    if (!ascii) {
      PyObject* o = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.data()), Py_ssize_t(n), nullptr);
      if (!o && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        bad_utf8_ = true;
      }
      return o;
    }
    if (key && n != 0 && n <= kMaxKeyLen) return keys_->get(s.data(), n);
    PyObject* o = PyUnicode_New(Py_ssize_t(n), 127);
    if (o && n != 0) std::memcpy(PyUnicode_DATA(o), s.data(), n);
    return o;
  }
  PyObject* bin(Bytes s) { return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data()), Py_ssize_t(s.size())); }

  PyObject* ext(int8_t type, Bytes data) {
    if (type == kArrayExt) {
      bool fallback = false;
      if (PyObject* array = decode_array(data, &fallback)) return array;
      if (!fallback) return nullptr;
    }
    const ExtClasses* c = ext_classes();
    if (!c) return nullptr;
    py::Ref code = py::Ref::steal(PyLong_FromLong(type));
    if (!code) return nullptr;
    py::Ref body = py::Ref::steal(bin(data));
    if (!body) return nullptr;
    PyObject* args[] = {code.get(), body.get()};
    return PyObject_Vectorcall(c->ext_type, args, 2, nullptr);
  }
  PyObject* timestamp(int64_t seconds, uint32_t nanoseconds) {
    const ExtClasses* c = ext_classes();
    if (!c) return nullptr;
    py::Ref s = py::Ref::steal(PyLong_FromLongLong(seconds));
    if (!s) return nullptr;
    py::Ref ns = py::Ref::steal(PyLong_FromUnsignedLong(nanoseconds));
    if (!ns) return nullptr;
    PyObject* args[] = {s.get(), ns.get()};
    return PyObject_Vectorcall(c->timestamp, args, 2, nullptr);
  }

  PyObject* begin_array(uint32_t n, bool key) { return key ? PyTuple_New(Py_ssize_t(n)) : PyList_New(Py_ssize_t(n)); }
  void set_item(PyObject* a, uint32_t i, PyObject* item, bool key) {
    if (key) {
      PyTuple_SET_ITEM(a, Py_ssize_t(i), item);
    } else {
      PyList_SET_ITEM(a, Py_ssize_t(i), item);
    }
  }
  void end_array(PyObject*, bool) {}

  PyObject* begin_map(uint32_t) { return PyDict_New(); }
  bool set_pair(PyObject* m, PyObject* k, PyObject* v) {
    // Later duplicates win, and the first key object stays: dict assignment.
    const int r = PyDict_SetItem(m, k, v);
    Py_DECREF(k);
    Py_DECREF(v);
    return r == 0;
  }
  void end_map(PyObject*) {}

  bool took_bad_utf8() { return std::exchange(bad_utf8_, false); }

  void discard(PyObject* v) { Py_XDECREF(v); }
  // The interpreter's exception is set: decode_object passes it on as it is.
  CoreError failure() { return CoreError::Usage({}); }

 private:
  Cache* keys_;
  bool bad_utf8_ = false;
};

PyObject* raise_corrupt(PyObject* key, const std::string& detail) {
  py::Ref msg = py::Ref::steal(key ? PyUnicode_FromFormat("object of key %R is not valid msgpack: %s", key, detail.c_str())
                                   : PyUnicode_FromFormat("object is not valid msgpack: %s", detail.c_str()));
  if (!msg) return nullptr;
  PyObject* cls = error_classes().corrupt;
  py::Ref exc = py::Ref::steal(PyObject_CallOneArg(cls, msg.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

template <class Cache>
PyObject* decode_with(std::span<const uint8_t> payload, PyObject* key, Cache* keys) {
  PyBuilder<Cache> builder(keys);
  Result<PyObject*> r = msgpack::parse_msgpack(payload, builder);
  if (r) return *r;
  if (r.error().kind() != ErrorKind::kCorrupt) return nullptr;  // the builder's, with its exception set
  return raise_corrupt(key, r.error().detail());
}

template <class Cache>
PyObject* check_with(std::span<const uint8_t> payload, Cache* keys) {
  PyBuilder<Cache> builder(keys);
  msgpack::Parser<PyBuilder<Cache>> parser(payload, builder);
  Result<PyObject*> r = parser.run();
  if (r) {
    Py_DECREF(*r);
    Py_RETURN_NONE;
  }
  if (r.error().kind() != ErrorKind::kCorrupt) {
    // The builder's: a map key that cannot be hashed is a refusal too;
    // other exceptions (MemoryError) pass.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    py::Ref cause = py::take_exception();
    PyErr_Format(PyExc_ValueError, "payload is not valid msgpack: %S", cause.get());
    return nullptr;
  }
  const msgpack::Fault& f = parser.fault();
  if (f.kind == msgpack::FaultKind::kTrailing) {
    PyErr_Format(PyExc_ValueError, "payload is not one msgpack value: %lld %s after the first", (long long)f.extra,
                 f.extra == 1 ? "byte" : "bytes");
    return nullptr;
  }
  PyErr_Format(PyExc_ValueError, "payload is not valid msgpack: %s", r.error().detail().c_str());
  return nullptr;
}

// The bytes of a bytes-like `data` for `use`, kept exported meanwhile (a
// bytearray cannot resize while ext classes run).
template <class F>
PyObject* with_buffer(PyObject* data, F&& use) {
  if (PyBytes_CheckExact(data)) {
    return use(std::span<const uint8_t>{reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                                        size_t(PyBytes_GET_SIZE(data))});
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* r = use(std::span<const uint8_t>{static_cast<const uint8_t*>(view.buf), size_t(view.len)});
  PyBuffer_Release(&view);
  return r;
}

// check_payload(data) -> None, or ValueError naming why a reader would refuse it.
PyObject* check_payload_fn(PyObject*, PyObject* data) {
  return with_buffer(data, [](std::span<const uint8_t> payload) { return check_payload(payload); });
}

// unpackb(data) -> the object that the msgpack bytes `data` hold.
PyObject* unpackb(PyObject*, PyObject* data) {
  return with_buffer(data, [](std::span<const uint8_t> payload) { return decode_object(payload, nullptr); });
}

PyMethodDef kDecoderFunctions[] = {
    {"check_payload", check_payload_fn, METH_O,
     "check_payload(data)\n--\n\nNone when the msgpack bytes *data* are exactly one value that a reader "
     "decodes;\nValueError saying why otherwise."},
    {"unpackb", unpackb, METH_O,
     "unpackb(data)\n--\n\nThe object that the msgpack bytes *data* hold, as the package decodes "
     "stored objects.\nRaises TarnCorruptError when *data* is not exactly one valid msgpack value."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* decode_object(std::span<const uint8_t> payload, PyObject* key) {
  try {
#ifndef Py_GIL_DISABLED
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) [[likely]] return decode_with(payload, key, &g_keys);
#endif
    OwnedKeyCache keys;
    return decode_with(payload, key, keys.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* check_payload(std::span<const uint8_t> payload) {
  try {
#ifndef Py_GIL_DISABLED
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) [[likely]] return check_with(payload, &g_keys);
#endif
    OwnedKeyCache keys;
    return check_with(payload, keys.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

int add_decoder(PyObject* module) { return PyModule_AddFunctions(module, kDecoderFunctions); }

}  // namespace tarn::fast
