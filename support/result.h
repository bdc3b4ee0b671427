// The one error value of the project: success (with a value where there is
// one) or a finished, human-readable message. Nothing is thrown across modules.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace support {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Valid only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Valid only when !ok().
  const std::string& error() const { return std::get<1>(state_).message(); }
  Error take_error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error.message())), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }
  Error take_error() && { return Error(std::move(error_)); }

 private:
  std::string error_;
  bool failed_ = false;
};

inline Result<void> success() { return {}; }

}  // namespace support
