#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "core/async_operation_handle.h"
#include "core/http/client.h"
#include "core/http/method.h"
#include "core/ip_protocol.h"
#include "core/message_stream.h"
#include "core/network_clients.h"
#include "core/periodic_timer.h"
#include "core/source_location.h"
#include "core/timer.h"
#include "core/timers_manager.h"
#include "core/zmq/manager.h"

namespace kavo::libs::core {

// A single-threaded event loop and the factory of everything that runs on it.
class events_loop {
 public:
  using ptr = std::unique_ptr<events_loop>;

  class signals_handle {
   public:
    using ptr = std::unique_ptr<signals_handle>;
    virtual ~signals_handle() = default;
    virtual bool signal_is_received() const = 0;
  };

  // While one exists, run() does not return for lack of work.
  class work {
   public:
    using ptr = std::unique_ptr<work>;
    virtual ~work() = default;
  };

  virtual ~events_loop() = default;
  virtual void run() = 0;
  // Runs the loop; an exception escaping a handler is logged with the given
  // location and the loop resumes.
  virtual void run_catch_exceptions(source_location _location) = 0;
  virtual void stop() = 0;
  virtual bool is_stopped() const = 0;
  // Stops this loop on the first SIGINT or SIGTERM that arrives while the
  // handle lives. Once one has been handled, both signals get their default
  // action back: a second one ends the process at once.
  virtual signals_handle::ptr stop_on_signals() = 0;

  virtual timers_manager& get_timers() = 0;
  virtual timer::ptr create_timer(timer::time_point _deadline, const std::string& _name, timer::callback _callback,
                                  source_location _location = source_location()) = 0;
  virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                    timer::callback _callback,
                                                    source_location _location = source_location()) = 0;
  virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                                    const std::string& _name, timer::callback _callback,
                                                    source_location _location = source_location()) = 0;
  // Notifications ("#<topic>...{json}") and whole frames of a publisher.
  virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
  virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;

  virtual udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) = 0;
  virtual udp::socket::ptr create_udp_socket(const std::string& _address, int _port) = 0;
  virtual tcp::manager& get_tcp() = 0;
  virtual zmq::manager& get_zmq() = 0;
  // Ten worker threads, no disabled methods.
  virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) = 0;
  // Disabled methods are answered locally with 200 and an empty body.
  virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                               const std::vector<http::method>& _disabled_methods,
                                               int _threads) = 0;
  virtual async_operation_handle<boost::optional<redis::context::ptr>>::ptr create_redis_context(
      boost::string_view _ip, int _port, boost::string_view _password, int _db) = 0;

  // Queues the handler for the loop thread; never runs it inline. Any thread.
  virtual void post(std::function<void()> _handler, source_location _location = source_location()) = 0;
  virtual work::ptr create_work() = 0;
  virtual boost::asio::io_context& get_io_context() = 0;
  virtual const boost::asio::io_context& get_io_context() const = 0;
};

}  // namespace kavo::libs::core
