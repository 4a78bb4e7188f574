#pragma once
// The result of building or parsing something in the ECC part: a value, or the
// sentence that says why there is none.

#include <string>
#include <utility>
#include <variant>

namespace folvane {

/// A value of T or an error message meant for the user.
template <class T>
class [[nodiscard]] EccResult {
 public:
  EccResult(T value) : v_(std::move(value)) {}  // NOLINT: implicit, like a returned value
  static EccResult Fail(std::string message) { return EccResult(Error{std::move(message)}); }
  [[nodiscard]] bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  [[nodiscard]] const T& value() const& { return std::get<0>(v_); }
  [[nodiscard]] T& value() & { return std::get<0>(v_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(v_)); }
  const T& operator*() const& { return value(); }
  const T* operator->() const { return &value(); }
  [[nodiscard]] const std::string& error() const { return std::get<1>(v_).message; }

 private:
  struct Error {
    std::string message;
  };
  explicit EccResult(Error e) : v_(std::move(e)) {}
  std::variant<T, Error> v_;
};

}  // namespace folvane
