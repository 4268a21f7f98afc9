// The quiet, cancellable build shared by Writer.build and Merge.build.
//
// A build runs with the interpreter lock released, so other threads run
// while the file is written; the caller holds its instance's exclusive
// borrow throughout. The build's observer takes the lock back at most every
// kCheckInterval (and once more just before the rename) to run the signal
// handlers and the caller's progress callable. A pending exception (a
// KeyboardInterrupt from Ctrl-C, or one raised by the callable) cancels the
// build: the core removes its temporary file, leaves the target as it was,
// and the exception is raised in place of the core's "build cancelled".
// Nothing is printed.
//
// Each successful build is counted, and its report (timed here) kept in a
// BuildRecord before the call returns: a KeyboardInterrupt raised by the
// interpreter just after the return (the signal came after the rename) can
// then be told apart from one that cancelled the build.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "core/atomic_file.h"
#include "core/writer.h"

namespace tarn::fast {

struct BuildRecord {
  uint64_t builds = 0;  // successful builds so far; then the latest one's
  std::string path;
  BuildReport report{};
  double seconds = 0;
};

// (build number, path, objects, keys, file size in bytes, seconds, lookup
// index bytes), or None before the first successful build.
PyObject* report_tuple(const BuildRecord& record);

// Something that builds a file at a path with an observer.
class QuietBuild {
 public:
  virtual ~QuietBuild() = default;
  virtual Result<BuildReport> run(const std::string& path, BuildObserver* observer) = 0;
};

// Converts (path, progress) from the call's arguments, runs `build` as
// described above, records the outcome in `record` and returns its tuple,
// or null with the exception that cancelled or failed the build set. The
// build itself must leave no temporary file behind on a failure.
PyObject* run_quiet_build(QuietBuild& build, PyObject* path_arg, PyObject* progress_arg, BuildRecord& record);

}  // namespace tarn::fast
