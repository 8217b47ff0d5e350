#pragma once

#include <initializer_list>
#include <istream>
#include <memory>
#include <string>
#include <type_traits>

#include <boost/algorithm/string/join.hpp>

#include "config_parser/dictionary.h"
#include "config_parser/result.h"

namespace kavo::libs::config {

enum class type { json = 0 };

namespace detail {
template <typename T>
constexpr const char* type_name() {
  if constexpr (std::is_same_v<T, std::string>) {
    return "string";
  } else if constexpr (std::is_same_v<T, int>) {
    return "int";
  } else {
    static_assert(std::is_same_v<T, bool>, "unsupported setting type");
    return "bool";
  }
}
}  // namespace detail

// A loaded, read-only configuration document.
class config {
 public:
  virtual ~config() = default;
  virtual object get_root() const = 0;

  template <type T>
  static std::unique_ptr<config> create(std::istream& _stream);

  template <typename T>
  boost::optional<T> get(const std::string& _key) const {
    return get_root().get<T>(_key);
  }

  // Typed look-up through nested objects; the path holds at least one key.
  template <typename T>
  result<T> get_by_path(const std::initializer_list<std::string>& _path) const {
    const std::string full = boost::algorithm::join(_path, ".");
    const auto field_missing = [&full] {
      return error_reason{std::string("Can not find field <") + detail::type_name<T>() + ">: " + full};
    };

    auto key = _path.begin();
    const dictionary* current = &get_root();
    std::string walked;
    for (; key + 1 != _path.end(); ++key) {
      walked += (walked.empty() ? "" : ".") + *key;
      const auto next = current->get<const dictionary&>(*key);
      if (!next) {
        return error_reason{"Can not find object <object>: " + walked + ", path: " + full};
      }
      current = &*next;
    }
    auto leaf = current->get<T>(*key);
    if (!leaf) {
      return field_missing();
    }
    return std::move(*leaf);
  }
};

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream);

}  // namespace kavo::libs::config
