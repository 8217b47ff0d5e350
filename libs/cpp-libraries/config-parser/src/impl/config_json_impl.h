#pragma once

#include <istream>
#include <list>
#include <string>
#include <vector>

#include <json/value.h>

#include "config_parser/config.h"
#include "impl/dictionary_impl.h"
#include "impl/value_impl.h"

namespace kavo::libs::config {

// Owns every dictionary and array of the document. Both live in lists so
// that nothing moves while values referring to them are being built.
class config_json_impl : public config {
 public:
  explicit config_json_impl(std::istream& _stream);

  object get_root() const override;

 private:
  void process_value(const Json::Value& _json, const std::string& _name, dictionary_impl& _target);
  void process_members(const Json::Value& _json, dictionary_impl& _target);
  void process_array(const Json::Value& _json, std::vector<value_impl>& _output);
  value::array make_range(const std::vector<value_impl>& _vector) const;

  // Declared first so it is destroyed after the arrays that refer into it.
  std::list<dictionary_impl> m_dictionaries;
  std::list<std::vector<value_impl>> m_arrays;
};

}  // namespace kavo::libs::config
