// Expected<T, E>: a value or an error, the return type of every fallible core function.
// Spelled like std::expected so it can become an alias once the toolchain has one.
// KORVEL_TRY / KORVEL_ASSIGN_OR_RETURN propagate an error of the same type unchanged;
// wrapping into another family is written out at the call site.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "common/check.h"

namespace korvel {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  Expected(const T& v) : v_(std::in_place_index<0>, v) {}        // NOLINT: implicit by design
  Expected(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}  // NOLINT
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & {
    KORVEL_CHECK(has_value(), "value() on an error result");
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    KORVEL_CHECK(has_value(), "value() on an error result");
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    KORVEL_CHECK(has_value(), "value() on an error result");
    return std::move(*std::get_if<0>(&v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;
  template <class G>
  Expected(Unexpected<G> u) : err_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT

  bool has_value() const noexcept { return err_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const { KORVEL_CHECK(has_value(), "value() on an error result"); }

  E& error() & {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return *std::get_if<1>(&err_);
  }
  const E& error() const& {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return *std::get_if<1>(&err_);
  }
  E&& error() && {
    KORVEL_CHECK(!has_value(), "error() on a value result");
    return std::move(*std::get_if<1>(&err_));
  }

 private:
  std::variant<std::monostate, E> err_;
};

}  // namespace korvel

#define KORVEL_CONCAT_INNER_(a, b) a##b
#define KORVEL_CONCAT_(a, b) KORVEL_CONCAT_INNER_(a, b)

// Evaluates an Expected<void or T, E> and returns its error from the enclosing function.
#define KORVEL_TRY(expr)                                                  \
  do {                                                                    \
    auto&& korvel_try_result_ = (expr);                                   \
    if (!korvel_try_result_.has_value())                                  \
      return ::korvel::unexpected(std::move(korvel_try_result_).error()); \
  } while (0)

// `KORVEL_ASSIGN_OR_RETURN(auto x, f());` declares x from the value or returns the error.
#define KORVEL_ASSIGN_OR_RETURN(lhs, expr) \
  KORVEL_ASSIGN_OR_RETURN_IMPL_(KORVEL_CONCAT_(korvel_aor_, __LINE__), lhs, expr)
#define KORVEL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)                        \
  auto tmp = (expr);                                                         \
  if (!tmp.has_value()) return ::korvel::unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
