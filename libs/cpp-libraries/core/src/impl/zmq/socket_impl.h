#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "core/logger.h"
#include "core/zmq/socket.h"
#include "impl/zmq/asio_socket.h"

namespace kavo::libs::core::zmq {

class socket_impl : public socket {
 public:
  // Both throw exception "zmq::socket_impl::connect to <address>: <reason>"
  // (or "bind to") when the endpoint cannot be used.
  static ptr connect(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                     const std::string& _address);
  static ptr bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                  const std::string& _address);

  socket_impl(std::unique_ptr<asio_socket> _socket, const component_logger& _logger);
  ~socket_impl() override;

  void set_receive_callback(callback _callback) override;
  void send(message _message) override;
  void send(message _message, flags _flags) override;
  bool try_send(message _message) override;
  bool try_send(message _message, flags _flags) override;
  message receive_more() override;

  // The ZeroMQ socket type of an enumerator; -1 for a value outside it.
  static int to_zmq_type(socket::type _type);

 private:
  // Pending receives hold this, so a completion after destruction sees the socket gone.
  struct shared_data {
    bool m_socket_alive = true;
    callback m_receive_callback;
  };

  void setup_receive();

  std::unique_ptr<asio_socket> m_socket;
  const component_logger& m_logger;
  std::shared_ptr<shared_data> m_data;
};

}  // namespace kavo::libs::core::zmq
