#pragma once

#include <memory>

// Network clients the loop can make for other programs of the location
// system. svel uses none of them; this build does not provide them.
namespace kavo::libs::core {

namespace udp {
class socket {
 public:
  using ptr = std::unique_ptr<socket>;
  virtual ~socket() = default;
};
}  // namespace udp

namespace tcp {
class manager {
 public:
  virtual ~manager() = default;
};
}  // namespace tcp

namespace redis {
class context {
 public:
  using ptr = std::unique_ptr<context>;
  virtual ~context() = default;
};
}  // namespace redis

}  // namespace kavo::libs::core
