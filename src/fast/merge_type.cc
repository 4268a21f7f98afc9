// tarndb._fast.Merge: the binding of MergeCore. Sources are added in order
// (add_store opens a store, add_reader shares the stores of an open Reader,
// add_removals takes keys to leave out), then build writes the merged store,
// or one shard of it, with the quiet, cancellable build of quiet_build.h.
#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classes.h"
#include "convert.h"
#include "core/merge.h"
#include "core/reader.h"
#include "fast/fast.h"
#include "fast/quiet_build.h"
#include "fast/reader.h"
#include "frame.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

using py::BorrowKind;
using py::MethodSpec;
using py::Ref;
using py::Signature;

struct MergeState {
  MergeCore core;
  BuildRecord record;
};

MergeState& state(void* p) { return *static_cast<MergeState*>(p); }

class MergeBuild final : public QuietBuild {
 public:
  MergeBuild(const MergeCore& core, ShardPart only) : core_(core), only_(only) {}
  Result<BuildReport> run(const std::string& path, BuildObserver* observer) override {
    return core_.build(path, true, observer, only_);
  }

 private:
  const MergeCore& core_;
  ShardPart only_;
};

PyObject* add_store(PyObject*, void* self, PyObject* const* args) {
  std::string path;
  if (!py::convert_path(args[0], "path", &path)) return nullptr;
  std::optional<Result<ReaderCore>> opened;
  Py_BEGIN_ALLOW_THREADS
  opened.emplace(ReaderCore::open(path, true));
  Py_END_ALLOW_THREADS
  if (!*opened) return raise_store_error(opened->error());
  state(self).core.add_store(std::move(**opened));
  Py_RETURN_NONE;
}

PyObject* add_reader(PyObject*, void* self, PyObject* const* args) {
  if (!PyObject_TypeCheck(args[0], reader_type())) {
    PyErr_Format(PyExc_TypeError, "argument 'reader': expected a tarndb._fast.Reader, not '%s'",
                 Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  const ReaderState& rs = state_of(args[0]);
  // Shared ownership of the reader's own store: the merge reads the files
  // that reader opened, even once it is closed or its paths name others.
  std::shared_ptr<const Store> store = rs.slot.share();
  if (!store) return raise_closed(rs);
  const uint32_t n = uint32_t(store->shard_count());
  if (!rs.verify) {
    // Opened unchecked: the whole-file CRC-32 vouches for the keys copied.
    std::optional<Result<void>> failed;
    std::exception_ptr thrown;
    Py_BEGIN_ALLOW_THREADS
    try {
      for (uint32_t i = 0; i < n && !failed; ++i) {
        if (auto r = MergeCore::check_file(store->shards[i]); !r) failed.emplace(std::move(r));
      }
    } catch (...) {
      thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (thrown) std::rethrow_exception(thrown);  // the frame's backstop turns it into MemoryError or a panic
    if (failed) return raise_store_error(failed->error());
  }
  for (uint32_t i = 0; i < n; ++i) {
    std::shared_ptr<const ReaderCore> shard(store, &store->shards[i]);
    state(self).core.add_store(std::move(shard), ShardPart{i, n});
  }
  Py_RETURN_NONE;
}

PyObject* add_removals(PyObject*, void* self, PyObject* const* args) {
  Ref iter = Ref::steal(PyObject_GetIter(args[0]));
  if (!iter) return nullptr;
  std::vector<std::string> keys;
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    py::KeyArg key;
    if (!key_arg(item.get(), &key)) return nullptr;
    keys.emplace_back(reinterpret_cast<const char*>(key.bytes().data()), key.bytes().size());
  }
  state(self).core.add_removals(std::move(keys));
  Py_RETURN_NONE;
}

PyObject* build(PyObject*, void* self, PyObject* const* args) {
  ShardPart only;
  if (args[2] && args[2] != Py_None) {
    unsigned long shard = 0, shards = 0;
    if (!PyTuple_Check(args[2]) || !PyArg_ParseTuple(args[2], "kk", &shard, &shards)) {
      if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Merge.build(): part must be a tuple (shard, shards) of two ints");
      }
      return nullptr;
    }
    if (shards < 1 || shards > UINT32_MAX || shard >= shards) {
      PyErr_Format(PyExc_ValueError, "Merge.build(): shard %lu of %lu is out of range", shard, shards);
      return nullptr;
    }
    only = {uint32_t(shard), uint32_t(shards)};
  }
  MergeBuild build(state(self).core, only);
  return run_quiet_build(build, args[0], args[1], state(self).record);
}

PyObject* last_report(PyObject*, void* self, PyObject* const*) { return report_tuple(state(self).record); }

constexpr Signature kAddStoreSig{"Merge.add_store()", {"path"}, 1, 1};
constexpr Signature kAddReaderSig{"Merge.add_reader()", {"reader"}, 1, 1};
constexpr Signature kAddRemovalsSig{"Merge.add_removals()", {"keys"}, 1, 1};
constexpr Signature kBuildSig{"Merge.build()", {"path", "progress", "part"}, 3, 1};
constexpr Signature kNewSig{"Merge.__new__()", {}, 0, 0};

constexpr MethodSpec kMethods[] = {
    {"add_store",
     "add_store($self, path)\n--\n\nOpen the store at *path* (its whole-file CRC-32 checked) as the next source.",
     &kAddStoreSig, BorrowKind::kExclusive, add_store},
    {"add_reader",
     "add_reader($self, reader)\n--\n\nAdd the store of the open *reader* (each of its shards) as the next source, "
     "read from that reader's own mappings.",
     &kAddReaderSig, BorrowKind::kExclusive, add_reader},
    {"add_removals",
     "add_removals($self, keys)\n--\n\nAdd the keys (str or bytes) of *keys*, removed from the earlier sources, "
     "as the next source.",
     &kAddRemovalsSig, BorrowKind::kExclusive, add_removals},
    {"build",
     "build($self, path, progress=None, part=None)\n--\n\nWrite the merged store to *path* atomically, "
     "printing nothing; for each key the last source naming it wins. With *part* = (shard, shards), only the "
     "keys that route to that shard of a store of that many shards. *progress* and cancellation as for Writer.build. Returns "
     "(build number, path, objects, keys, file size in bytes, seconds, lookup index bytes).",
     &kBuildSig, BorrowKind::kExclusive, build},
    {"last_report", "last_report($self)\n--\n\nThe report of this merge's latest successful build, or None.",
     nullptr, BorrowKind::kShared, last_report},
};

PyTypeObject* merge_class();

constexpr py::ClassInfo kClass{"Merge", merge_class, py::counter_of<MergeState>, py::core_of<MergeState>,
                               py::Calls::kOneAtATime};

PyObject* construct(PyTypeObject* type, PyObject* const*) {
  MergeState fresh;
  return py::new_instance(type, std::move(fresh));
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_ctor(kNewSig, construct, type, args, kwargs);
}

PyObject* repr_impl(void* self) {
  return PyUnicode_FromFormat("Merge(sources=%zu)", state(self).core.source_count());
}

PyObject* tp_repr(PyObject* self) { return py::run_repr(kClass, repr_impl, self); }

using Defs = py::MethodDefs<kClass, kMethods, std::size(kMethods)>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<MergeState>)},
    {Py_tp_doc, const_cast<char*>("Merge()\n--\n\nA streaming merge of stores. Use `tarndb.merge` rather than "
                                  "this directly.")},
    {Py_tp_methods, Defs::defs.data()},
    {0, nullptr},
};

PyType_Spec kSpec{"tarndb._fast.Merge", int(sizeof(py::Instance<MergeState>)), 0, Py_TPFLAGS_DEFAULT, kSlots};

py::OnceType g_type(&kSpec);

PyTypeObject* merge_class() { return g_type.get(); }

}  // namespace

int add_merge_type(PyObject* module) {
  PyTypeObject* type = merge_class();
  if (!type) return -1;
  return PyModule_AddType(module, type);
}

}  // namespace tarn::fast
