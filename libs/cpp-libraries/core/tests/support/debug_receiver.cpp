#include "debug_receiver.h"

#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

namespace kavo::libs::core::testing {

debug_receiver::debug_receiver() : m_socket(m_context, ::zmq::socket_type::pull) {
  m_endpoint = m_directory.endpoint("debug");
  m_socket.set(::zmq::sockopt::linger, 0);
  m_socket.bind(m_endpoint);
}

debug_receiver::~debug_receiver() {
  m_socket.close();
}

std::vector<std::string> debug_receiver::drain() {
  std::vector<std::string> messages;
  ::zmq::message_t message;
  while (m_socket.recv(message, ::zmq::recv_flags::dontwait)) {
    messages.push_back(message.to_string());
  }
  return messages;
}

bool debug_receiver::wait_for(const std::function<bool(const std::string&)>& _match, std::vector<std::string>& _seen,
                              std::chrono::milliseconds _timeout) {
  const auto deadline = std::chrono::steady_clock::now() + _timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) {
      return false;
    }
    ::zmq::pollitem_t item{m_socket.handle(), 0, ZMQ_POLLIN, 0};
    if (::zmq::poll(&item, 1, left) == 0) {
      return false;
    }
    ::zmq::message_t message;
    while (m_socket.recv(message, ::zmq::recv_flags::dontwait)) {
      _seen.push_back(message.to_string());
      if (_match(_seen.back())) {
        return true;
      }
    }
  }
}

std::string debug_receiver::line_after(const std::string& _fragment, std::chrono::milliseconds _timeout) {
  std::vector<std::string> seen;
  bool found = false;
  std::string next;
  wait_for(
      [&](const std::string& _line) {
        if (found) {
          next = _line;
          return true;
        }
        found = _line.find(_fragment) != std::string::npos;
        return false;
      },
      seen, _timeout);
  return next;
}

}  // namespace kavo::libs::core::testing
