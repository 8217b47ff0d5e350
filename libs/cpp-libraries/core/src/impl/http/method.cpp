#include "core/http/method.h"

#include "core/exception.h"

namespace kavo::libs::core::http {

std::string to_string(method _method) {
  switch (_method) {
    case method::get:
      return "GET";
    case method::post:
      return "POST";
    case method::put:
      return "PUT";
    case method::del:
      return "DELETE";
    case method::_count:
      break;
  }
  throw exception("Unknown enumeration value", CORE_LOCATION);
}

}  // namespace kavo::libs::core::http
