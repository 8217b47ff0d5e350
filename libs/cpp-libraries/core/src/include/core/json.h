#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>
#include <json/value.h>

#include "core/logger.h"
#include "core/source_location.h"

namespace kavo::libs::core::json {

struct parse_result {
  Json::Value result;  // null when parsing failed
  bool ok = false;
  std::string error;
};

// Never throws for bad input.
parse_result try_parse(boost::string_view _text);
// Compact, one line, members in ascending key order.
std::string to_string(const Json::Value& _value);

// Reads typed fields out of received JSON; every missing or mistyped field
// is reported as "<key>: <problem>" through the logger (and the stream, when
// given). Callers read all they need, then drop the input unless ok().
class validator {
 public:
  validator(std::string _key, const component_logger& _logger, component_logger::log_method _method,
            source_location _location);
  validator(std::string _key, const component_logger& _logger, source_location _location);
  validator(std::string _key, const component_logger& _logger, std::ostream& _stream, source_location _location);

  bool ok() const { return m_ok; }

  boost::optional<const Json::Value&> find_value(const Json::Value& _object, boost::string_view _key,
                                                 boost::string_view _context);
  // A view into the document: valid while the document lives.
  boost::optional<boost::string_view> get_string_view(const Json::Value& _object, boost::string_view _key,
                                                      boost::string_view _context);
  boost::optional<int> get_int(const Json::Value& _object, boost::string_view _key, boost::string_view _context);
  boost::optional<unsigned> get_uint(const Json::Value& _object, boost::string_view _key,
                                     boost::string_view _context);
  boost::optional<std::uint64_t> get_uint64(const Json::Value& _object, boost::string_view _key,
                                            boost::string_view _context);
  boost::optional<double> get_double(const Json::Value& _object, boost::string_view _key,
                                     boost::string_view _context);
  boost::optional<bool> get_bool(const Json::Value& _object, boost::string_view _key, boost::string_view _context);
  boost::optional<const Json::Value&> get_object(const Json::Value& _object, boost::string_view _key,
                                                 boost::string_view _context);
  boost::optional<const Json::Value&> get_array(const Json::Value& _object, boost::string_view _key,
                                                boost::string_view _context);

  // The document of the result; a failed parse is reported and gives null.
  const Json::Value& ensure_ok(const parse_result& _result, boost::string_view _context);

  // Reports a problem found by the caller itself, as for the fields.
  void message(const std::string& _problem);

  template <typename T>
  bool ensure_initialized(const boost::optional<T>& _value, boost::string_view _what) {
    if (!_value) {
      message("'" + std::string(_what) + "' is not initialized");
      return false;
    }
    return true;
  }

 private:
  // The value when present and of the kind, else reported as "is not <words>".
  boost::optional<const Json::Value&> typed(const Json::Value& _object, boost::string_view _key,
                                            boost::string_view _context, bool (Json::Value::*_is)() const,
                                            const char* _words);

  bool m_ok = true;
  std::string m_key;
  const component_logger& m_logger;
  component_logger::log_method m_method;
  source_location m_location;
  boost::optional<std::ostream&> m_stream;
};

}  // namespace kavo::libs::core::json
