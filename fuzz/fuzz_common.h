// What every libFuzzer target here shares: one way to fail, the CHECK macro
// built on it, byte/string views, and the memory-backed file an input is
// written to before a core opens it by path.
//
// Each target is a program of its own and defines kTargetName, the word its
// messages start with. Nothing here is thread-safe; libFuzzer runs one input
// at a time per process.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace fuzz {

// Defined by each target, e.g. "fuzz_reader".
extern const char kTargetName[];

// Prints "<target>: <what> <detail>" and aborts, so libFuzzer records the input.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  if (detail.empty()) {
    std::fprintf(stderr, "%s: %s\n", kTargetName, what);
  } else {
    std::fprintf(stderr, "%s: %s %s\n", kTargetName, what, detail.c_str());
  }
  std::abort();
}

inline std::string str(std::span<const uint8_t> b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}
inline std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// A memory-backed file reachable by path (/proc/self/fd/N); each input
// replaces its whole contents.
class MemFile {
 public:
  // Creates the file; call once, from LLVMFuzzerInitialize.
  void create(const char* name) {
    fd_ = memfd_create(name, MFD_CLOEXEC);
    if (fd_ < 0) fail("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  // Makes `data[0, size)` the file's contents.
  void replace(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) fail("ftruncate");
    if (size && pwrite(fd_, data, size, 0) != ssize_t(size)) fail("pwrite");
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace fuzz

// Aborts through fuzz::fail unless `cond` holds; an optional std::string
// argument says what was being checked.
#define CHECK(cond, ...)                                             \
  do {                                                               \
    if (!(cond)) ::fuzz::fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)
