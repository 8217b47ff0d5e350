#include "impl/zmq/socket_impl.h"

#include <zmq.h>

#include <boost/system/system_error.hpp>

#include "core/scope_guard.h"

namespace kavo::libs::core::zmq {

namespace {

template <typename Attach>
socket::ptr make_socket(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                        const std::string& _address, const char* _verb, const source_location& _location,
                        Attach _attach) {
  try {
    auto binding = std::make_unique<asio_socket>(_io_context, socket_impl::to_zmq_type(_type));
    _attach(*binding, _address);
    return std::make_unique<socket_impl>(std::move(binding), _logger);
  } catch (const boost::system::system_error& error) {
    throw exception(std::string("zmq::socket_impl::") + _verb + " to " + _address + ": " + error.code().message(),
                    _location);
  }
}

}  // namespace

int socket_impl::to_zmq_type(socket::type _type) {
  switch (_type) {
    case type::push:
      return ZMQ_PUSH;
    case type::pull:
      return ZMQ_PULL;
    case type::pub:
      return ZMQ_PUB;
    case type::req:
      return ZMQ_REQ;
    case type::rep:
      return ZMQ_REP;
  }
  return -1;
}

socket::ptr socket_impl::connect(socket::type _type, boost::asio::io_context& _io_context,
                                 const component_logger& _logger, const std::string& _address) {
  return make_socket(_type, _io_context, _logger, _address, "connect", CORE_LOCATION,
                     [](asio_socket& _socket, const std::string& _to) { _socket.connect(_to); });
}

socket::ptr socket_impl::bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                              const std::string& _address) {
  return make_socket(_type, _io_context, _logger, _address, "bind", CORE_LOCATION,
                     [](asio_socket& _socket, const std::string& _to) { _socket.bind(_to); });
}

socket_impl::socket_impl(std::unique_ptr<asio_socket> _socket, const component_logger& _logger)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {}

socket_impl::~socket_impl() {
  m_data->m_socket_alive = false;
  m_socket.reset();
}

void socket_impl::set_receive_callback(callback _callback) {
  const bool first = !m_data->m_receive_callback;
  m_data->m_receive_callback = std::move(_callback);
  if (first) {
    setup_receive();
  }
}

void socket_impl::setup_receive() {
  m_socket->async_receive(
      [data = m_data, this](const boost::system::error_code& _error, message& _message, std::size_t /*_size*/) {
        if (!data->m_socket_alive || _error) {
          return;  // destroyed, or receiving ended for good
        }
        // Re-armed also when the callback throws, so one bad frame does not stop receiving.
        const auto next = execute_on_scope_exit([data, this] {
          if (data->m_socket_alive) {
            setup_receive();
          }
        });
        // Called through a copy: the callback may replace itself, which would destroy it mid-call.
        const callback current = data->m_receive_callback;
        current(_message);
      });
}

void socket_impl::send(message _message) {
  send(std::move(_message), flags::none);
}

void socket_impl::send(message _message, flags _flags) {
  m_socket->send(_message, static_cast<int>(_flags));
}

bool socket_impl::try_send(message _message) {
  return try_send(std::move(_message), flags::none);
}

bool socket_impl::try_send(message _message, flags _flags) {
  return m_socket->try_send(_message, static_cast<int>(_flags));
}

message socket_impl::receive_more() {
  return m_socket->receive_more();
}

}  // namespace kavo::libs::core::zmq
