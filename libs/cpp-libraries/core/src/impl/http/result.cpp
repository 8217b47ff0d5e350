#include "core/http/result.h"

#include <utility>

namespace kavo::libs::core::http {

result::result(std::string _body, int _code) : m_code(_code) {
  if (_code >= 200 && _code <= 299) {
    m_data = std::move(_body);
  } else {
    m_error = std::move(_body);
  }
}

result::result(std::string _error) : m_error(std::move(_error)) {}

}  // namespace kavo::libs::core::http
