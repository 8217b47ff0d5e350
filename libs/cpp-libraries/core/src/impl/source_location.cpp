#include "core/source_location.h"

#include <algorithm>

#include "generated/version.h"

namespace kavo::libs::core {

namespace {
constexpr boost::string_view our_namespace_prefix = "kavo::";
}

boost::string_view source_location::short_file() const {
  return remove_directory_prefix(m_file);
}

boost::string_view source_location::short_function() const {
  const auto paren = m_function.find('(');
  if (paren == boost::string_view::npos || m_function.size() < 5) {
    return m_function;
  }
  const auto start = m_function.substr(0, paren).rfind(our_namespace_prefix);
  if (start == boost::string_view::npos) {
    return m_function;
  }
  return m_function.substr(start, paren - start);
}

boost::string_view source_location::remove_directory_prefix(boost::string_view _path) const {
  const auto prefix_length = std::min(::constants::source_directory.size(), _path.size());
  return _path.substr(prefix_length);
}

}  // namespace kavo::libs::core
