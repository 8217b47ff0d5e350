#pragma once

#include <functional>
#include <string>

#include <boost/optional.hpp>
#include <boost/range/any_range.hpp>

namespace kavo::libs::config {

class dictionary;

// A JSON-like value of a loaded document; conversions never coerce between kinds.
class value {
 public:
  using array = boost::any_range<const value, boost::bidirectional_traversal_tag, const value&, std::ptrdiff_t>;

  virtual ~value() = default;
  virtual boost::optional<bool> as_bool() const = 0;
  virtual boost::optional<int> as_int() const = 0;
  virtual boost::optional<double> as_double() const = 0;
  virtual boost::optional<std::string> as_string() const = 0;
  virtual boost::optional<const dictionary&> as_object() const = 0;
  virtual boost::optional<array> as_array() const = 0;
};

}  // namespace kavo::libs::config
