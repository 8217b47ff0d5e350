#include "impl/config_json_impl.h"

#include <stdexcept>

#include <json/reader.h>

namespace kavo::libs::config {

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream) {
  return std::make_unique<config_json_impl>(_stream);
}

config_json_impl::config_json_impl(std::istream& _stream) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  Json::Value document;
  std::string errors;
  if (!Json::parseFromStream(builder, _stream, &document, &errors)) {
    throw std::runtime_error("Cannot parse json: " + errors);
  }

  auto& root = m_dictionaries.emplace_back();
  if (document.isObject()) {
    process_members(document, root);
  }
}

object config_json_impl::get_root() const {
  return m_dictionaries.front();
}

void config_json_impl::process_members(const Json::Value& _json, dictionary_impl& _target) {
  for (auto member = _json.begin(); member != _json.end(); ++member) {
    process_value(*member, member.name(), _target);
  }
}

void config_json_impl::process_value(const Json::Value& _json, const std::string& _name, dictionary_impl& _target) {
  if (_json.isObject()) {
    auto& nested = m_dictionaries.emplace_back();
    _target.add_value(_name, value_impl(nested));
    process_members(_json, nested);
  } else if (_json.isArray()) {
    auto& elements = m_arrays.emplace_back();
    process_array(_json, elements);
    _target.add_value(_name, value_impl(make_range(elements)));
  } else {
    _target.add_value(_name, value_impl(_json));
  }
}

void config_json_impl::process_array(const Json::Value& _json, std::vector<value_impl>& _output) {
  // Reserved up front: the elements must not move once created, nested
  // ranges and dictionaries are referenced by address.
  _output.reserve(_json.size());
  for (const auto& element : _json) {
    if (element.isObject()) {
      auto& nested = m_dictionaries.emplace_back();
      _output.emplace_back(nested);
      process_members(element, nested);
    } else if (element.isArray()) {
      auto& elements = m_arrays.emplace_back();
      process_array(element, elements);
      _output.emplace_back(make_range(elements));
    } else {
      _output.emplace_back(element);
    }
  }
}

value::array config_json_impl::make_range(const std::vector<value_impl>& _vector) const {
  return value::array(_vector);
}

}  // namespace kavo::libs::config
