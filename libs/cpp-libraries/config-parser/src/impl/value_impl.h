#pragma once

#include <functional>
#include <variant>

#include <json/value.h>

#include "config_parser/dictionary.h"
#include "config_parser/value.h"

namespace kavo::libs::config {

// A leaf held by copy, or a reference into the owning document's
// dictionaries or arrays; copies share the subtree, never duplicate it.
class value_impl : public value {
 public:
  using data = std::variant<Json::Value, std::reference_wrapper<const dictionary>, value::array>;

  explicit value_impl(Json::Value _leaf);
  explicit value_impl(const dictionary& _dictionary);
  explicit value_impl(value::array _array);

  boost::optional<bool> as_bool() const override;
  boost::optional<int> as_int() const override;
  boost::optional<double> as_double() const override;
  boost::optional<std::string> as_string() const override;
  boost::optional<const dictionary&> as_object() const override;
  boost::optional<value::array> as_array() const override;

 private:
  const Json::Value* leaf() const { return std::get_if<0>(&m_value); }

  data m_value;
};

}  // namespace kavo::libs::config
