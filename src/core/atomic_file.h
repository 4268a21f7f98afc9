// AtomicFile: a new file written beside its target under a temporary name and
// put in place by rename, so that a reader of the target sees the old file or
// the complete new one, never a part.
//
// The temporary file (temp_path_for(target)) may sit in a directory that
// other users can write to. It is therefore opened without following a
// symbolic link and without blocking, and used only if it is a regular file
// with one link that this user owns; it is created private (0600) and only
// given its final mode (0666 less the umask) just before the rename. An
// exclusive flock serialises builds to the same temporary path; a leftover
// from a failed build is truncated and reused by the next one.
//
// One AtomicFile belongs to one thread at a time; it is move-only. The
// destructor closes the descriptor and releases the lock, leaving an
// uncommitted temporary file in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/error.h"
#include "core/fd.h"

namespace tarn {

// The error text of a build that its observer called off.
inline constexpr const char* kBuildCancelled = "build cancelled";

// Watches a build from outside, on the building thread: told the progress
// after each write, it may cancel the build at any point before the rename.
// A cancelled build removes its temporary file and leaves the target as it
// was; its error is the cancellation's, which the observer already knows.
class BuildObserver {
 public:
  virtual ~BuildObserver() = default;
  // `written` of the file's `total` bytes are written. False cancels.
  virtual bool on_progress(uint64_t written, uint64_t total) = 0;
  // The file is complete and synced; the rename comes next. False cancels.
  virtual bool before_rename() { return true; }
};

class AtomicFile {
 public:
  // Opens (creating it with mode 0600) and exclusively locks the temporary
  // file of `target`, refuses one that is not safe to write (see above), and
  // truncates it. Errors: TarnIOError "open tmp: ..." (a NUL in `target`, a
  // refused file with the reason, or the system error), "lock tmp: ...", or
  // the system error of the truncate alone.
  static Result<AtomicFile> open(const std::string& target);

  AtomicFile(AtomicFile&&) noexcept = default;
  AtomicFile& operator=(AtomicFile&&) noexcept = default;

  // The descriptor to write through (write-only, positioned at 0).
  int fd() const { return fd_.get(); }
  const std::string& temp_path() const { return tmp_; }
  const std::string& target() const { return target_; }

  // Sets the final mode, syncs the file, asks observer->before_rename() (if
  // given; false discards the file and returns the cancellation error),
  // renames it over the target, syncs the directory and releases the lock.
  // Errors: "chmod tmp: ...", the sync's system error alone, "rename: ...",
  // "sync dir: ...". After a failure before the rename the temporary file
  // stays, for the next build to reuse.
  Result<void> commit(BuildObserver* observer = nullptr);

  // Removes the temporary file while still holding the lock (a cancelled
  // build), then releases it. Not used on an ordinary failure, whose
  // leftover the next build reuses.
  void discard();

 private:
  AtomicFile(std::string target, std::string tmp, Fd fd, unsigned final_mode)
      : target_(std::move(target)), tmp_(std::move(tmp)), fd_(std::move(fd)), final_mode_(final_mode) {}

  std::string target_;
  std::string tmp_;
  Fd fd_;
  unsigned final_mode_;
};

// Writes all of [p, p + n) to `fd`, resuming after signals and partial
// writes. A failed write gives its system error alone; a write that accepts
// nothing gives TarnIOError `zero_write_text`.
Result<void> write_all(int fd, const uint8_t* p, size_t n,
                       const char* zero_write_text = "failed to write whole buffer");

// Opens `name` (relative to the directory `dir_fd`, or to the working
// directory for AT_FDCWD) as a file that this user alone may write, in a
// directory that others may write to: without following a symbolic link,
// without blocking on a FIFO, creating it with mode 0600 when `flags` holds
// O_CREAT, and refusing it unless it is a regular file with one link owned by
// this user (the checks of the temporary file above). `flags` is the access
// mode plus any of O_CREAT, O_EXCL, O_APPEND, O_TRUNC; O_TRUNC is applied only
// once the file has passed the checks. The descriptor is close-on-exec and
// blocking. Errors: TarnIOError "open: NAME: REASON" for a refused file, or
// "open: NAME: " and the system error (errno kept).
Result<Fd> open_private(int dir_fd, const std::string& name, int flags);

// Writes `data` to `target` as an AtomicFile does: the temporary file beside
// it opened and checked as above, synced, renamed over `target`, and the
// directory synced. Errors: those of AtomicFile::open, write_all and commit.
Result<void> write_atomically(const std::string& target, const uint8_t* data, size_t n);

// The directory holding `path` ("." for a bare name), and the sync that makes
// a rename in it durable.
std::string parent_dir(const std::string& path);
Result<void> sync_dir(const std::string& dir);

}  // namespace tarn
