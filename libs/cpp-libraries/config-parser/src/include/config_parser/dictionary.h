#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include <boost/optional.hpp>

#include "config_parser/value.h"

namespace kavo::libs::config {

class dictionary {
 public:
  virtual ~dictionary() = default;
  virtual boost::optional<const value&> get_value(const std::string& _key) const = 0;
  // All keys in ascending byte-wise order.
  virtual std::vector<std::string> get_keys() const = 0;

  // Defined for bool, int, std::string and const dictionary&.
  template <typename T>
  boost::optional<T> get(const std::string& _key) const {
    const auto item = get_value(_key);
    if (!item) {
      return boost::none;
    }
    if constexpr (std::is_same_v<T, bool>) {
      return item->as_bool();
    } else if constexpr (std::is_same_v<T, int>) {
      return item->as_int();
    } else if constexpr (std::is_same_v<T, std::string>) {
      return item->as_string();
    } else {
      static_assert(std::is_same_v<T, const dictionary&>, "unsupported setting type");
      return item->as_object();
    }
  }
};

using object = const dictionary&;

}  // namespace kavo::libs::config
