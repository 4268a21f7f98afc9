// tarndb._fast.Reader: the native base of tarndb.TarnReader.
//
// The mapping slots (r[key], key in r, len(r), iter(r)) take the shortest
// safe path: no argument binding, no frame borrow, one pin of the store.
// The other methods run through the table-driven frame of src/frame.h.
#include <Python.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <climits>
#include <optional>
#include <exception>
#include <string>
#include <vector>

#include "convert.h"
#include "core/format.h"
#include "core/offset_set.h"
#include "core/utf8.h"
#include "errors.h"
#include "fast/decode.h"
#include "fast/fast.h"
#include "fast/reader.h"
#include "frame.h"
#include "pending_exception.h"
#include "pyref.h"

namespace tarn::fast {

using py::KeyArg;
using py::Ref;
using py::take_exception;

namespace {

PyTypeObject* g_reader_type = nullptr;  // created once by the execution step

// A user's decoder failed on `key`'s payload: TarnCorruptError, chained to
// what it raised. Exceptions that are not errors (KeyboardInterrupt) pass.
PyObject* raise_decoder_failure(PyObject* key) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Ref cause = take_exception();
  Ref msg = Ref::steal(key ? PyUnicode_FromFormat("object of key %R is not valid msgpack: %S", key, cause.get())
                           : PyUnicode_FromFormat("object is not valid msgpack: %S", cause.get()));
  if (!msg) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(error_classes().corrupt, msg.get()));
  if (!exc) return nullptr;
  PyException_SetContext(exc.get(), Py_NewRef(cause.get()));
  PyException_SetCause(exc.get(), cause.release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

// Calls the decoder chosen at construction with the payload as bytes.
// msgpack.unpackb is called as the package has always called it: map keys
// of any type, and a second pass turning list map keys into tuples.
PyObject* call_decoder(const ReaderState& s, std::span<const uint8_t> payload, PyObject* key) {
  Ref data = Ref::steal(py::new_bytes(payload));
  if (!data) return nullptr;
  Ref out;
  if (s.msgpack_decoder) {
    PyObject* args[3] = {nullptr, data.get(), Py_False};
    out = Ref::steal(
        PyObject_Vectorcall(s.decoder.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, s.msgpack_kwnames.get()));
    if (!out && PyErr_ExceptionMatches(PyExc_TypeError)) {
      // An unhashable map key (a list): decode again, keys as tuples.
      PyErr_Clear();
      Ref codec = Ref::steal(PyImport_ImportModule("tarndb._codec"));
      Ref hook = codec ? Ref::steal(PyObject_GetAttrString(codec.get(), "_pairs_to_dict")) : Ref();
      Ref names2 = Ref::steal(Py_BuildValue("(ss)", "strict_map_key", "object_pairs_hook"));
      if (!hook || !names2) return nullptr;
      PyObject* args2[4] = {nullptr, data.get(), Py_False, hook.get()};
      out = Ref::steal(
          PyObject_Vectorcall(s.decoder.get(), args2 + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names2.get()));
    }
  } else {
    PyObject* args[2] = {nullptr, data.get()};
    out = Ref::steal(PyObject_Vectorcall(s.decoder.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (!out) return raise_decoder_failure(key);
  return out.release();
}

}  // namespace

PyObject* ReaderState::decode(std::span<const uint8_t> payload, PyObject* key) const {
  if (!decoder) [[likely]] return decode_object(payload, key);
  return call_decoder(*this, payload, key);
}

PyTypeObject* reader_type() { return g_reader_type; }

PyObject* raise_closed(const ReaderState& state) {
  PyErr_Format(PyExc_ValueError, "I/O operation on a closed TarnReader (%R)", state.path.get());
  return nullptr;
}

PyObject* key_str(Bytes key) {
  const char* p = reinterpret_cast<const char*>(key.data());
  const size_t n = key.size();
  // ASCII, the common case, is copied straight into a new compact str.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    __builtin_memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) break;
  }
  for (; i < n && !(key[i] & 0x80); ++i) {
  }
  if (i == n) {
    PyObject* s = PyUnicode_New(Py_ssize_t(n), 127);
    if (s && n) __builtin_memcpy(PyUnicode_DATA(s), p, n);
    return s;
  }
  return PyUnicode_DecodeUTF8(p, Py_ssize_t(n), nullptr);
}

std::string key_repr(Bytes key) {
  // As repr() shows it: a str when the bytes are UTF-8, quoted with ' and
  // control characters escaped; bytes otherwise.
  const bool text = utf8_valid(key);
  std::string out = text ? "'" : "b'";
  static constexpr char kHex[] = "0123456789abcdef";
  for (const uint8_t c : key) {
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && !text)) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  out += '\'';
  return out;
}

CoreError damaged_record(const ReaderCore& shard, EntryRef entry, uint32_t stored) {
  const uint64_t offset = shard.record_offset_at(entry);
  auto sliced = shard.payload(entry);
  const uint32_t computed = sliced ? crc32(*sliced) : 0;
  return CoreError::Corrupt(shard.path() + ": object of key " + key_repr(shard.key_at(entry)) + " (record at offset " +
                            std::to_string(offset) + ") fails its CRC-32 check (stored " + format::hex32(stored) +
                            ", computed " + format::hex32(computed) + ")");
}

PyObject* ReaderState::payload_bytes(const ReaderCore& shard, EntryRef entry) const {
  auto sliced = slice(shard, entry);
  if (!sliced) [[unlikely]] return raise_store_error(sliced.error());
  if (!check_reads) return py::new_bytes(*sliced);
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(sliced->size()));
  if (!out) return nullptr;
  const uint32_t computed = crc32_copy(*sliced, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)));
  if (const uint32_t stored = stored_crc(*sliced); computed != stored) [[unlikely]] {
    Py_DECREF(out);
    return raise_store_error(damaged_record(shard, entry, stored));
  }
  return out;
}

PyObject* raise_key_error(PyObject* key) {
  // One argument, even when the key is itself a tuple.
  Ref args = Ref::steal(PyTuple_Pack(1, key));
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

namespace {

ReaderState& state(void* core) { return *static_cast<ReaderState*>(core); }

// ---------------------------------------------------------------- mapping slots

PyObject* subscript(PyObject* self, PyObject* key) {
  return py::guarded([&]() -> PyObject* {
    ReaderState& s = state_of(self);
    Pin pin(s.slot);
    const Store* store = pin.get();
    if (!store) [[unlikely]] return raise_closed(s);
    KeyArg k;
    if (!key_arg(key, &k)) return nullptr;
    const ReaderCore& shard = store->shard_for(k.bytes());
    const EntryRef entry = shard.find(k.bytes(), shard.hash(k.bytes()));
    if (entry == kNoEntry) return raise_key_error(key);
    auto payload = s.payload(shard, entry);
    if (!payload) [[unlikely]] return raise_store_error(payload.error());
    return s.decode(*payload, key);
  });
}

int contains(PyObject* self, PyObject* key) {
  // The answer comes from the in-memory index: no file byte is read.
  PyObject* answer = py::guarded([&]() -> PyObject* {
    ReaderState& s = state_of(self);
    Pin pin(s.slot);
    const Store* store = pin.get();
    if (!store) [[unlikely]] return raise_closed(s);
    KeyArg k;
    if (!key_arg(key, &k)) return nullptr;
    return store->shard_for(k.bytes()).exists(k.bytes()) ? Py_True : Py_False;  // borrowed: only compared below
  });
  return answer ? answer == Py_True : -1;
}

Py_ssize_t length(PyObject* self) {
  ReaderState& s = state_of(self);
  Pin pin(s.slot);
  if (!pin.get()) {
    raise_closed(s);
    return -1;
  }
  return Py_ssize_t(pin.get()->length);
}

// The whole view of every shard.
void whole(const Store& store, std::vector<size_t>* begin, std::vector<size_t>* end) {
  begin->assign(store.shard_count(), 0);
  end->resize(store.shard_count());
  for (size_t i = 0; i < store.shard_count(); ++i) (*end)[i] = store.views[i].size();
}

PyObject* iterate(PyObject* self, IterKind kind) {
  return py::guarded([&]() -> PyObject* {
    ReaderState& s = state_of(self);
    Pin pin(s.slot);
    if (!pin.get()) return raise_closed(s);
    std::vector<size_t> begin, end;
    whole(*pin.get(), &begin, &end);
    return new_view_iter(self, *pin.get(), kind, std::move(begin), std::move(end));
  });
}

PyObject* tp_iter(PyObject* self) { return iterate(self, IterKind::kKeys); }

// ---------------------------------------------------------------- methods

// Runs `body(store)` under a pin, or raises the closed error.
template <class F>
PyObject* with_store(ReaderState& s, F&& body) {
  Pin pin(s.slot);
  if (!pin.get()) return raise_closed(s);
  return body(*pin.get());
}

PyObject* get(PyObject*, void* core, PyObject* const* args) {
  ReaderState& s = state(core);
  return with_store(s, [&](const Store& store) -> PyObject* {
    KeyArg k;
    if (!key_arg(args[0], &k)) return nullptr;
    const ReaderCore& shard = store.shard_for(k.bytes());
    const EntryRef entry = shard.find(k.bytes(), shard.hash(k.bytes()));
    if (entry == kNoEntry) return Py_NewRef(args[1] ? args[1] : Py_None);
    auto payload = s.payload(shard, entry);
    if (!payload) return raise_store_error(payload.error());
    return s.decode(*payload, args[0]);
  });
}

PyObject* raw(PyObject*, void* core, PyObject* const* args) {
  ReaderState& s = state(core);
  return with_store(s, [&](const Store& store) -> PyObject* {
    KeyArg k;
    if (!key_arg(args[0], &k)) return nullptr;
    const ReaderCore& shard = store.shard_for(k.bytes());
    const EntryRef entry = shard.find(k.bytes(), shard.hash(k.bytes()));
    if (entry == kNoEntry) return raise_key_error(args[0]);
    return s.payload_bytes(shard, entry);
  });
}

PyObject* get_many(PyObject* self, void* core, PyObject* const* args) {
  return with_store(state(core), [&](const Store& store) {
    return lookup_many(self, store, args[0], args[1] ? args[1] : Py_None, true);
  });
}

PyObject* raw_many(PyObject* self, void* core, PyObject* const* args) {
  return with_store(state(core), [&](const Store& store) { return lookup_many(self, store, args[0], Py_None, false); });
}

// The error of a seek that a shard's damaged lookup index could not complete.
PyObject* raise_seek_damage(const ReaderCore& shard) { return raise_store_error(shard.lookup_damage()); }

// The ranges of the keys that start with `prefix`, or false with an error set.
bool prefix_ranges(const Store& store, PyObject* prefix, std::vector<size_t>* begin, std::vector<size_t>* end) {
  KeyArg p;
  if (!key_arg(prefix, &p)) return false;
  begin->resize(store.shard_count());
  end->resize(store.shard_count());
  for (size_t i = 0; i < store.shard_count(); ++i) {
    const KeyView& v = store.views[i];
    (*begin)[i] = v.lower_bound(store.shards[i], p.bytes());
    (*end)[i] = (*begin)[i] == KeyView::kDamaged ? KeyView::kDamaged : v.prefix_end(store.shards[i], (*begin)[i], p.bytes());
    if ((*end)[i] == KeyView::kDamaged) {
      raise_seek_damage(store.shards[i]);
      return false;
    }
  }
  return true;
}

PyObject* prefix(PyObject* self, void* core, PyObject* const* args) {
  return with_store(state(core), [&](const Store& store) -> PyObject* {
    std::vector<size_t> begin, end;
    if (!prefix_ranges(store, args[0], &begin, &end)) return nullptr;
    return collect_list(self, store, IterKind::kItems, begin, end);
  });
}

PyObject* prefix_keys(PyObject* self, void* core, PyObject* const* args) {
  return with_store(state(core), [&](const Store& store) -> PyObject* {
    std::vector<size_t> begin, end;
    if (!prefix_ranges(store, args[0], &begin, &end)) return nullptr;
    return collect_list(self, store, IterKind::kKeys, begin, end);
  });
}

PyObject* range(PyObject* self, void* core, PyObject* const* args) {
  return with_store(state(core), [&](const Store& store) -> PyObject* {
    KeyArg lo, hi;
    const bool has_lo = args[0] && args[0] != Py_None, has_hi = args[1] && args[1] != Py_None;
    if (has_lo && !key_arg(args[0], &lo)) return nullptr;
    if (has_hi && !key_arg(args[1], &hi)) return nullptr;
    std::vector<size_t> begin(store.shard_count()), end(store.shard_count());
    for (size_t i = 0; i < store.shard_count(); ++i) {
      const KeyView& v = store.views[i];
      begin[i] = has_lo ? v.lower_bound(store.shards[i], lo.bytes()) : 0;
      end[i] = has_hi ? v.lower_bound(store.shards[i], hi.bytes()) : v.size();
      if (begin[i] == KeyView::kDamaged || end[i] == KeyView::kDamaged) return raise_seek_damage(store.shards[i]);
      if (end[i] < begin[i]) end[i] = begin[i];  // stop before start: nothing
    }
    return new_view_iter(self, store, IterKind::kItems, std::move(begin), std::move(end));
  });
}

PyObject* iter_items(PyObject* self, void*, PyObject* const*) { return iterate(self, IterKind::kItems); }
PyObject* iter_values(PyObject* self, void*, PyObject* const*) { return iterate(self, IterKind::kValues); }

// The path of shard i as str.
PyObject* path_text(const ReaderCore& r) {
  const std::string& p = r.path();
  return py::key_text({reinterpret_cast<const uint8_t*>(p.data()), p.size()});
}

// What a failed verify() says about one file: the first record (in index
// order) whose payload cannot be read or fails its CRC-32, and how many
// distinct records do; the core's own error when every record is sound (the
// damage lies in the index, the header or bytes no key names).
CoreError record_damage(const ReaderCore& shard, const CoreError& whole) {
  const Bytes file = shard.file();
  OffsetSet seen(shard.entry_count()), bad(16);
  std::optional<CoreError> first;
  uint64_t failing = 0, records = 0;
  EntryRef e = shard.entry_count() ? shard.ref(0) : kNoEntry;
  for (size_t i = 0; i < shard.entry_count(); ++i, e = shard.next_ref(e)) {
    // In place, entries are reached through the lookup index: where that is
    // damaged, the core's error names the damage and no key can be blamed.
    if (e == kNoEntry) return whole;
    const uint64_t o = shard.record_offset_at(e);
    if (!seen.insert(o)) continue;
    ++records;
    auto sliced = format::read_object(file, o);
    std::optional<CoreError> fault;
    if (!sliced) {
      fault = CoreError::Corrupt(shard.path() + ": object of key " + key_repr(shard.key_at(e)) + ": " +
                                 sliced.error().detail());
    } else if (const uint32_t stored = format::load_be32(sliced->data() - 4); crc32(*sliced) != stored) {
      fault = damaged_record(shard, e, stored);
    }
    if (!fault) continue;
    ++failing;
    if (!first) first = std::move(fault);
  }
  if (!first) return whole;
  return CoreError::Corrupt(first->detail() + "; " + std::to_string(failing) + " of " + std::to_string(records) +
                            (records == 1 ? " record " : " records ") + (failing == 1 ? "fails" : "fail"));
}

PyObject* verify(PyObject*, void* core, PyObject* const*) {
  ReaderState& s = state(core);
  // Checksumming a large file takes a while: other threads run meanwhile,
  // and this reference keeps the mapping alive if one of them closes us.
  std::shared_ptr<const Store> store = s.slot.share();
  if (!store) return raise_closed(s);
  size_t failed = 0;
  std::vector<Result<void>> results;
  std::exception_ptr thrown;
  Py_BEGIN_ALLOW_THREADS
  try {
    for (failed = 0; failed < store->shard_count(); ++failed) {
      results.push_back(store->shards[failed].verify());
      if (!results.back()) {
        // Say which records are damaged, not only that the file is.
        results.back() = record_damage(store->shards[failed], results.back().error());
        break;
      }
    }
  } catch (...) {
    thrown = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (thrown) std::rethrow_exception(thrown);  // the frame's backstop turns it into MemoryError or a panic
  if (failed < store->shard_count()) {
    const CoreError& e = results.back().error();
    const std::string& path = store->shards[failed].path();
    if (store->shard_count() == 1 || e.detail().rfind(path + ": ", 0) == 0) return raise_store_error(e);
    // Several files: say which one.
    return raise_store_error(CoreError::Corrupt(path + ": " + e.detail()));
  }
  Py_RETURN_TRUE;
}

// For each shard, the entries that do not belong in it: keys of other
// shards and repeated keys (KeyView::misplaced), a walk over its keys.
PyObject* misplaced_keys(PyObject*, void* core, PyObject* const*) {
  ReaderState& s = state(core);
  std::shared_ptr<const Store> store = s.slot.share();
  if (!store) return raise_closed(s);
  const uint32_t n = uint32_t(store->shard_count());
  std::vector<size_t> counts(n);
  Py_BEGIN_ALLOW_THREADS  // allocates nothing, so nothing can throw
  for (uint32_t i = 0; i < n; ++i) counts[i] = store->views[i].misplaced(store->shards[i], i, n);
  Py_END_ALLOW_THREADS
  Ref list = Ref::steal(PyList_New(Py_ssize_t(n)));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < n; ++i) {
    PyObject* v = PyLong_FromSize_t(counts[i]);
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), v);
  }
  return list.release();
}

// Sets d[name] = value, stealing `value`.
bool set_item(PyObject* d, const char* name, PyObject* value) {
  Ref v = Ref::steal(value);
  return v && PyDict_SetItemString(d, name, v.get()) == 0;
}

PyObject* shard_stats(PyObject*, void* core, PyObject* const*) {
  return with_store(state(core), [&](const Store& store) -> PyObject* {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(store.shard_count())));
    if (!list) return nullptr;
    for (size_t i = 0; i < store.shard_count(); ++i) {
      const ReaderCore& r = store.shards[i];
      const FileHeader& h = r.header();
      const std::string crc = format::hex32(h.file_crc32);
      Ref d = Ref::steal(PyDict_New());
      if (!d || !set_item(d.get(), "path", path_text(r)) ||
          !set_item(d.get(), "version", PyLong_FromLong(format::kVersion)) ||
          !set_item(d.get(), "num_keys", PyLong_FromUnsignedLong(h.num_keys)) ||
          !set_item(d.get(), "num_objects", PyLong_FromUnsignedLongLong(r.user_objects())) ||
          !set_item(d.get(), "index_offset", PyLong_FromUnsignedLongLong(h.index_offset)) ||
          !set_item(d.get(), "data_offset", PyLong_FromLong(long(format::kHeaderSize))) ||
          !set_item(d.get(), "file_size_kb", PyFloat_FromDouble(double(h.file_size) / 1024.0)) ||
          !set_item(d.get(), "file_crc32", PyUnicode_FromStringAndSize(crc.data(), Py_ssize_t(crc.size()))) ||
          !set_item(d.get(), "listed_keys", PyLong_FromSize_t(store.views[i].size())) ||
          !set_item(d.get(), "lookup_index_bytes", PyLong_FromUnsignedLongLong(r.lookup_bytes()))) {
        return nullptr;
      }
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), d.release());
    }
    return list.release();
  });
}

PyObject* close(PyObject*, void* core, PyObject* const*) {
  state(core).slot.close();
  Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, void* core, PyObject* const*) {
  if (state(core).slot.closed()) return raise_closed(state(core));
  return Py_NewRef(self);
}

PyObject* exit(PyObject*, void* core, PyObject* const*) {
  state(core).slot.close();
  Py_RETURN_FALSE;
}

constexpr py::Signature kGetSig{"Reader.get()", {"key", "default"}, 2, 1};
constexpr py::Signature kRawSig{"Reader.raw()", {"key"}, 1, 1};
constexpr py::Signature kGetManySig{"Reader.get_many()", {"keys", "default"}, 2, 1};
constexpr py::Signature kRawManySig{"Reader.raw_many()", {"keys"}, 1, 1};
constexpr py::Signature kPrefixSig{"Reader.prefix()", {"prefix"}, 1, 1};
constexpr py::Signature kPrefixKeysSig{"Reader.prefix_keys()", {"prefix"}, 1, 1};
constexpr py::Signature kRangeSig{"Reader.range()", {"start", "stop"}, 2, 0};
constexpr py::Signature kExitSig{"Reader.__exit__()", {"exc_type", "exc_val", "exc_tb"}, 3, 3};

constexpr py::BorrowKind kShared = py::BorrowKind::kShared;

// get() and raw() are lookups as hot as r[key]: a call with positional
// arguments only goes straight to the implementation (the method descriptor
// has already checked self's type); any other call takes the frame, which
// binds keywords and words every argument error.
constexpr py::MethodSpec kGetSpec{
    "get", "get($self, key, default=None)\n--\n\nThe object under *key*, or *default* when the key is absent.",
    &kGetSig, kShared, get};
constexpr py::MethodSpec kRawSpec{
    "raw", "raw($self, key)\n--\n\nThe msgpack bytes stored under *key*, undecoded (KeyError when absent).",
    &kRawSig, kShared, raw};

constexpr py::ClassInfo kClass{"Reader", reader_type, py::counter_of<ReaderState>, py::core_of<ReaderState>,
                               py::Calls::kParallel};

PyObject* fast_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames || nargs < 1 || nargs > 2) [[unlikely]] {
    return py::run_method(kClass, kGetSpec, self, args, nargs, kwnames);
  }
  PyObject* bound[2] = {args[0], nargs == 2 ? args[1] : nullptr};
  return py::guarded([&] { return get(self, &state_of(self), bound); });
}

PyObject* fast_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames || nargs != 1) [[unlikely]] return py::run_method(kClass, kRawSpec, self, args, nargs, kwnames);
  return py::guarded([&] { return raw(self, &state_of(self), args); });
}

constexpr py::MethodSpec kMethods[] = {
    {"get_many",
     "get_many($self, keys, default=None)\n--\n\nThe object under each of *keys* (any iterable), *default* for an "
     "absent one, as a list.",
     &kGetManySig, kShared, get_many},
    {"raw_many",
     "raw_many($self, keys)\n--\n\nThe msgpack bytes under each of *keys* (any iterable), None for an absent one, "
     "as a list.",
     &kRawManySig, kShared, raw_many},
    {"prefix",
     "prefix($self, prefix)\n--\n\nThe (key, object) pairs whose key starts with *prefix* (str or bytes), in "
     "sorted key order.",
     &kPrefixSig, kShared, prefix},
    {"prefix_keys",
     "prefix_keys($self, prefix)\n--\n\nThe keys that start with *prefix* (str or bytes), in sorted order, "
     "without reading any object.",
     &kPrefixKeysSig, kShared, prefix_keys},
    {"range",
     "range($self, start=None, stop=None)\n--\n\nAn iterator of (key, object) pairs in sorted key order, from "
     "*start* (included) to *stop* (excluded); None: from the first, or to the last.",
     &kRangeSig, kShared, range},
    {"_iter_items", "_iter_items($self)\n--\n\nA lazy iterator of (key, object) pairs in sorted key order.", nullptr,
     kShared, iter_items},
    {"_iter_values", "_iter_values($self)\n--\n\nA lazy iterator of the objects in sorted key order.", nullptr,
     kShared, iter_values},
    {"verify",
     "verify($self)\n--\n\nChecks the CRC-32 of each whole file and of every object a key refers to. Returns "
     "True, or raises TarnCorruptError naming the first fault.",
     nullptr, kShared, verify},
    {"misplaced_keys",
     "misplaced_keys($self)\n--\n\nFor each file, the number of its keys that route to another shard or repeat "
     "(a walk over every key).",
     nullptr, kShared, misplaced_keys},
    {"shard_stats", "shard_stats($self)\n--\n\nThe header's figures of each file, as a list of dicts.", nullptr,
     kShared, shard_stats},
    {"close", "close($self)\n--\n\nReleases the files (once no call still uses them). Again: nothing happens.",
     nullptr, kShared, close},
    {"__enter__", "__enter__($self)\n--\n\n", nullptr, kShared, enter},
    {"__exit__", "__exit__($self, exc_type, exc_val, exc_tb)\n--\n\n", &kExitSig, kShared, exit},
};

using Defs = py::MethodDefs<kClass, kMethods, std::size(kMethods)>;

// The fast two, then the table's (whose array ends with the terminator).
std::array<PyMethodDef, std::size(kMethods) + 3> all_methods() {
  std::array<PyMethodDef, std::size(kMethods) + 3> out{};
  out[0] = {kGetSpec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_get)),
            METH_FASTCALL | METH_KEYWORDS, kGetSpec.doc};
  out[1] = {kRawSpec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_raw)),
            METH_FASTCALL | METH_KEYWORDS, kRawSpec.doc};
  for (size_t i = 0; i < Defs::defs.size(); ++i) out[i + 2] = Defs::defs[i];
  return out;
}
std::array<PyMethodDef, std::size(kMethods) + 3> g_methods = all_methods();

// ---------------------------------------------------------------- attributes

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(state_of(self).slot.closed()); }

PyObject* get_path(PyObject* self, void*) {
  PyObject* p = state_of(self).path.get();
  if (PyTuple_Check(p)) return PySequence_List(p);  // a fresh list: the reader's own stays unchanged
  return Py_NewRef(p);
}

PyObject* get_verify(PyObject* self, void*) { return PyBool_FromLong(state_of(self).verify); }

PyObject* get_check_reads(PyObject* self, void*) { return PyBool_FromLong(state_of(self).check_reads); }

PyObject* get_decoder(PyObject* self, void*) {
  PyObject* d = state_of(self).decoder.get();
  return Py_NewRef(d ? d : Py_None);
}

PyGetSetDef kGetSet[] = {
    {"closed", get_closed, nullptr, "True once close() was called.", nullptr},
    {"path", get_path, nullptr, "The path (a str) or shard paths (a list) the reader was opened on.", nullptr},
    {"verify_on_open", get_verify, nullptr, "Whether opening checked each file's CRC-32.", nullptr},
    {"check_reads", get_check_reads, nullptr, "Whether each object's CRC-32 is checked as it is read.", nullptr},
    {"decoder", get_decoder, nullptr, "The decoder given to the constructor, or None (the native one).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- construction

// The open error of `path`, naming the file when the core's text does not.
CoreError open_error(const CoreError& e, const std::string& path) {
  if (e.kind() == ErrorKind::kIO) {
    // The low-level module says "mmap failed" for a directory, as it must;
    // the package says what the path is.
    struct stat st;
    if (e.detail().rfind("mmap failed: ", 0) == 0 && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return CoreError::IOWithErrno("cannot open " + path + ": is a directory", EISDIR);
    }
    return e;
  }
  if (e.kind() != ErrorKind::kCorrupt) return e;
  const std::string detail = e.detail();
  if (detail.rfind("bad magic", 0) == 0 || detail.rfind("file too small for header", 0) == 0) {
    return CoreError::Corrupt(path + ": not a tarndb store (" + detail + ")");
  }
  return CoreError::Corrupt(path + ": " + detail);
}

// The shard paths of the constructor's `path`: one str, or a non-empty list
// or tuple of str. False with TypeError/ValueError set otherwise.
bool shard_paths(PyObject* arg, std::vector<std::string>* out, Ref* kept) {
  if (PyUnicode_Check(arg)) {
    out->emplace_back();
    if (!py::convert_path(arg, "path", &out->back())) return false;
    *kept = Ref::borrow(arg);
    return true;
  }
  if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "argument 'path': expected a str or a list of str, not '%s'",
                 Py_TYPE(arg)->tp_name);
    return false;
  }
  Ref tuple = Ref::steal(PySequence_Tuple(arg));
  if (!tuple) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
  if (n == 0 || n > Py_ssize_t(0xFFFFFFFFu)) {
    PyErr_SetString(PyExc_ValueError, "argument 'path': a list of shard paths must not be empty");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out->emplace_back();
    if (!py::convert_path(PyTuple_GET_ITEM(tuple.get(), i), "path", &out->back())) return false;
  }
  *kept = std::move(tuple);
  return true;
}

// Opens every shard and settles its key view, without the interpreter lock.
// With a directory descriptor (not -1), the paths are names under it, opened
// without following links (ReaderCore::open_at), and shown as `root`/name.
// A file that carries a sound lookup index is read in place: nothing is
// decoded into this process's memory.
Result<std::shared_ptr<const Store>> open_store(const std::vector<std::string>& paths, bool verify, int dir_fd,
                                                const std::string& root) {
  auto store = std::make_shared<Store>();
  store->shards.reserve(paths.size());
  for (const std::string& p : paths) {
    auto opened = dir_fd >= 0 ? ReaderCore::open_at(dir_fd, p, verify, root.empty() ? p : root + "/" + p)
                              : ReaderCore::open_in_place(p, verify);
    if (!opened) return open_error(opened.error(), p);
    store->shards.push_back(std::move(*opened));
  }
  const uint32_t n = uint32_t(paths.size());
  for (uint32_t i = 0; i < n; ++i) {
    // Without verify the open stays constant-time: a shard read in place
    // has its keys' routing checked by verify() (misplaced_keys()).
    store->views.push_back(KeyView::build(store->shards[i], i, n, verify));
    store->length += store->views.back().size();
  }
  return std::shared_ptr<const Store>(std::move(store));
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"path", "verify", "decoder", "check_reads", "dir_fd", "root", nullptr};
  PyObject *path_arg = nullptr, *verify_arg = nullptr, *decoder_arg = Py_None, *check_arg = nullptr,
           *dir_arg = Py_None, *root_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOO:Reader", const_cast<char**>(kNames), &path_arg,
                                   &verify_arg, &decoder_arg, &check_arg, &dir_arg, &root_arg)) {
    return nullptr;
  }
  int dir_fd = -1;
  if (dir_arg != Py_None) {
    const long v = PyLong_AsLong(dir_arg);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (v < 0 || v > INT_MAX) {
      PyErr_SetString(PyExc_ValueError, "argument 'dir_fd': expected a file descriptor");
      return nullptr;
    }
    dir_fd = int(v);
  }
  std::string root;
  if (root_arg != Py_None && !py::convert_path(root_arg, "root", &root)) return nullptr;
  std::vector<std::string> paths;
  Ref kept_path;
  if (!shard_paths(path_arg, &paths, &kept_path)) return nullptr;
  bool verify = true;
  if (verify_arg && !py::convert_verify(verify_arg, "verify", &verify)) return nullptr;
  bool check_reads = true;
  if (check_arg && !py::convert_verify(check_arg, "check_reads", &check_reads)) return nullptr;
  Ref decoder, kwnames;
  bool msgpack_decoder = false;
  if (decoder_arg != Py_None) {
    if (!PyCallable_Check(decoder_arg)) {
      PyErr_Format(PyExc_TypeError, "argument 'decoder': expected a callable or None, not '%s'",
                   Py_TYPE(decoder_arg)->tp_name);
      return nullptr;
    }
    decoder = Ref::borrow(decoder_arg);
    if (Ref msgpack = Ref::steal(PyImport_ImportModule("msgpack"))) {
      Ref unpackb = Ref::steal(PyObject_GetAttrString(msgpack.get(), "unpackb"));
      msgpack_decoder = unpackb.get() == decoder_arg;
    }
    PyErr_Clear();  // without msgpack, no decoder is msgpack's
    if (msgpack_decoder) {
      kwnames = Ref::steal(Py_BuildValue("(s)", "strict_map_key"));
      if (!kwnames) return nullptr;
    }
  }

  Result<std::shared_ptr<const Store>> opened = CoreError::Usage({});
  std::exception_ptr thrown;
  Py_BEGIN_ALLOW_THREADS  // opening reads the whole index: let other threads run
  try {
    opened = open_store(paths, verify, dir_fd, root);
  } catch (...) {
    thrown = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (thrown) std::rethrow_exception(thrown);
  if (!opened) return raise_store_error(opened.error());

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* inst = reinterpret_cast<ReaderObject*>(self);
  new (&inst->core) ReaderState{StoreSlot(std::move(*opened)), std::move(kept_path), std::move(decoder),
                                msgpack_decoder, std::move(kwnames), verify, check_reads};
  new (&inst->borrow) py::BorrowCounter(0);
  return self;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] { return construct(type, args, kwargs); });
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(state_of(self).decoder.get());
  return 0;
}

int tp_clear(PyObject* self) {
  // Only the decoder can lead back to the reader; a cleared reader is
  // garbage about to be freed, so it is closed as well.
  ReaderState& s = state_of(self);
  s.slot.close();
  Ref gone = std::move(s.decoder);
  return 0;
}

void tp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* inst = reinterpret_cast<ReaderObject*>(self);
  inst->core.~ReaderState();
  using Counter = py::BorrowCounter;
  inst->borrow.~Counter();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* tp_repr(PyObject* self) {
  ReaderState& s = state_of(self);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (!name) return nullptr;
  Pin pin(s.slot);
  if (!pin.get()) return PyUnicode_FromFormat("%U(%R, closed)", name.get(), s.path.get());
  unsigned long long keys = 0, objects = 0;
  for (const ReaderCore& r : pin.get()->shards) {
    keys += r.header().num_keys;
    objects += r.user_objects();
  }
  return PyUnicode_FromFormat("%U(%R, keys=%llu, objects=%llu)", name.get(), s.path.get(), keys, objects);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(tp_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {Py_tp_methods, g_methods.data()},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>("Reader(path, verify=True, *, decoder=None, check_reads=True, dir_fd=None, root=None)\n--\n\n"
                       "The native reader under tarndb.TarnReader: one store file (path a str) or the shard\n"
                       "files of a sharded store (a list of str, in shard order).")},
    {0, nullptr},
};

PyType_Spec kSpec{"tarndb._fast.Reader", int(sizeof(ReaderObject)), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

int add_reader_types(PyObject* module) {
  if (!g_reader_type) {
    g_reader_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!g_reader_type) return -1;  // kept for the life of the process
  }
  if (PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(g_reader_type)) < 0) return -1;
  return add_iter_type(module);
}

}  // namespace tarn::fast
