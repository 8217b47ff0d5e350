#pragma once

#include <map>
#include <string>
#include <vector>

#include "config_parser/dictionary.h"
#include "impl/value_impl.h"

namespace kavo::libs::config {

class dictionary_impl : public dictionary {
 public:
  boost::optional<const value&> get_value(const std::string& _key) const override;
  std::vector<std::string> get_keys() const override;

  // The first value given for a key wins.
  void add_value(const std::string& _key, value_impl _value);

 private:
  std::map<std::string, value_impl> m_data;
};

}  // namespace kavo::libs::config
