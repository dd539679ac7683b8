#pragma once
// Failures inside the core are values; only memory exhaustion and broken
// invariants travel as C++ exceptions.
#include <cassert>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace zorvex {

// A broken internal precondition: valid input cannot reach it. The binding
// guard turns it into the interpreter's panic exception.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw InternalError(message); }

template <class E>
struct Err {
  E error;
};
template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
struct Unit {};

}  // namespace zorvex
