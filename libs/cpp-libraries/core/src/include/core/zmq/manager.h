#pragma once

#include <string>

#include "core/zmq/socket.h"

namespace kavo::libs::core::zmq {

class manager {
 public:
  virtual ~manager() = default;
  virtual socket::ptr connect(socket::type _type, std::string _address) = 0;
  virtual socket::ptr bind(socket::type _type, std::string _address) = 0;
};

}  // namespace kavo::libs::core::zmq
