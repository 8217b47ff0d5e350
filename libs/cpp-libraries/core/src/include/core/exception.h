#pragma once

#include <exception>
#include <ostream>
#include <string>

#include "core/source_location.h"

namespace kavo::libs::core {

// An error that knows where it was raised.
class located_exception : public std::exception {
 public:
  explicit located_exception(const source_location& _location);
  located_exception(const located_exception&) = default;
  located_exception(located_exception&&) = default;
  ~located_exception() override = default;

  // Rebuilt from describe() at every call; never throws.
  const char* what() const noexcept override;
  // Writes "<relative file>:<line>".
  virtual std::ostream& describe(std::ostream& _stream) const noexcept;

  source_location get_source_location() const { return m_source_location; }

 private:
  source_location m_source_location;
  mutable std::string m_what;
};

// A runtime error with its text; describes itself as "<file>:<line> <text>".
class exception : public located_exception {
 public:
  exception(std::string _str_error, const source_location& _location);

  std::ostream& describe(std::ostream& _stream) const noexcept override;
  const std::string& get_string_error() const { return m_str_error; }

 private:
  std::string m_str_error;
};

// A violated internal assumption, raised by CORE_CHECK.
class check_failed_exception : public exception {
 public:
  check_failed_exception(const std::string& _condition, const source_location& _location);
};

}  // namespace kavo::libs::core

#define CORE_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      throw ::kavo::libs::core::check_failed_exception(#condition, CORE_LOCATION); \
    }                                                                              \
  } while (false)
