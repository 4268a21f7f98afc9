#include "fast/quiet_build.h"

#include <chrono>
#include <optional>

#include "convert.h"
#include "errors.h"
#include "fast/fast.h"
#include "pyref.h"

namespace tarn::fast {
namespace {

using py::Ref;

constexpr auto kCheckInterval = std::chrono::milliseconds(50);

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
  // The first write is checked at once: a signal that came before the
  // build stops it there, and a progress bar starts at the start.
  CheckingObserver(UnlockedInterpreter& gil, PyObject* progress)
      : gil_(gil), progress_(progress), last_check_(std::chrono::steady_clock::now() - kCheckInterval) {}

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

}  // namespace

PyObject* report_tuple(const BuildRecord& record) {
  if (record.builds == 0) Py_RETURN_NONE;
  Ref path = Ref::steal(PyUnicode_DecodeUTF8(record.path.data(), Py_ssize_t(record.path.size()), nullptr));
  if (!path) return nullptr;
  return Py_BuildValue("(KOKKKdK)", (unsigned long long)record.builds, path.get(),
                       (unsigned long long)record.report.objects, (unsigned long long)record.report.keys,
                       (unsigned long long)record.report.file_size, record.seconds,
                       (unsigned long long)record.report.index_bytes);
}

PyObject* run_quiet_build(QuietBuild& build, PyObject* path_arg, PyObject* progress_arg, BuildRecord& record) {
  std::string path;
  if (!py::convert_path(path_arg, "path", &path)) return nullptr;
  PyObject* progress = progress_arg == Py_None ? nullptr : progress_arg;
  if (progress && !PyCallable_Check(progress)) {
    return py::raise_arg_type_mismatch("progress", progress, "callable");
  }
  std::optional<Result<BuildReport>> report;
  const auto started = std::chrono::steady_clock::now();
  {
    UnlockedInterpreter gil;
    CheckingObserver observer(gil, progress);
    report.emplace(build.run(path, &observer));
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (!*report) {
    // The build has removed its temporary file (SinkOptions::kRemove).
    if (PyErr_Occurred()) return nullptr;  // the exception that cancelled the build
    return raise_store_error(report->error());
  }
  // Recorded before anything else can fail or be interrupted: from here on
  // the target is the new file.
  record.builds += 1;
  record.report = **report;
  record.seconds = took.count();
  record.path.swap(path);
  return report_tuple(record);
}

}  // namespace tarn::fast
