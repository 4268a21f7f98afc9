#include "core/error.h"

#include <cstring>

namespace tarn {

std::string CoreError::detail() const {
  if (kind_ == ErrorKind::kVersion) return "unsupported version " + std::to_string(version_);
  return text_;
}

CoreError CoreError::IO(const std::string& context, int err) {
  CoreError e(ErrorKind::kIO, context + os_error_text(err), 0);
  e.errno_ = err;
  return e;
}

std::string CoreError::message() const {
  const char* prefix = "TarnError: ";
  switch (kind_) {
    case ErrorKind::kCorrupt: prefix = "TarnCorruptError: "; break;
    case ErrorKind::kVersion: prefix = "TarnVersionError: "; break;
    case ErrorKind::kIO: prefix = "TarnIOError: "; break;
    case ErrorKind::kUsage: prefix = "TarnError: "; break;
  }
  return prefix + detail();
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace tarn
