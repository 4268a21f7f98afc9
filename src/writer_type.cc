// _TarnWriter: the binding of WriterCore.
#include <Python.h>

#include "classes.h"
#include "convert.h"
#include "core/writer.h"
#include "errors.h"
#include "frame.h"

namespace tarn::py {
namespace {

using Writer = Instance<WriterCore>;

WriterCore& core(void* p) { return *static_cast<WriterCore*>(p); }

PyObject* add_object_raw(PyObject*, void* self, PyObject* const* args) {
  std::span<const uint8_t> raw;
  if (!convert_raw_bytes(args[0], "raw_bytes", &raw)) return nullptr;
  auto id = core(self).add_object(raw);
  if (!id) return raise_core_error(id.error());
  return PyLong_FromUnsignedLongLong(*id);
}

PyObject* add_key(PyObject*, void* self, PyObject* const* args) {
  uint64_t obj_id;
  if (!convert_obj_id(args[1], "obj_id", &obj_id)) return nullptr;
  KeyArg key;
  if (!extract_key(args[0], &key)) return nullptr;
  if (auto r = core(self).add_key(key.bytes(), obj_id); !r) return raise_core_error(r.error());
  Py_RETURN_NONE;
}

PyObject* build(PyObject*, void* self, PyObject* const* args) {
  std::string path;
  if (!convert_path(args[0], "path", &path)) return nullptr;
  auto report = core(self).build(path);
  if (!report) return raise_core_error(report.error());
  if (auto failure = print_summary(path, *report)) return raise_panic(*failure);
  Py_RETURN_NONE;
}

constexpr Signature kAddObjectSig{"_TarnWriter.add_object_raw()", {"raw_bytes"}, 1, 1};
constexpr Signature kAddKeySig{"_TarnWriter.add_key()", {"key", "obj_id"}, 2, 2};
constexpr Signature kBuildSig{"_TarnWriter.build()", {"path"}, 1, 1};
constexpr Signature kNewSig{"_TarnWriter.__new__()", {}, 0, 0};

constexpr MethodSpec kMethods[] = {
    {"add_object_raw",
     "add_object_raw($self, raw_bytes)\n--\n\nStore pre-encoded *raw_bytes* (msgpack). Returns the object ID.",
     &kAddObjectSig, BorrowKind::kExclusive, add_object_raw},
    {"add_key", "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*.", &kAddKeySig,
     BorrowKind::kExclusive, add_key},
    {"build", "build($self, path)\n--\n\nAtomically write the `.tndb` file: tmp \u2192 fsync \u2192 rename.",
     &kBuildSig, BorrowKind::kShared, build},
};

constexpr ClassInfo kClass{"_TarnWriter", writer_type, counter_of<WriterCore>, core_of<WriterCore>, Calls::kOneAtATime};

PyObject* construct(PyTypeObject* type, PyObject* const*) {
  WriterCore fresh;
  return new_instance(type, std::move(fresh));
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_ctor(kNewSig, construct, type, args, kwargs);
}

PyObject* repr_impl(void* self) {
  const WriterCore& w = core(self);
  return PyUnicode_FromFormat("_TarnWriter(objects=%llu, keys=%llu)", (unsigned long long)w.object_count(),
                              (unsigned long long)w.key_count());
}

PyObject* tp_repr(PyObject* self) { return run_repr(kClass, repr_impl, self); }

using Defs = MethodDefs<kClass, kMethods, std::size(kMethods)>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<WriterCore>)},
    {Py_tp_doc, const_cast<char*>("_TarnWriter()\n--\n\nLow-level writer \u2014 accepts pre-serialised msgpack bytes "
                                  "per object.\n**Use `tarndb.TarnWriter` (Python wrapper) instead of this "
                                  "directly.**")},
    {Py_tp_methods, Defs::defs.data()},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins._TarnWriter", int(sizeof(Writer)), 0, Py_TPFLAGS_DEFAULT, kSlots};

OnceType g_type(&kSpec);

}  // namespace

PyTypeObject* writer_type() { return g_type.get(); }

}  // namespace tarn::py
