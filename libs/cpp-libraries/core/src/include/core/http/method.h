#pragma once

#include <string>

namespace kavo::libs::core::http {

enum class method { get = 0, post = 1, put = 2, del = 3, _count = 4 };

// "GET", "POST", "PUT", "DELETE"; throws exception "Unknown enumeration value" otherwise.
std::string to_string(method _method);

}  // namespace kavo::libs::core::http
