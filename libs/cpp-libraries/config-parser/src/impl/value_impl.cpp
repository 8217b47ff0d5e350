#include "impl/value_impl.h"

#include <utility>

namespace kavo::libs::config {

value_impl::value_impl(Json::Value _leaf) : m_value(std::in_place_index<0>, std::move(_leaf)) {}
value_impl::value_impl(const dictionary& _dictionary) : m_value(std::in_place_index<1>, std::cref(_dictionary)) {}
value_impl::value_impl(value::array _array) : m_value(std::in_place_index<2>, std::move(_array)) {}

boost::optional<bool> value_impl::as_bool() const {
  const auto* json = leaf();
  if (json == nullptr || !json->isBool()) {
    return boost::none;
  }
  return json->asBool();
}

boost::optional<int> value_impl::as_int() const {
  const auto* json = leaf();
  // isIntegral() also takes reals without a fraction (5.0); asInt() raises
  // jsoncpp's own range error for numbers that do not fit an int.
  if (json == nullptr || !json->isIntegral()) {
    return boost::none;
  }
  return json->asInt();
}

boost::optional<double> value_impl::as_double() const {
  const auto* json = leaf();
  if (json == nullptr || !json->isNumeric()) {
    return boost::none;
  }
  return json->asDouble();
}

boost::optional<std::string> value_impl::as_string() const {
  const auto* json = leaf();
  if (json == nullptr || !json->isString()) {
    return boost::none;
  }
  return json->asString();
}

boost::optional<const dictionary&> value_impl::as_object() const {
  if (const auto* dictionary_ref = std::get_if<1>(&m_value)) {
    return boost::optional<const dictionary&>(dictionary_ref->get());
  }
  return boost::none;
}

boost::optional<value::array> value_impl::as_array() const {
  if (const auto* array = std::get_if<2>(&m_value)) {
    return *array;
  }
  return boost::none;
}

}  // namespace kavo::libs::config
