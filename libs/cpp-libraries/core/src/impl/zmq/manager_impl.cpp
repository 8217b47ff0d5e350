#include "impl/zmq/manager_impl.h"

#include "impl/zmq/socket_impl.h"

namespace kavo::libs::core::zmq {

manager_impl::manager_impl(boost::asio::io_context& _io_context, const component_logger& _logger)
    : m_io_context(_io_context), m_logger(_logger) {}

socket::ptr manager_impl::connect(socket::type _type, std::string _address) {
  return socket_impl::connect(_type, m_io_context, m_logger, _address);
}

socket::ptr manager_impl::bind(socket::type _type, std::string _address) {
  return socket_impl::bind(_type, m_io_context, m_logger, _address);
}

}  // namespace kavo::libs::core::zmq
