// CoreError: the one error channel of every core operation.
//
// A core operation returns Result<T>: either its value or a CoreError. The
// cores never throw on purpose and never touch the interpreter; the extension
// frame turns a CoreError into a Python exception by its kind. A CoreError is
// a plain value and may be copied between threads freely.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tarn {

enum class ErrorKind : uint8_t {
  kCorrupt,  // TarnCorruptError: the file's bytes are not a sound store
  kVersion,  // TarnVersionError: a format version this build cannot read
  kIO,       // TarnIOError: the operating system refused an operation
  kUsage,    // TarnError: the caller asked for something the store cannot do
};

class [[nodiscard]] CoreError {
 public:
  static CoreError Corrupt(std::string text) { return {ErrorKind::kCorrupt, std::move(text), 0}; }
  static CoreError Version(uint8_t version) { return {ErrorKind::kVersion, {}, version}; }
  static CoreError IO(std::string text) { return {ErrorKind::kIO, std::move(text), 0}; }
  // An operating-system failure: `context` (may be empty), then the
  // description of `err` as os_error_text gives it; errno() keeps the number.
  static CoreError IO(const std::string& context, int err);
  // An operating-system failure `err` described by `text` alone.
  static CoreError IOWithErrno(std::string text, int err) {
    CoreError e(ErrorKind::kIO, std::move(text), 0);
    e.errno_ = err;
    return e;
  }
  static CoreError Usage(std::string text) { return {ErrorKind::kUsage, std::move(text), 0}; }

  ErrorKind kind() const { return kind_; }
  // The operating system's error number behind a kIO error, or 0.
  int os_errno() const { return errno_; }
  // The text after the kind's prefix ("unsupported version N" for kVersion).
  std::string detail() const;
  // The display form: the kind's prefix, a colon and a blank, then detail().
  std::string message() const;

 private:
  CoreError(ErrorKind kind, std::string text, uint8_t version)
      : kind_(kind), text_(std::move(text)), version_(version) {}

  ErrorKind kind_;
  std::string text_;
  uint8_t version_;
  int errno_ = 0;
};

// Describes the operating-system error `err` as "<platform text> (os error N)".
std::string os_error_text(int err);

// Result<T>: a value or a CoreError, shaped like std::expected.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  const CoreError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, CoreError> v_;
};

struct Ok {};

// Result<void> spelled as a value type, so `return Ok{}` reads as success.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result(Ok) {}
  Result(CoreError error) : error_(std::move(error)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const CoreError& error() const { return error_; }

 private:
  CoreError error_ = CoreError::Usage({});
  bool failed_ = false;
};

}  // namespace tarn
