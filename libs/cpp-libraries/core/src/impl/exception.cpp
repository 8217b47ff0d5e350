#include "core/exception.h"

#include <sstream>
#include <utility>

namespace kavo::libs::core {

located_exception::located_exception(const source_location& _location) : m_source_location(_location) {}

const char* located_exception::what() const noexcept {
  try {
    std::ostringstream stream;
    describe(stream);
    m_what = stream.str();
  } catch (...) {
    // Out of memory while formatting: the previous text (possibly empty) is
    // still a valid answer and what() must not throw.
  }
  return m_what.c_str();
}

std::ostream& located_exception::describe(std::ostream& _stream) const noexcept {
  try {
    _stream << m_source_location.short_file() << ':' << m_source_location.line();
  } catch (...) {
  }
  return _stream;
}

exception::exception(std::string _str_error, const source_location& _location)
    : located_exception(_location), m_str_error(std::move(_str_error)) {}

std::ostream& exception::describe(std::ostream& _stream) const noexcept {
  located_exception::describe(_stream);
  try {
    _stream << ' ' << m_str_error;
  } catch (...) {
  }
  return _stream;
}

check_failed_exception::check_failed_exception(const std::string& _condition, const source_location& _location)
    : exception("check failed: " + _condition, _location) {}

}  // namespace kavo::libs::core
