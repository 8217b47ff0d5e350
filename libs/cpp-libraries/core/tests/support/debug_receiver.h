#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "temp_directory.h"

namespace kavo::libs::core::testing {

// The far end of the logger's debug endpoint: a PULL socket bound on an ipc
// path in a fresh temporary directory.
class debug_receiver {
 public:
  debug_receiver();
  ~debug_receiver();

  const std::string& endpoint() const { return m_endpoint; }
  std::vector<std::string> drain();
  bool wait_for(const std::function<bool(const std::string&)>& _match, std::vector<std::string>& _seen,
                std::chrono::milliseconds _timeout = std::chrono::seconds(10));
  // The line that follows the next line containing _fragment; empty on time-out.
  std::string line_after(const std::string& _fragment, std::chrono::milliseconds _timeout = std::chrono::seconds(10));

 private:
  temp_directory m_directory{"svel-debug"};
  std::string m_endpoint;
  ::zmq::context_t m_context;
  ::zmq::socket_t m_socket;
};

}  // namespace kavo::libs::core::testing
