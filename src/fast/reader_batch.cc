// get_many / raw_many: batch lookups that overlap the memory accesses of
// consecutive keys.
//
// In a large store each lookup waits on main memory three or four times in
// a row (the hash slot, the entry's record, its key bytes and payload
// record), and a loop of single lookups waits for each in turn. Here keys
// are taken a group at a time and every stage is run over the whole group
// before the next: hash each key and request its slot; read the slots and
// request the entries they name; request those entries' key bytes and
// payload records; then resolve each key in order, by the ordinary probe,
// with the lines it needs already arriving. The results, errors included,
// are those of one call per key, in order: the first failure raises, and
// nothing is returned half-built.
#include <Python.h>

#include <utility>

#include "fast/fast.h"
#include "fast/reader.h"
#include "pending_exception.h"
#include "pyref.h"

namespace tarn::fast {

using py::KeyArg;
using py::Ref;

namespace {

constexpr size_t kGroup = 16;

// The keys argument, read without copying a list or tuple where the GIL
// keeps it whole.
class KeySource {
 public:
  bool open(PyObject* keys) {
#ifdef Py_GIL_DISABLED
    if (PyList_Check(keys)) {
      // Other threads may extend the list or delete from it while we read
      // it, and no lock can be held across the decoding: the batch reads a
      // snapshot of its items, taken under the list's own lock.
      seq_ = Ref::steal(PyList_AsTuple(keys));
      return bool(seq_);
    }
#endif
    if (PyList_Check(keys) || PyTuple_Check(keys)) {
      seq_ = Ref::borrow(keys);
      return true;
    }
    iter_ = Ref::steal(PyObject_GetIter(keys));
    return bool(iter_);
  }
  // The number of keys, when known in advance.
  Py_ssize_t hint() const { return seq_ ? Py_SIZE(seq_.get()) : 0; }
  // The next key as a new reference: 1, 0 at the end, -1 on error.
  int next(Ref* out) {
    if (seq_) {
      // A list is re-measured each time: a decoder may change it meanwhile
      // (on an interpreter with the GIL; without it the list is a snapshot).
      if (pos_ >= Py_SIZE(seq_.get())) return 0;
      PyObject* const* items = PyList_Check(seq_.get()) ? PySequence_Fast_ITEMS(seq_.get()) : &PyTuple_GET_ITEM(seq_.get(), 0);
      if (pos_ + Py_ssize_t(kGroup) < Py_SIZE(seq_.get())) __builtin_prefetch(items[pos_ + kGroup]);
      *out = Ref::borrow(items[pos_++]);
      return 1;
    }
    *out = Ref::steal(PyIter_Next(iter_.get()));
    if (*out) return 1;
    return PyErr_Occurred() ? -1 : 0;
  }

 private:
  Ref seq_, iter_;
  Py_ssize_t pos_ = 0;
};

// The result list: presized for a list or tuple, grown otherwise.
class Results {
 public:
  bool open(Py_ssize_t n) {
    list_ = Ref::steal(PyList_New(n));
    size_ = n;
    return bool(list_);
  }
  bool add(PyObject* item) {  // steals `item`
    if (!item) return false;
    if (used_ < size_) {
      PyList_SET_ITEM(list_.get(), used_++, item);
      return true;
    }
    Ref owned = Ref::steal(item);
    ++used_;
    ++size_;
    return PyList_Append(list_.get(), owned.get()) == 0;
  }
  PyObject* finish() {
    if (used_ < size_) {
      // The list of keys shrank under us: drop the slots never filled.
      for (Py_ssize_t i = used_; i < size_; ++i) PyList_SET_ITEM(list_.get(), i, Py_NewRef(Py_None));
      if (PyList_SetSlice(list_.get(), used_, size_, nullptr) < 0) return nullptr;
    }
    return list_.release();
  }

 private:
  Ref list_;
  Py_ssize_t size_ = 0, used_ = 0;
};

struct Pending {
  Ref obj;
  KeyArg key;
  const ReaderCore* shard;
  uint64_t hash;
  EntryRef guess;
};

}  // namespace

PyObject* lookup_many(PyObject* reader, const Store& store, PyObject* keys, PyObject* fallback, bool decode) {
  const ReaderState& s = state_of(reader);
  KeySource source;
  if (!source.open(keys)) return nullptr;
  Results out;
  if (!out.open(source.hint())) return nullptr;
  Pending group[kGroup];
  for (;;) {
    // Stage 1: take up to a group of keys, hash each and request its slot.
    size_t n = 0;
    Ref failure;  // a key that cannot be converted ends the batch after the keys before it
    bool failed = false, ended = false;
    while (n < kGroup) {
      Pending& p = group[n];
      const int rc = source.next(&p.obj);
      if (rc < 0) {
        failed = true;
        break;
      }
      if (rc == 0) {
        ended = true;
        break;
      }
      if (!key_arg(p.obj.get(), &p.key)) {
        failed = true;
        break;
      }
      p.shard = &store.shard_for(p.key.bytes());
      p.hash = p.shard->hash(p.key.bytes());
      p.shard->prefetch_slot(p.hash);
      ++n;
    }
    if (failed) {
      // Raised only if the keys before it resolve without an error of their own.
      failure = py::take_exception();
    }
    // Stage 2: read the slots, request the entries they name.
    for (size_t i = 0; i < n; ++i) {
      group[i].guess = group[i].shard->guess(group[i].hash);
      if (group[i].guess != kNoEntry) group[i].shard->prefetch_meta(group[i].guess);
    }
    // Stage 3: request those entries' key bytes and payload records.
    for (size_t i = 0; i < n; ++i) {
      if (group[i].guess != kNoEntry) group[i].shard->prefetch_key_and_record(group[i].guess);
    }
    // Stage 4: resolve in order.
    for (size_t i = 0; i < n; ++i) {
      Pending& p = group[i];
      const EntryRef entry = p.shard->find(p.key.bytes(), p.hash);
      PyObject* item;
      if (entry == kNoEntry) {
        item = Py_NewRef(decode ? fallback : Py_None);
      } else {
        if (decode) {
          auto payload = s.payload(*p.shard, entry);
          if (!payload) return raise_store_error(payload.error());
          item = s.decode(*payload, p.obj.get());
        } else {
          item = s.payload_bytes(*p.shard, entry);
        }
      }
      if (!out.add(item)) return nullptr;
    }
    if (failed) {
      py::restore_exception(std::move(failure));
      return nullptr;
    }
    if (ended) return out.finish();
  }
}

}  // namespace tarn::fast
