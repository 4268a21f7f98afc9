// tarndb._fast.Writer: the package's writer, with a quiet, cancellable build.
//
// It stages exactly as the low-level writer does (the same WriterCore), but
// its build prints nothing and returns a report, holds the writer's
// exclusive borrow from start to end, and releases the interpreter lock for
// the whole core build, so other threads run while the file is written and an
// overlapping add_* from another thread is refused ("Already borrowed").
//
// While the lock is released, the build's observer takes it back at most
// every kCheckInterval (and once more just before the rename) to run the
// signal handlers and the caller's progress callable. A pending exception
// (a KeyboardInterrupt from Ctrl-C, or one raised by the callable) cancels
// the build: the core removes its temporary file, leaves the target as it
// was, and the exception is raised in place of the core's "build cancelled".
//
// Each successful build is counted, and its report (timed here) kept, before
// the call returns: a KeyboardInterrupt raised by the interpreter just after the
// return (the signal came after the rename) can then be told apart from one
// that cancelled the build, through last_report().
#include <Python.h>

#include <chrono>
#include <optional>
#include <string>

#include "classes.h"
#include "convert.h"
#include "core/writer.h"
#include "errors.h"
#include "fast/fast.h"
#include "frame.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

using py::BorrowKind;
using py::MethodSpec;
using py::Ref;
using py::Signature;

constexpr auto kCheckInterval = std::chrono::milliseconds(50);

struct WriterState {
  WriterCore core;
  uint64_t builds = 0;  // successful builds so far; then the latest one's
  std::string last_path;
  BuildReport last{};
  double last_seconds = 0;
};

WriterState& state(void* p) { return *static_cast<WriterState*>(p); }

// (build number, path, objects, keys, file size in bytes, seconds)
PyObject* report_tuple(const WriterState& s) {
  Ref path = Ref::steal(PyUnicode_DecodeUTF8(s.last_path.data(), Py_ssize_t(s.last_path.size()), nullptr));
  if (!path) return nullptr;
  return Py_BuildValue("(KOKKKd)", (unsigned long long)s.builds, path.get(), (unsigned long long)s.last.objects,
                       (unsigned long long)s.last.keys, (unsigned long long)s.last.file_size, s.last_seconds);
}

// Releases the interpreter lock for its lifetime; the observer may take it
// back in between. Restoring in the destructor keeps the lock held again
// whenever control leaves the build, by return or by a C++ exception.
class UnlockedInterpreter {
 public:
  UnlockedInterpreter() : saved_(PyEval_SaveThread()) {}
  ~UnlockedInterpreter() { PyEval_RestoreThread(saved_); }
  UnlockedInterpreter(const UnlockedInterpreter&) = delete;
  UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;

  // Runs `f` with the lock held and releases it again.
  template <class F>
  auto locked(F&& f) {
    struct Relock {
      PyThreadState*& saved;
      ~Relock() { saved = PyEval_SaveThread(); }
    };
    PyEval_RestoreThread(saved_);
    Relock relock{saved_};
    return f();
  }

 private:
  PyThreadState* saved_;
};

// Runs signal handlers and the progress callable from inside the build. A
// Python exception it leaves set cancels the build; the exception stays set
// in the thread state and is raised once the build has returned.
class CheckingObserver final : public BuildObserver {
 public:
  CheckingObserver(UnlockedInterpreter& gil, PyObject* progress)
      : gil_(gil), progress_(progress), last_check_(std::chrono::steady_clock::now()) {}

  bool on_progress(uint64_t written, uint64_t total) override {
    written_ = written;
    total_ = total;
    if (std::chrono::steady_clock::now() - last_check_ < kCheckInterval) return true;
    return check();
  }

  // Always checks: the last moment at which the build can still be called off.
  bool before_rename() override { return check(); }

 private:
  bool check() {
    const bool go_on = gil_.locked([&] {
      if (PyErr_CheckSignals() < 0) return false;
      if (!progress_ || written_ == reported_) return true;
      reported_ = written_;
      Ref r = Ref::steal(PyObject_CallFunction(progress_, "KK", (unsigned long long)written_,
                                               (unsigned long long)total_));
      return bool(r);
    });
    last_check_ = std::chrono::steady_clock::now();
    return go_on;
  }

  UnlockedInterpreter& gil_;
  PyObject* progress_;  // borrowed from the call's arguments; null: none
  std::chrono::steady_clock::time_point last_check_;
  uint64_t written_ = 0, total_ = 0;
  uint64_t reported_ = ~uint64_t(0);  // the `written` last passed to progress
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
  if (!py::extract_key(args[0], &key)) return nullptr;
  if (auto r = state(self).core.add_key(key.bytes(), obj_id); !r) return raise_store_error(r.error());
  Py_RETURN_NONE;
}

PyObject* build(PyObject*, void* self, PyObject* const* args) {
  std::string path;
  if (!py::convert_path(args[0], "path", &path)) return nullptr;
  PyObject* progress = args[1] == Py_None ? nullptr : args[1];
  if (progress && !PyCallable_Check(progress)) {
    return py::raise_arg_type_mismatch("progress", progress, "callable");
  }
  WriterState& s = state(self);
  std::optional<Result<BuildReport>> report;
  const auto started = std::chrono::steady_clock::now();
  {
    UnlockedInterpreter gil;
    CheckingObserver observer(gil, progress);
    report.emplace(s.core.build(path, &observer));
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (!*report) {
    if (PyErr_Occurred()) return nullptr;  // the exception that cancelled the build
    return raise_store_error(report->error());
  }
  // Recorded before anything else can fail or be interrupted: from here on
  // the target is the new file.
  s.builds += 1;
  s.last = **report;
  s.last_seconds = took.count();
  s.last_path.swap(path);
  return report_tuple(s);
}

PyObject* last_report(PyObject*, void* self, PyObject* const*) {
  const WriterState& s = state(self);
  if (s.builds == 0) Py_RETURN_NONE;
  return report_tuple(s);
}

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
     "Returns (build number, path, objects, keys, file size in bytes, seconds).",
     &kBuildSig, BorrowKind::kExclusive, build},
    {"last_report",
     "last_report($self)\n--\n\nThe report of this writer's latest successful build, or None.",
     nullptr, BorrowKind::kShared, last_report},
};

PyTypeObject* writer_class();

constexpr py::ClassInfo kClass{"Writer", writer_class, py::counter_of<WriterState>, py::core_of<WriterState>};

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

int add_writer_type(PyObject* module) {
  PyTypeObject* type = writer_class();
  if (!type) return -1;
  return PyModule_AddType(module, type);
}

}  // namespace tarn::fast
