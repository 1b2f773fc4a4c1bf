// Errors as values: every call of the client library answers a Result<T>,
// either the value or an Error that says what failed and why.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace capture {

enum class ErrorKind {
  kSystem,   // a system call failed: win32() holds its Win32 error
  kCommand,  // the driver ran the command and answered a result code: result()
  kClient,   // refused by the library itself: a bad name, a short answer, ...
  kTimedOut, // the card did not complete a transfer in time (it was abandoned)
};

class Error {
 public:
  // `ntStatus`: the kernel's status behind the Win32 error, where the back
  // end can see it (wdmsim can; Win32 cannot without undocumented calls).
  static Error System(uint32_t win32Error, std::string operation, std::optional<uint32_t> ntStatus = std::nullopt);
  static Error Command(uint32_t resultCode, std::string operation);
  static Error Client(std::string operation, std::string detail);
  static Error TimedOut(std::string operation, std::string detail);

  ErrorKind kind() const { return kind_; }
  uint32_t win32() const { return kind_ == ErrorKind::kSystem ? code_ : 0; }
  uint32_t result() const { return kind_ == ErrorKind::kCommand ? code_ : 0; }
  const std::string& operation() const { return operation_; }
  std::optional<uint32_t> ntStatus() const { return ntStatus_; }
  // The same error, told as another operation, or with a sentence that says
  // what the user can do about it.
  Error WithOperation(std::string operation) const;
  Error WithAdvice(std::string advice) const;
  // "open \\.\Talvrex_v100-0: the system cannot find the file specified (Win32 error 2)"
  std::string message() const;

  bool operator==(const Error&) const = default;

 private:
  Error(ErrorKind kind, uint32_t code, std::string operation, std::string detail)
      : kind_(kind), code_(code), operation_(std::move(operation)), detail_(std::move(detail)) {}
  ErrorKind kind_;
  uint32_t code_;
  std::string operation_;
  std::string detail_;  // kClient, kTimedOut: what happened; kSystem: advice, if any
  std::optional<uint32_t> ntStatus_;
};

// Readable texts, also for codes no Error carries yet.
std::string Win32ErrorText(uint32_t win32Error);
std::string ResultCodeText(uint32_t resultCode);

// Thrown by Result::value() on an error and Result::error() on a value:
// a programming error, not a failure of the card.
class BadResultAccess : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "Result<Error> is ambiguous");

 public:
  using value_type = T;

  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    Check();
    return std::get<0>(state_);
  }
  const T& value() const& {
    Check();
    return std::get<0>(state_);
  }
  T&& value() && {
    Check();
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  template <typename U>
  T value_or(U&& fallback) const& {
    return ok() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
  }

  const Error& error() const {
    if (ok()) throw BadResultAccess("Result holds a value, not an error");
    return std::get<1>(state_);
  }

 private:
  void Check() const {
    if (!ok()) throw BadResultAccess(std::get<1>(state_).message());
  }
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  using value_type = void;

  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  void value() const {
    if (error_) throw BadResultAccess(error_->message());
  }
  const Error& error() const {
    if (!error_) throw BadResultAccess("Result holds success, not an error");
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace capture
