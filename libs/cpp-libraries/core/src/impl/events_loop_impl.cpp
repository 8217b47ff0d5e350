#include "impl/events_loop_impl.h"

#include <chrono>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "impl/http/client_impl.h"
#include "impl/message_stream_zmq.h"
#include "impl/message_stream_zmq_raw.h"
#include "impl/signals_handle_impl.h"
#include "impl/timers_manager_impl.h"
#include "impl/zmq/manager_impl.h"

namespace kavo::libs::core {

namespace {
constexpr std::chrono::seconds final_drain_limit{10};

[[noreturn]] void not_supported(const char* _what, const source_location& _location) {
  throw exception(std::string(_what) + " is not supported by this build", _location);
}
}  // namespace

events_loop_impl::events_loop_impl(core& _core, const component_logger& _logger)
    : m_core(_core), m_io_context(), m_logger(_logger) {
  m_timers = std::make_unique<timers_manager_impl>(*this, m_logger);
  m_zmq = std::make_unique<zmq::manager_impl>(m_io_context, m_logger);
}

events_loop_impl::~events_loop_impl() {
  // Let the completions of operations cancelled by the components just
  // destroyed run and release their shared state, but never wait forever.
  m_io_context.restart();
  const auto deadline = std::chrono::steady_clock::now() + final_drain_limit;
  while (true) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      break;
    }
    try {
      if (m_io_context.run_one_for(std::chrono::duration_cast<std::chrono::nanoseconds>(left)) == 0) {
        break;
      }
    } catch (...) {
      // One failing completion must not keep the others from releasing their state.
      m_logger.log_exception(CORE_LOCATION);
    }
  }
  m_zmq.reset();
  m_tcp.reset();
  m_timers.reset();
}

void events_loop_impl::run() {
  m_io_context.run();
}

void events_loop_impl::run_catch_exceptions(source_location _location) {
  while (true) {
    try {
      run();
      return;
    } catch (...) {
      m_logger.log_exception(_location);
    }
  }
}

void events_loop_impl::stop() {
  m_io_context.stop();
}

bool events_loop_impl::is_stopped() const {
  return m_io_context.stopped();
}

events_loop::signals_handle::ptr events_loop_impl::stop_on_signals() {
  return std::make_unique<signals_handle_impl>(m_core, *this);
}

timers_manager& events_loop_impl::get_timers() {
  return *m_timers;
}

timer::ptr events_loop_impl::create_timer(timer::time_point _deadline, const std::string& _name,
                                          timer::callback _callback, source_location _location) {
  return m_timers->create_timer(_deadline, _name, std::move(_callback), _location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                            timer::callback _callback, source_location _location) {
  return m_timers->create_periodic_timer(_period, _name, std::move(_callback), _location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                            periodic_timer::execute_now _tag, const std::string& _name,
                                                            timer::callback _callback, source_location _location) {
  return m_timers->create_periodic_timer(_period, _tag, _name, std::move(_callback), _location);
}

message_stream::ptr events_loop_impl::create_zmq_message_stream(const std::string& _address) {
  return std::make_unique<message_stream_zmq>(get_io_context(), m_logger, _address);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(const std::string& _address) {
  return std::make_unique<message_stream_zmq_raw>(get_io_context(), m_logger, _address);
}

udp::socket::ptr events_loop_impl::create_udp_socket(ip_protocol, int) {
  not_supported("UDP", CORE_LOCATION);
}

udp::socket::ptr events_loop_impl::create_udp_socket(const std::string&, int) {
  not_supported("UDP", CORE_LOCATION);
}

tcp::manager& events_loop_impl::get_tcp() {
  not_supported("TCP client", CORE_LOCATION);
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout) {
  return create_http_client(_address, _timeout, {}, 10);
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                                       const std::vector<http::method>& _disabled_methods,
                                                       int _threads) {
  return std::make_unique<http::client_impl>(*this, m_core, m_logger, _address, _timeout, _disabled_methods,
                                             _threads);
}

async_operation_handle<boost::optional<redis::context::ptr>>::ptr events_loop_impl::create_redis_context(
    boost::string_view, int, boost::string_view, int) {
  not_supported("Redis", CORE_LOCATION);
}

void events_loop_impl::post(std::function<void()> _handler, source_location /*_location*/) {
  boost::asio::post(m_io_context, std::move(_handler));
}

events_loop::work::ptr events_loop_impl::create_work() {
  // Giving the last unit of work back stops the io_context, so run() returns.
  class work_impl : public work {
   public:
    explicit work_impl(boost::asio::io_context& _io_context) : m_guard(_io_context.get_executor()) {}

   private:
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_guard;
  };
  return std::make_unique<work_impl>(m_io_context);
}

zmq::manager& events_loop_impl::get_zmq() {
  return *m_zmq;
}

boost::asio::io_context& events_loop_impl::get_io_context() {
  return m_io_context;
}

const boost::asio::io_context& events_loop_impl::get_io_context() const {
  return m_io_context;
}

}  // namespace kavo::libs::core
