// Errors travel as values through the engine core; only the Python layer turns
// them into exceptions.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qorin {

enum class ErrorKind {
  Value,            // bad value, length, shape, bound, index or state
  Key,              // a name that does not belong to the channel
  Type,             // wrong argument type or dtype
  Runtime,          // kernel or hook failure, session not ready
  Overflow,         // integer outside the signed 64-bit range
  CallbackPending,  // a Python callback raised; its exception is pending
  Memory,           // an allocation the call needs cannot be made
  Interrupted,      // a long loop stopped because an interrupt was requested
};

struct Error {
  ErrorKind kind = ErrorKind::Runtime;
  std::string message;

  static Error value(std::string m) { return {ErrorKind::Value, std::move(m)}; }
  static Error key(std::string m) { return {ErrorKind::Key, std::move(m)}; }
  static Error type(std::string m) { return {ErrorKind::Type, std::move(m)}; }
  static Error runtime(std::string m) { return {ErrorKind::Runtime, std::move(m)}; }
  static Error overflow(std::string m) { return {ErrorKind::Overflow, std::move(m)}; }
  static Error callback_pending() { return {ErrorKind::CallbackPending, {}}; }
  static Error memory(std::string m) { return {ErrorKind::Memory, std::move(m)}; }
  static Error interrupted() { return {ErrorKind::Interrupted, {}}; }
};

// Success or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error e) : err_(std::move(e)) {}  // NOLINT: implicit by design
  static Status ok() { return {}; }

  bool is_ok() const { return !err_.has_value(); }
  explicit operator bool() const { return is_ok(); }
  const Error& error() const& { return *err_; }
  Error&& error() && { return std::move(*err_); }

 private:
  std::optional<Error> err_;
};

// A value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}       // NOLINT
  Result(Error e) : v_(std::in_place_index<1>, std::move(e)) {}   // NOLINT

  bool is_ok() const { return v_.index() == 0; }
  explicit operator bool() const { return is_ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }
  Status status() const { return is_ok() ? Status() : Status(error()); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace qorin

// Propagate a failed Status or Result from the current function.
#define QORIN_TRY(expr)                                   \
  do {                                                    \
    auto&& qorin_try_s_ = (expr);                         \
    if (!qorin_try_s_.is_ok()) return qorin_try_s_.error(); \
  } while (0)
