#include "core/json.h"

#include <memory>

#include <boost/format.hpp>
#include <json/reader.h>
#include <json/writer.h>

namespace kavo::libs::core::json {

parse_result try_parse(boost::string_view _text) {
  // Building a reader costs more than a typical parse; a reader is not
  // thread-safe, so each thread keeps its own.
  thread_local const std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  parse_result parsed;
  if (reader->parse(_text.data(), _text.data() + _text.size(), &parsed.result, &parsed.error)) {
    parsed.ok = true;
    parsed.error.clear();
  } else {
    parsed.result = Json::Value();
    parsed.ok = false;
  }
  return parsed;
}

std::string to_string(const Json::Value& _value) {
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "";
  return Json::writeString(builder, _value);
}

validator::validator(std::string _key, const component_logger& _logger, component_logger::log_method _method,
                     source_location _location)
    : m_key(std::move(_key)), m_logger(_logger), m_method(_method), m_location(_location) {}

validator::validator(std::string _key, const component_logger& _logger, source_location _location)
    : validator(std::move(_key), _logger, &component_logger::debug, _location) {}

validator::validator(std::string _key, const component_logger& _logger, std::ostream& _stream,
                     source_location _location)
    : validator(std::move(_key), _logger, &component_logger::debug, _location) {
  m_stream = _stream;
}

void validator::message(const std::string& _problem) {
  m_ok = false;
  (m_logger.*m_method)("%1%: %2%").location(m_location) % m_key % _problem;
  if (m_stream) {
    *m_stream << m_key << ": " << _problem << "\n";
  }
}

boost::optional<const Json::Value&> validator::find_value(const Json::Value& _object, boost::string_view _key,
                                                          boost::string_view _context) {
  const Json::Value* found =
      _object.isObject() ? _object.find(_key.data(), _key.data() + _key.size()) : nullptr;
  if (found == nullptr) {
    message((boost::format("could not find '%1%' in object '%2%'") % _key % _context).str());
    return boost::none;
  }
  return boost::optional<const Json::Value&>(*found);
}

boost::optional<const Json::Value&> validator::typed(const Json::Value& _object, boost::string_view _key,
                                                     boost::string_view _context, bool (Json::Value::*_is)() const,
                                                     const char* _words) {
  const auto found = find_value(_object, _key, _context);
  if (!found) {
    return boost::none;
  }
  if (!((*found).*_is)()) {
    message((boost::format("'%1%' in '%2%' is not %3%") % _key % _context % _words).str());
    return boost::none;
  }
  return found;
}

boost::optional<boost::string_view> validator::get_string_view(const Json::Value& _object, boost::string_view _key,
                                                               boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isString, "a string");
  if (!found) {
    return boost::none;
  }
  const char* begin = nullptr;
  const char* end = nullptr;
  found->getString(&begin, &end);
  return boost::string_view(begin, static_cast<std::size_t>(end - begin));
}

boost::optional<int> validator::get_int(const Json::Value& _object, boost::string_view _key,
                                        boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isInt, "an int");
  return found ? boost::optional<int>(found->asInt()) : boost::none;
}

boost::optional<unsigned> validator::get_uint(const Json::Value& _object, boost::string_view _key,
                                              boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isUInt, "an uint");
  return found ? boost::optional<unsigned>(found->asUInt()) : boost::none;
}

boost::optional<std::uint64_t> validator::get_uint64(const Json::Value& _object, boost::string_view _key,
                                                     boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isUInt64, "an uint64");
  return found ? boost::optional<std::uint64_t>(found->asUInt64()) : boost::none;
}

boost::optional<double> validator::get_double(const Json::Value& _object, boost::string_view _key,
                                              boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isNumeric, "a number");
  return found ? boost::optional<double>(found->asDouble()) : boost::none;
}

boost::optional<bool> validator::get_bool(const Json::Value& _object, boost::string_view _key,
                                          boost::string_view _context) {
  const auto found = typed(_object, _key, _context, &Json::Value::isBool, "a bool");
  return found ? boost::optional<bool>(found->asBool()) : boost::none;
}

boost::optional<const Json::Value&> validator::get_object(const Json::Value& _object, boost::string_view _key,
                                                          boost::string_view _context) {
  return typed(_object, _key, _context, &Json::Value::isObject, "an object");
}

boost::optional<const Json::Value&> validator::get_array(const Json::Value& _object, boost::string_view _key,
                                                         boost::string_view _context) {
  return typed(_object, _key, _context, &Json::Value::isArray, "an array");
}

const Json::Value& validator::ensure_ok(const parse_result& _result, boost::string_view _context) {
  if (!_result.ok) {
    message((boost::format("Can not parse json: %1%, error: %2%") % _context % _result.error).str());
  }
  return _result.result;
}

}  // namespace kavo::libs::core::json
