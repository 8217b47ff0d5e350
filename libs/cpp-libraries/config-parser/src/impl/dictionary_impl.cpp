#include "impl/dictionary_impl.h"

#include <utility>

namespace kavo::libs::config {

boost::optional<const value&> dictionary_impl::get_value(const std::string& _key) const {
  const auto found = m_data.find(_key);
  if (found == m_data.end()) {
    return boost::none;
  }
  return boost::optional<const value&>(found->second);
}

std::vector<std::string> dictionary_impl::get_keys() const {
  std::vector<std::string> keys;
  keys.reserve(m_data.size());
  for (const auto& [key, item] : m_data) {
    keys.push_back(key);
  }
  return keys;
}

void dictionary_impl::add_value(const std::string& _key, value_impl _value) {
  m_data.emplace(_key, std::move(_value));
}

}  // namespace kavo::libs::config
