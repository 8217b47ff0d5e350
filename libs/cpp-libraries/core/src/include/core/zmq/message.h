#pragma once

#include <zmq.h>

#include <cstddef>
#include <string>

#include <boost/utility/string_view.hpp>

namespace kavo::libs::core::zmq {

// One ZeroMQ frame; owns its zmq_msg_t. Move-only.
class message {
 public:
  message();
  explicit message(boost::string_view _bytes);
  message(const void* _data, std::size_t _size);
  message(message&& _other) noexcept;
  message& operator=(message&& _other) noexcept;
  message(const message&) = delete;
  message& operator=(const message&) = delete;
  ~message();

  const void* data() const;
  std::size_t size() const;
  boost::string_view view() const;
  std::string to_string() const { return std::string(view()); }

  zmq_msg_t* handle() { return &m_message; }

 private:
  // zmq_msg_t is not trivially movable; const access needs a mutable one.
  mutable zmq_msg_t m_message;
};

}  // namespace kavo::libs::core::zmq
