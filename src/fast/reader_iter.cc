// The lazy iterators of tarndb._fast.Reader, and the same walk collected
// into a list (prefix, prefix_keys).
//
// A walk is one cursor per shard over a range of that shard's KeyView,
// merged in key order: the shards list disjoint keys, so the next item is
// the least of the cursors' current keys (one cursor: no comparison). An
// iterator holds positions only, never strings: memory stays flat however
// far it runs. Each step pins the reader's store, so a reader closed
// meanwhile ends the iteration with the closed error. One iterator may be
// shared by threads: see IterObject.
#include <Python.h>

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "convert.h"
#include "critical_section.h"
#include "core/format.h"
#include "fast/fast.h"
#include "fast/reader.h"
#include "frame.h"
#include "pyref.h"

namespace tarn::fast {

using py::Ref;

namespace {

// Records of consecutive keys lie apart in the file: each is requested this
// many items ahead of its turn, so that the cache misses overlap.
constexpr size_t kAhead = 8;

// The entry at one rank of a shard, and the step to the next: in place, an
// entry is found from the one before it, not by a walk from its fence.
struct Cursor {
  size_t rank = ~size_t(0);
  EntryRef ref = kNoEntry;

  EntryRef at(const ReaderCore& r, const KeyView& v, size_t want) {
    if (rank == want) return ref;
    if (v.is_identity() && rank + 1 == want && ref != kNoEntry) {
      ref = r.next_ref(ref);
    } else {
      ref = r.ref(v.entry(want));
    }
    rank = want;
    return ref;
  }
};

class Walk {
 public:
  Walk(IterKind kind, std::vector<size_t> pos, std::vector<size_t> end)
      : kind_(kind), pos_(std::move(pos)), end_(std::move(end)), at_(pos_.size()), ahead_(pos_.size()) {}

  IterKind kind() const { return kind_; }

  size_t remaining() const {
    size_t n = 0;
    for (size_t i = 0; i < pos_.size(); ++i) n += end_[i] - pos_[i];
    return n;
  }

  // Moves past the next item, setting its shard and entry; false at the
  // end. Runs no Python code, so that a shared iterator can take its step
  // under its lock.
  bool step(const Store& store, size_t* shard, EntryRef* entry) {
    size_t best = pos_.size();
    if (pos_.size() == 1) {
      if (pos_[0] < end_[0]) best = 0;
    } else {
      Bytes best_key;
      for (size_t i = 0; i < pos_.size(); ++i) {
        if (pos_[i] >= end_[i]) continue;
        const Bytes k = store.shards[i].key_at(at_[i].at(store.shards[i], store.views[i], pos_[i]));
        if (best == pos_.size() || format::key_less(k, best_key)) {
          best = i;
          best_key = k;
        }
      }
    }
    if (best == pos_.size()) return false;
    const KeyView& v = store.views[best];
    const ReaderCore& r = store.shards[best];
    *shard = best;
    *entry = at_[best].at(r, v, pos_[best]++);
    if (kind_ != IterKind::kKeys && pos_[best] + kAhead < end_[best]) {
      const EntryRef ahead = ahead_[best].at(r, v, pos_[best] + kAhead);
      if (ahead != kNoEntry) r.prefetch_key_and_record(ahead);
    }
    return true;
  }

 private:
  IterKind kind_;
  std::vector<size_t> pos_, end_;
  std::vector<Cursor> at_, ahead_;  // per shard: the entry at pos_, and kAhead further
};

// The item of `entry` in `shard` as a new reference, or null with an error
// set.
PyObject* make_item(IterKind kind, const ReaderState& s, const Store& store, size_t shard, EntryRef entry) {
  const ReaderCore& r = store.shards[shard];
  // Only a damaged lookup index leads nowhere (the decoded index names every
  // rank): an error, not an empty key.
  if (entry == kNoEntry) [[unlikely]] return raise_store_error(r.lookup_damage());
  if (kind == IterKind::kKeys) return key_str(r.key_at(entry));
  auto payload = s.payload(r, entry);
  if (!payload) return raise_store_error(payload.error());
  if (kind == IterKind::kValues) {
    PyObject* obj = s.decode(*payload, nullptr);
    if (obj || !PyErr_Occurred()) return obj;
    // The error names the key: decode again with it (the failure path only).
    PyErr_Clear();
    Ref key = Ref::steal(key_str(r.key_at(entry)));
    return key ? s.decode(*payload, key.get()) : nullptr;
  }
  Ref key = Ref::steal(key_str(r.key_at(entry)));
  if (!key) return nullptr;
  Ref obj = Ref::steal(s.decode(*payload, key.get()));
  if (!obj) return nullptr;
  return py::new_pair(std::move(key), std::move(obj));
}

// An iterator may be shared by threads (several `for` loops over one
// iterator): its step, and the release of its reader at the end, are taken
// under the iterator's lock, so that each item goes to one caller and the
// reader is released once. The item is made after the lock is left, since
// a decoder may run Python code; the pin keeps the store mapped meanwhile.
struct IterObject {
  PyObject_HEAD
  PyObject* reader;  // owned; null once the walk has ended
  Walk walk;
};

PyTypeObject* g_iter_type = nullptr;  // created once by the execution step

PyObject* iter_next(PyObject* self) {
  return py::guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<IterObject*>(self);
    Ref reader;  // this step's own reference: another thread may end the walk meanwhile
    Ref ended;   // the iterator's reference, dropped at the end only after the pin
    std::optional<Pin> pin;
    size_t shard = 0;
    EntryRef entry = 0;
    {
      py::CriticalSection locked(self);
      if (!it->reader) return nullptr;  // exhausted before
      reader = Ref::borrow(it->reader);
      pin.emplace(state_of(reader.get()).slot);
      if (pin->get() && !it->walk.step(*pin->get(), &shard, &entry)) {
        // The end: the reader goes once the pin of its store is released
        // (this may be the reader's last reference).
        ended = Ref::steal(std::exchange(it->reader, nullptr));
      }
    }
    if (!pin->get()) return raise_closed(state_of(reader.get()));
    if (ended) return nullptr;
    return make_item(it->walk.kind(), state_of(reader.get()), *pin->get(), shard, entry);
  });
}

PyObject* iter_length_hint(PyObject* self, PyObject*) {
  auto* it = reinterpret_cast<IterObject*>(self);
  size_t n;
  {
    py::CriticalSection locked(self);
    n = it->reader ? it->walk.remaining() : 0;
  }
  return PyLong_FromSize_t(n);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<IterObject*>(self)->reader);
  return 0;
}

int iter_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<IterObject*>(self)->reader);
  return 0;
}

void iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* it = reinterpret_cast<IterObject*>(self);
  Py_CLEAR(it->reader);
  it->walk.~Walk();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kIterMethods[] = {
    {"__length_hint__", iter_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIterSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_methods, kIterMethods},
    {0, nullptr},
};

PyType_Spec kIterSpec{"tarndb._fast.ReaderIterator", int(sizeof(IterObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kIterSlots};

}  // namespace

PyObject* new_view_iter(PyObject* reader, const Store&, IterKind kind, std::vector<size_t> begin,
                        std::vector<size_t> end) {
  PyObject* self = PyType_GenericAlloc(g_iter_type, 0);
  if (!self) return nullptr;
  auto* it = reinterpret_cast<IterObject*>(self);
  it->reader = nullptr;
  new (&it->walk) Walk(kind, std::move(begin), std::move(end));
  it->reader = Py_NewRef(reader);
  return self;
}

PyObject* collect_list(PyObject* reader, const Store& store, IterKind kind, const std::vector<size_t>& begin,
                       const std::vector<size_t>& end) {
  Walk walk(kind, begin, end);
  const size_t n = walk.remaining();
  Ref list = Ref::steal(PyList_New(Py_ssize_t(n)));
  if (!list) return nullptr;
  const ReaderState& s = state_of(reader);
  if (kind != IterKind::kKeys) {
    // The first records at once; the walk requests the later ones ahead.
    for (size_t i = 0; i < store.shard_count(); ++i) {
      Cursor c;
      for (size_t p = begin[i]; p < end[i] && p < begin[i] + kAhead; ++p) {
        const EntryRef e = c.at(store.shards[i], store.views[i], p);
        if (e != kNoEntry) store.shards[i].prefetch_key_and_record(e);
      }
    }
  }
  for (size_t i = 0; i < n; ++i) {
    size_t shard = 0;
    EntryRef entry = 0;
    if (!walk.step(store, &shard, &entry)) throw std::logic_error("key walk ended before its count");
    PyObject* item = make_item(kind, s, store, shard, entry);
    if (!item) return nullptr;  // an error: nothing half-built is handed out
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

int add_iter_type(PyObject* module) {
  if (!g_iter_type) {
    g_iter_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kIterSpec, nullptr));
    if (!g_iter_type) return -1;  // kept for the life of the process
  }
  return PyModule_AddObjectRef(module, "ReaderIterator", reinterpret_cast<PyObject*>(g_iter_type));
}

}  // namespace tarn::fast
