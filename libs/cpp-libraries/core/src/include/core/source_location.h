#pragma once

#include <boost/utility/string_view.hpp>

namespace kavo::libs::core {

// Where something happened in the program's sources. Both views point at
// string literals, so a location never owns memory and is cheap to copy.
class source_location {
 public:
  source_location() = default;
  source_location(long _line, boost::string_view _file, boost::string_view _function)
      : m_line(_line), m_file(_file), m_function(_function) {}

  long line() const { return m_line; }
  boost::string_view file() const { return m_file; }
  boost::string_view function() const { return m_function; }

  // The file path relative to the source root, beginning with "/".
  boost::string_view short_file() const;
  // The qualified function name without return type and parameters, when the
  // function belongs to our own namespace; otherwise the full pretty name.
  boost::string_view short_function() const;
  // Cuts the length of the source root off the front of the path, without
  // comparing: every path handed in lies below the source root.
  boost::string_view remove_directory_prefix(boost::string_view _path) const;

 private:
  long m_line = 0;
  boost::string_view m_file = "unknown file";
  boost::string_view m_function = "unknown function";
};

}  // namespace kavo::libs::core

#define CORE_LOCATION ::kavo::libs::core::source_location(__LINE__, __FILE__, __PRETTY_FUNCTION__)
