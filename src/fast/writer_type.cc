// tarndb._fast.Writer: the package's writer, with a quiet, cancellable build.
//
// It stages exactly as the low-level writer does (the same WriterCore), but
// its build prints nothing and returns a report, holds the writer's
// exclusive borrow from start to end (an overlapping add_* from another
// thread is refused, "Already borrowed"), and releases the interpreter lock
// while it writes: see quiet_build.h.
#include <Python.h>

#include <string>

#include "classes.h"
#include "convert.h"
#include "core/writer.h"
#include "fast/fast.h"
#include "fast/quiet_build.h"
#include "frame.h"

namespace tarn::fast {
namespace {

using py::BorrowKind;
using py::MethodSpec;
using py::Signature;

struct WriterState {
  WriterCore core;
  BuildRecord record;
};

WriterState& state(void* p) { return *static_cast<WriterState*>(p); }

class WriterBuild final : public QuietBuild {
 public:
  explicit WriterBuild(const WriterCore& core) : core_(core) {}
  Result<BuildReport> run(const std::string& path, BuildObserver* observer) override {
    const SinkOptions options{SinkOptions::Leftover::kRemove, true};
    return core_.build(path, options, observer);
  }

 private:
  const WriterCore& core_;
};

PyObject* add_object_raw(PyObject*, void* self, PyObject* const* args) {
  std::span<const uint8_t> raw;
  if (!py::convert_raw_bytes(args[0], "raw_bytes", &raw)) return nullptr;
  auto id = state(self).core.add_object(raw);
  if (!id) return raise_store_error(id.error());
  return PyLong_FromUnsignedLongLong(*id);
}

PyObject* add_key(PyObject*, void* self, PyObject* const* args) {
  uint64_t obj_id;
  if (!py::convert_obj_id(args[1], "obj_id", &obj_id)) return nullptr;
  py::KeyArg key;
  if (!key_arg(args[0], &key)) return nullptr;
  if (auto r = state(self).core.add_key(key.bytes(), obj_id); !r) return raise_store_error(r.error());
  Py_RETURN_NONE;
}

PyObject* build(PyObject*, void* self, PyObject* const* args) {
  WriterBuild build(state(self).core);
  return run_quiet_build(build, args[0], args[1], state(self).record);
}

PyObject* last_report(PyObject*, void* self, PyObject* const*) { return report_tuple(state(self).record); }

constexpr Signature kAddObjectSig{"Writer.add_object_raw()", {"raw_bytes"}, 1, 1};
constexpr Signature kAddKeySig{"Writer.add_key()", {"key", "obj_id"}, 2, 2};
constexpr Signature kBuildSig{"Writer.build()", {"path", "progress"}, 2, 1};
constexpr Signature kNewSig{"Writer.__new__()", {}, 0, 0};

constexpr MethodSpec kMethods[] = {
    {"add_object_raw",
     "add_object_raw($self, raw_bytes)\n--\n\nStage pre-encoded *raw_bytes* (msgpack). Returns the object ID.",
     &kAddObjectSig, BorrowKind::kExclusive, add_object_raw},
    {"add_key", "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*.", &kAddKeySig,
     BorrowKind::kExclusive, add_key},
    {"build",
     "build($self, path, progress=None)\n--\n\nWrite the store to *path* atomically, printing nothing.\n\n"
     "*progress*, if given, is called as progress(written, total) (bytes) at most every 50 ms. An exception "
     "raised meanwhile (KeyboardInterrupt included) cancels the build before the rename and is raised. "
     "Returns (build number, path, objects, keys, file size in bytes, seconds, lookup index bytes).",
     &kBuildSig, BorrowKind::kExclusive, build},
    {"last_report",
     "last_report($self)\n--\n\nThe report of this writer's latest successful build, or None.",
     nullptr, BorrowKind::kShared, last_report},
};

PyTypeObject* writer_class();

constexpr py::ClassInfo kClass{"Writer", writer_class, py::counter_of<WriterState>, py::core_of<WriterState>,
                               py::Calls::kOneAtATime};

PyObject* construct(PyTypeObject* type, PyObject* const*) {
  WriterState fresh;
  return py::new_instance(type, std::move(fresh));
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_ctor(kNewSig, construct, type, args, kwargs);
}

PyObject* repr_impl(void* self) {
  const WriterCore& w = state(self).core;
  return PyUnicode_FromFormat("Writer(objects=%llu, keys=%llu)", (unsigned long long)w.object_count(),
                              (unsigned long long)w.key_count());
}

PyObject* tp_repr(PyObject* self) { return py::run_repr(kClass, repr_impl, self); }

using Defs = py::MethodDefs<kClass, kMethods, std::size(kMethods)>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<WriterState>)},
    {Py_tp_doc, const_cast<char*>("Writer()\n--\n\nStages msgpack payloads and keys; builds quietly. "
                                  "Use `tarndb.TarnWriter` rather than this directly.")},
    {Py_tp_methods, Defs::defs.data()},
    {0, nullptr},
};

PyType_Spec kSpec{"tarndb._fast.Writer", int(sizeof(py::Instance<WriterState>)), 0, Py_TPFLAGS_DEFAULT, kSlots};

py::OnceType g_type(&kSpec);

PyTypeObject* writer_class() { return g_type.get(); }

}  // namespace

int add_merge_type(PyObject* module);

// The module's writing half: Writer, and Merge (merge_type.cc).
int add_writer_type(PyObject* module) {
  PyTypeObject* type = writer_class();
  if (!type) return -1;
  if (PyModule_AddType(module, type) < 0) return -1;
  return add_merge_type(module);
}

}  // namespace tarn::fast
