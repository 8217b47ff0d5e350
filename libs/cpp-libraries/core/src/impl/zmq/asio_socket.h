#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

#include "core/zmq/message.h"

namespace kavo::libs::core::zmq {

// A ZeroMQ socket driven by an io_context: the socket's notification
// descriptor (ZMQ_FD) is watched by the loop's reactor. ZeroMQ signals that
// descriptor edge-triggered, so ZMQ_EVENTS is read before every wait and
// after every send, and frames are drained until EAGAIN. All sockets share
// one ZeroMQ context while any exists. Closed with zero linger.
class asio_socket {
 public:
  using receive_handler = std::function<void(const boost::system::error_code&, message&, std::size_t)>;

  asio_socket(boost::asio::io_context& _io_context, int _zmq_type);
  ~asio_socket();
  asio_socket(const asio_socket&) = delete;
  asio_socket& operator=(const asio_socket&) = delete;

  // Both throw boost::system::system_error with ZeroMQ's error code.
  void connect(const std::string& _address);
  void bind(const std::string& _address);
  void set_option(int _option, const void* _value, std::size_t _size);

  // One receive at a time; the handler runs on the loop thread, never inline.
  void async_receive(receive_handler _handler);
  // Completes the pending receive with operation_aborted.
  void cancel();

  // False when ZeroMQ would block; other errors throw.
  bool try_send(message& _message, int _flags);
  void send(message& _message, int _flags);
  message receive_more();

 private:
  struct state;
  std::shared_ptr<state> m_state;
};

}  // namespace kavo::libs::core::zmq
