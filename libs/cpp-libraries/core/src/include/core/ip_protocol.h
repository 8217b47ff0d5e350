#pragma once

namespace kavo::libs::core {

enum class ip_protocol { v4 = 0, v6 = 1 };

}  // namespace kavo::libs::core
