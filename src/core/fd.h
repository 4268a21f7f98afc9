// Fd: an owned file descriptor; no_eintr: a system call repeated while a
// signal interrupts it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarn {

// Closes its descriptor on every path out of the scope that owns it.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);  // an error from close is of no use here
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Calls `call` until it returns something other than -1 with errno EINTR;
// returns that result, errno intact.
template <class F>
auto no_eintr(F call) {
  auto rc = call();
  while (rc < 0 && errno == EINTR) rc = call();
  return rc;
}

}  // namespace tarn
