#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"

namespace kavo::libs::core {

class events_loop_impl : public events_loop {
 public:
  events_loop_impl(core& _core, const component_logger& _logger);
  ~events_loop_impl() override;

  void run() override;
  void run_catch_exceptions(source_location _location) override;
  void stop() override;
  bool is_stopped() const override;
  signals_handle::ptr stop_on_signals() override;

  timers_manager& get_timers() override;
  timer::ptr create_timer(timer::time_point _deadline, const std::string& _name, timer::callback _callback,
                          source_location _location) override;
  periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                            timer::callback _callback, source_location _location) override;
  periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now _tag,
                                            const std::string& _name, timer::callback _callback,
                                            source_location _location) override;
  message_stream::ptr create_zmq_message_stream(const std::string& _address) override;
  message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) override;

  udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) override;
  udp::socket::ptr create_udp_socket(const std::string& _address, int _port) override;
  tcp::manager& get_tcp() override;
  zmq::manager& get_zmq() override;
  http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) override;
  http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                       const std::vector<http::method>& _disabled_methods, int _threads) override;
  async_operation_handle<boost::optional<redis::context::ptr>>::ptr create_redis_context(
      boost::string_view _ip, int _port, boost::string_view _password, int _db) override;

  void post(std::function<void()> _handler, source_location _location) override;
  work::ptr create_work() override;
  boost::asio::io_context& get_io_context() override;
  const boost::asio::io_context& get_io_context() const override;

 private:
  core& m_core;
  boost::asio::io_context m_io_context;
  const component_logger& m_logger;
  std::unique_ptr<timers_manager> m_timers;
  std::unique_ptr<tcp::manager> m_tcp;
  std::unique_ptr<zmq::manager> m_zmq;
};

}  // namespace kavo::libs::core
