#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/temp_path.h"

namespace tarn {
namespace {

constexpr mode_t kPrivateMode = 0600;

const char* type_name(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "of unknown type";
}

// Why the file `st` describes must not become a store, or "" if it may. A
// link would have the store written into another file, and a file owned by
// someone else stays in their hands after the rename.
std::string refusal(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file (") + type_name(st.st_mode) + ")";
  if (st.st_nlink != 1) return "has " + std::to_string(uint64_t(st.st_nlink)) + " links";
  const uid_t me = ::geteuid();
  if (st.st_uid != me) {
    return "owned by uid " + std::to_string(uint64_t(st.st_uid)) + " and not by this user (uid " +
           std::to_string(uint64_t(me)) + ")";
  }
  return {};
}

CoreError refused(const std::string& tmp, const std::string& why) { return CoreError::IO("open tmp: " + tmp + ": " + why); }

// The open of `tmp` failed with `err`. A symbolic link (ELOOP under
// O_NOFOLLOW), a FIFO or socket without a reader (ENXIO under O_NONBLOCK),
// and, in a sticky world-writable directory, another user's link or file
// (EACCES where the kernel protects them) fail this way: then say what is
// there. Every other failure keeps the system's own description.
CoreError open_failure(const std::string& tmp, int err) {
  struct stat st;
  if ((err == ELOOP || err == ENXIO || err == EACCES || err == EPERM) && ::lstat(tmp.c_str(), &st) == 0) {
    if (std::string why = refusal(st); !why.empty()) return refused(tmp, why);
  }
  return CoreError::IO("open tmp: ", err);
}

// 0666 less the process's umask: the mode an ordinary creation would give.
// Linux reports the umask in /proc; elsewhere it is read by setting it, which
// is brief but not atomic with respect to other threads.
mode_t final_mode() {
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(f);
    if (found) return 0666 & ~mode_t(mask);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666 & ~mask;
}

// Opens the temporary file, refuses an unsafe one before touching it, and
// takes an exclusive lock on it. Another build to the same temporary path
// may have renamed the file we opened into place while we waited for the
// lock; the path then names another file (or none), and we start over, so
// that we never write into what is already some other build's finished
// target. The lock is held until the descriptor is closed.
Result<Fd> open_locked(const std::string& tmp) {
  for (;;) {
    // O_NONBLOCK: a FIFO must not hold the open up; it has no effect on the
    // regular file that is all we go on with.
    const int raw = no_eintr([&] {
      return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kPrivateMode);
    });
    if (raw < 0) return open_failure(tmp, errno);
    Fd fd(raw);
    struct stat held;
    if (::fstat(fd.get(), &held) < 0) return CoreError::IO("open tmp: ", errno);
    // No link left: between our open and this check, another build renamed
    // the file we opened into place and a later rename replaced it there.
    // Nothing of it is at the path any more: start over.
    if (held.st_nlink == 0) continue;
    if (std::string why = refusal(held); !why.empty()) return refused(tmp, why);
    if (no_eintr([&] { return ::flock(fd.get(), LOCK_EX); }) < 0) return CoreError::IO("lock tmp: ", errno);
    if (::fstat(fd.get(), &held) < 0) return CoreError::IO("lock tmp: ", errno);
    struct stat named;
    if (::lstat(tmp.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      // Checked again under the lock: a link may have been made meanwhile.
      if (std::string why = refusal(held); !why.empty()) return refused(tmp, why);
      // A leftover of an older build may be open to others: from now on no
      // one else can open it while we write.
      if ((held.st_mode & 07777) != kPrivateMode && ::fchmod(fd.get(), kPrivateMode) < 0) {
        return CoreError::IO("chmod tmp: ", errno);
      }
      return fd;
    }
  }
}

}  // namespace

Result<AtomicFile> AtomicFile::open(const std::string& target) {
  // Checked on the target itself: deriving the temporary path can drop a NUL
  // that sits in the extension, and the rename would then act on a cut name.
  if (target.find('\0') != std::string::npos) {
    return CoreError::IO("open tmp: file name contained an unexpected NUL byte");
  }
  std::string tmp = temp_path_for(target);
  auto fd = open_locked(tmp);
  if (!fd) return fd.error();
  // Truncate only under the lock: a leftover temporary file is reused.
  if (no_eintr([&] { return ::ftruncate(fd->get(), 0); }) < 0) return CoreError::IO("", errno);
  return AtomicFile(target, std::move(tmp), std::move(*fd), final_mode());
}

Result<void> AtomicFile::commit(BuildObserver* observer) {
  if (::fchmod(fd_.get(), final_mode_) < 0) return CoreError::IO("chmod tmp: ", errno);
  // A leftover that others could open would let them hold its lock against
  // the next build: a failure from here to the rename makes it private again.
  auto leave_private = [&](CoreError e) {
    (void)::fchmod(fd_.get(), kPrivateMode);
    return e;
  };
  if (no_eintr([&] { return ::fsync(fd_.get()); }) < 0) return leave_private(CoreError::IO("", errno));
  // The last moment a build can still be called off: after the sync, before
  // the rename.
  if (observer && !observer->before_rename()) {
    discard();
    return CoreError::IO(kBuildCancelled);
  }
  if (::rename(tmp_.c_str(), target_.c_str()) < 0) return leave_private(CoreError::IO("rename: ", errno));
  if (auto r = sync_dir(parent_dir(tmp_)); !r) return r.error();
  fd_ = Fd();  // releases the lock, after the rename
  return Ok{};
}

void AtomicFile::discard() {
  // Still locked, so no other build is writing into what is removed.
  if (fd_.get() >= 0) (void)::unlink(tmp_.c_str());
  fd_ = Fd();
}

Result<Fd> open_private(int dir_fd, const std::string& name, int flags) {
  if (name.find('\0') != std::string::npos) return CoreError::IO("open: file name contained an unexpected NUL byte");
  const int checked = (flags & ~O_TRUNC) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  const int raw = no_eintr([&] { return ::openat(dir_fd, name.c_str(), checked, kPrivateMode); });
  if (raw < 0) {
    const int err = errno;
    struct stat st;
    // What is there, if that is why the open failed (see open_failure).
    if ((err == ELOOP || err == ENXIO || err == EACCES || err == EPERM || err == EEXIST) &&
        ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (std::string why = refusal(st); !why.empty()) return CoreError::IO("open: " + name + ": " + why);
    }
    return CoreError::IO("open: " + name + ": ", err);
  }
  Fd fd(raw);
  struct stat held;
  if (::fstat(fd.get(), &held) < 0) return CoreError::IO("open: " + name + ": ", errno);
  if (std::string why = refusal(held); !why.empty()) return CoreError::IO("open: " + name + ": " + why);
  // Ours, a regular file: writes to it may now block as usual.
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) < 0) return CoreError::IO("open: " + name + ": ", errno);
  if ((flags & O_TRUNC) && no_eintr([&] { return ::ftruncate(fd.get(), 0); }) < 0) {
    return CoreError::IO("open: " + name + ": ", errno);
  }
  return fd;
}

Result<void> write_atomically(const std::string& target, const uint8_t* data, size_t n) {
  auto file = AtomicFile::open(target);
  if (!file) return file.error();
  if (auto w = write_all(file->fd(), data, n); !w) return w.error();
  return file->commit();
}

Result<void> write_all(int fd, const uint8_t* p, size_t n, const char* zero_write_text) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return CoreError::IO("", errno);
    }
    if (w == 0) return CoreError::IO(zero_write_text);
    p += w;
    n -= size_t(w);
  }
  return Ok{};
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Filesystems that cannot sync a directory say so with EINVAL or ENOTSUP;
// there is nothing more to be done on them.
Result<void> sync_dir(const std::string& dir) {
  const int raw = no_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (raw < 0) return CoreError::IO("sync dir: ", errno);
  Fd fd(raw);
  if (no_eintr([&] { return ::fsync(fd.get()); }) < 0 && errno != EINVAL && errno != ENOTSUP) {
    return CoreError::IO("sync dir: ", errno);
  }
  return Ok{};
}

}  // namespace tarn
