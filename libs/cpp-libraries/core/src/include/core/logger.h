#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <boost/format.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>
#include <zmq.hpp>

#include "core/exception.h"
#include "core/scope_guard.h"
#include "core/source_location.h"
#include "core/timestamp.h"

namespace kavo::libs::core {

class logger;

// Describes the exception in flight; call only inside a catch handler.
std::string exception_to_string();
std::string exception_to_string(const located_exception& _exception);

// The logger of one component. Lines go to syslog and, prefixed with
// "&<module>:<component> ", to the logger's debug socket.
class component_logger {
 public:
  // One log statement; the line is emitted when the statement ends.
  class formatter {
   public:
    formatter(const boost::string_view& _format, int _log_level, const component_logger& _logger);
    formatter(const formatter&) = delete;
    formatter& operator=(const formatter&) = delete;
    ~formatter();

    template <typename T>
    formatter& operator%(T&& _argument) {
      m_format % std::forward<T>(_argument);
      return *this;
    }

    formatter& location(const source_location& _location);
    formatter& function(const source_location& _location);
    formatter& short_function(const source_location& _location);
    formatter& date_time(const timestamp& _timestamp);

   private:
    boost::format m_format;
    int m_log_level;
    const component_logger& m_logger;
    boost::optional<source_location> m_source_location;
    boost::string_view m_function;
    boost::optional<timestamp> m_timestamp;
  };

  using indent_guard = scope_guard;
  using ptr = std::unique_ptr<component_logger>;
  using log_method = formatter (component_logger::*)(const boost::string_view&) const;

  component_logger(const logger& _logger, const std::string& _module_name, const std::string& _component_name);
  virtual ~component_logger() = default;
  component_logger(const component_logger&) = delete;
  component_logger& operator=(const component_logger&) = delete;

  ptr component(const std::string& _name) const;

  formatter debug(const boost::string_view& _format) const;
  formatter info(const boost::string_view& _format) const;
  formatter warning(const boost::string_view& _format) const;
  formatter error(const boost::string_view& _format) const;

  indent_guard enter_function(source_location _location) const;
  indent_guard enter_function_short(source_location _location, const boost::string_view& _name) const;
  indent_guard enter_scope(source_location _location) const;
  indent_guard enter_scope(const boost::string_view& _name) const;
  indent_guard enter_scope(source_location _location, const boost::string_view& _name) const;

  void log_exception() const;
  void log_exception(source_location _location) const;
  void log_exception(const located_exception& _exception) const;
  void log_error(const boost::system::error_code& _error, source_location _location) const;

  std::string make_indent() const;

  // Runs the function; whatever it throws is logged. True when it completed.
  template <typename F>
  bool execute(F&& _function) const {
    try {
      std::forward<F>(_function)();
      return true;
    } catch (...) {
      log_exception();
      return false;
    }
  }

 private:
  void emit(int _log_level, const timestamp& _time, const std::string& _body) const;
  indent_guard enter(const std::string& _line) const;

  mutable std::atomic_int m_indent{0};
  const logger& m_logger;
  std::string m_module_name;
  std::string m_zmq_prefix;
};

// The process logger: owns the syslog identity and the debug socket.
class logger : public component_logger {
 public:
  logger(const std::string& _module_name, const std::string& _component_name);
  ~logger() override;

  // Starts sending every line to the ZeroMQ endpoint; throws zmq::error_t on a bad endpoint.
  void connect(std::string _address);

  void set_debug(bool _debug);
  bool is_debug() const { return m_debug; }
  void set_writing_to_socket(bool _writing) { m_writing_to_socket = _writing; }
  bool is_writing_to_socket() const { return m_writing_to_socket; }
  bool is_logger_enabled() const { return m_enable_logger; }

 private:
  friend class component_logger;
  // Never blocks: a line that cannot be queued at once is dropped.
  void send_to_socket(const std::string& _message) const;

  std::string m_module_name;
  std::atomic_bool m_debug{false};
  std::atomic_bool m_writing_to_socket{true};
  // A send before connect() makes ZeroMQ drop lines queued right after it.
  std::atomic_bool m_connected{false};
  bool m_enable_logger = true;
  ::zmq::context_t m_zmq_context;
  mutable std::mutex m_socket_mutex;
  mutable ::zmq::socket_t m_debug_socket;
};

}  // namespace kavo::libs::core
