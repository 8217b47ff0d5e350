#pragma once

#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include <boost/optional.hpp>

namespace kavo::libs::config {

struct error_reason {
  std::string reason;
};

// A looked-up setting or the reason it could not be had.
template <typename T>
class result {
 public:
  using result_type = T;
  using value_type = std::variant<T, error_reason>;

  result(T _value) : m_value(std::in_place_index<0>, std::move(_value)) {}
  result(error_reason _reason) : m_value(std::in_place_index<1>, std::move(_reason)) {}

  bool ok() const { return m_value.index() == 0; }

  boost::optional<T> try_get() const {
    if (const T* value = std::get_if<0>(&m_value)) {
      return *value;
    }
    return boost::optional<T>();
  }

  // Raises boost::bad_optional_access when the look-up failed.
  T value() const { return try_get().value(); }

  std::string reason() const { return ok() ? std::string() : std::get<1>(m_value).reason; }

  value_type m_value;
};

namespace detail {

template <typename T>
struct as_tuple {
  static std::tuple<T> make(T _value) { return std::tuple<T>(std::move(_value)); }
  using type = std::tuple<T>;
};

template <typename... Ts>
struct as_tuple<std::tuple<Ts...>> {
  static std::tuple<Ts...> make(std::tuple<Ts...> _value) { return _value; }
  using type = std::tuple<Ts...>;
};

}  // namespace detail

// Joins two results; a tuple on the left is extended, so a chain of results
// gives one flat tuple in argument order. Failures collect their reasons,
// one per line, in the order of the chain.
template <typename L, typename R>
result<decltype(std::tuple_cat(std::declval<typename detail::as_tuple<L>::type>(), std::declval<std::tuple<R>>()))>
operator+(const result<L>& _left, const result<R>& _right) {
  using joined =
      decltype(std::tuple_cat(std::declval<typename detail::as_tuple<L>::type>(), std::declval<std::tuple<R>>()));
  if (_left.ok() && _right.ok()) {
    return joined(std::tuple_cat(detail::as_tuple<L>::make(std::get<0>(_left.m_value)),
                                 std::tuple<R>(std::get<0>(_right.m_value))));
  }
  if (!_left.ok() && !_right.ok()) {
    return error_reason{_left.reason() + "\n" + _right.reason()};
  }
  return error_reason{_left.ok() ? _right.reason() : _left.reason()};
}

}  // namespace kavo::libs::config
