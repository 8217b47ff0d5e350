#include "core/logger.h"

#include <syslog.h>

#include <cstring>
#include <exception>
#include <sstream>

namespace kavo::libs::core {

namespace {
constexpr int log_level_debug = LOG_DEBUG;
constexpr int log_level_info = LOG_INFO;
constexpr int log_level_warning = LOG_WARNING;
constexpr int log_level_error = LOG_ERR;
constexpr int debug_linger_ms = 5000;
}  // namespace

std::string exception_to_string() {
  try {
    throw;
  } catch (const located_exception& error) {
    return exception_to_string(error);
  } catch (const std::exception& error) {
    return std::string("std::exception::what(): ") + error.what();
  } catch (...) {
    return "Unknown exception";
  }
}

std::string exception_to_string(const located_exception& _exception) {
  std::ostringstream stream;
  _exception.describe(stream);
  return stream.str();
}

// --- formatter ---

component_logger::formatter::formatter(const boost::string_view& _format, int _log_level,
                                       const component_logger& _logger)
    : m_format(std::string(_format)), m_log_level(_log_level), m_logger(_logger) {
  // A statement with the wrong number of arguments is a programming error,
  // but it must never throw out of a log call or its destructor.
  m_format.exceptions(boost::io::all_error_bits ^ (boost::io::too_many_args_bit | boost::io::too_few_args_bit));
}

component_logger::formatter& component_logger::formatter::location(const source_location& _location) {
  m_source_location = _location;
  return *this;
}

component_logger::formatter& component_logger::formatter::function(const source_location& _location) {
  m_function = _location.function();
  return *this;
}

component_logger::formatter& component_logger::formatter::short_function(const source_location& _location) {
  m_function = _location.short_function();
  return *this;
}

component_logger::formatter& component_logger::formatter::date_time(const timestamp& _timestamp) {
  m_timestamp = _timestamp;
  return *this;
}

component_logger::formatter::~formatter() {
  try {
    std::string body;
    if (m_source_location) {
      const auto file = m_source_location->short_file();
      body.append(file.data(), file.size());
      body += ':';
      body += std::to_string(m_source_location->line());
      body += ' ';
    }
    if (!m_function.empty()) {
      body.append(m_function.data(), m_function.size());
      body += ": ";
    }
    body += m_format.str();
    if (m_format.remaining_args() > 0) {
      body += " <missing log arguments>";
    }
    m_logger.emit(m_log_level, m_timestamp ? *m_timestamp : timestamp::current_time(), body);
  } catch (...) {
    // Nothing sensible is left to do with a line that cannot be built.
  }
}

// --- component_logger ---

component_logger::component_logger(const logger& _logger, const std::string& _module_name,
                                   const std::string& _component_name)
    : m_logger(_logger), m_module_name(_module_name), m_zmq_prefix("&" + _module_name + ":" + _component_name + " ") {}

component_logger::ptr component_logger::component(const std::string& _name) const {
  return std::make_unique<component_logger>(m_logger, m_module_name, _name);
}

component_logger::formatter component_logger::debug(const boost::string_view& _format) const {
  return formatter(_format, log_level_debug, *this);
}

component_logger::formatter component_logger::info(const boost::string_view& _format) const {
  return formatter(_format, log_level_info, *this);
}

component_logger::formatter component_logger::warning(const boost::string_view& _format) const {
  return formatter(_format, log_level_warning, *this);
}

component_logger::formatter component_logger::error(const boost::string_view& _format) const {
  return formatter(_format, log_level_error, *this);
}

component_logger::indent_guard component_logger::enter(const std::string& _line) const {
  // The line is written at the current depth, before the depth grows.
  debug("%1%") % _line;
  ++m_indent;
  return execute_on_scope_exit([this] { --m_indent; });
}

namespace {
std::string file_and_line(const source_location& _location) {
  return std::string(_location.short_file()) + ":" + std::to_string(_location.line());
}
}  // namespace

component_logger::indent_guard component_logger::enter_function(source_location _location) const {
  return enter(std::string(_location.function()));
}

component_logger::indent_guard component_logger::enter_function_short(source_location _location,
                                                                      const boost::string_view& _name) const {
  return enter(std::string(_location.short_function()) + ": " + std::string(_name));
}

component_logger::indent_guard component_logger::enter_scope(source_location _location) const {
  return enter(file_and_line(_location));
}

component_logger::indent_guard component_logger::enter_scope(const boost::string_view& _name) const {
  return enter(std::string(_name));
}

component_logger::indent_guard component_logger::enter_scope(source_location _location,
                                                             const boost::string_view& _name) const {
  return enter(file_and_line(_location) + " (" + std::string(_name) + ")");
}

void component_logger::log_exception() const {
  if (m_logger.is_logger_enabled()) {
    error("%1%") % exception_to_string();
  }
}

void component_logger::log_exception(source_location _location) const {
  error("Caught exeption").location(_location);
  log_exception();
}

void component_logger::log_exception(const located_exception& _exception) const {
  if (m_logger.is_logger_enabled()) {
    error("%1%") % exception_to_string(_exception);
  }
}

void component_logger::log_error(const boost::system::error_code& _error, source_location _location) const {
  if (!m_logger.is_logger_enabled()) {
    return;
  }
  std::string message;
  if (_error.category() == boost::system::system_category()) {
    char buffer[256];
    message = strerror_r(_error.value(), buffer, sizeof(buffer));
  } else {
    message = _error.message();
  }
  error("%1%:%2%: %3%") % _location.short_file() % _location.line() % message;
}

std::string component_logger::make_indent() const {
  const int depth = m_indent;
  if (depth == 0) {
    return std::string();
  }
  return std::string(static_cast<std::size_t>(depth) * 4, ' ') + "| ";
}

void component_logger::emit(int _log_level, const timestamp& _time, const std::string& _body) const {
  const std::string time_text = _time.to_iso_8601(true, ' ', false) + " ";
  const std::string indent = make_indent();
  if (m_logger.is_debug()) {
    syslog(_log_level, "%s", (time_text + indent + _body).c_str());
  } else {
    syslog(_log_level, "%s", _body.c_str());
  }
  if (m_logger.is_writing_to_socket()) {
    m_logger.send_to_socket(m_zmq_prefix + time_text + indent + _body);
  }
}

// --- logger ---

logger::logger(const std::string& _module_name, const std::string& _component_name)
    : component_logger(*this, _module_name, _component_name),
      m_module_name(_module_name),
      m_zmq_context(),
      m_debug_socket(m_zmq_context, ::zmq::socket_type::push) {
  m_debug_socket.set(::zmq::sockopt::linger, debug_linger_ms);
  openlog(m_module_name.c_str(), 0, LOG_USER);
  set_debug(false);
  info("Starting %1%") % m_module_name;
}

logger::~logger() {
  closelog();
  // The socket closes before the context ends (members go in reverse order);
  // queued lines get up to the linger time to leave.
}

void logger::connect(std::string _address) {
  {
    std::lock_guard<std::mutex> lock(m_socket_mutex);
    m_debug_socket.connect(_address);
  }
  m_connected = true;
  debug("Connected to socket");
}

void logger::set_debug(bool _debug) {
  closelog();
  openlog(m_module_name.c_str(), _debug ? LOG_PERROR : 0, LOG_USER);
  setlogmask(_debug ? 0xff : 0x7f);
  m_debug = _debug;
}

void logger::send_to_socket(const std::string& _message) const {
  if (!m_connected) {
    return;  // no peer can exist yet: dropped, as a full queue would drop it
  }
  try {
    std::lock_guard<std::mutex> lock(m_socket_mutex);
    // An empty result means EAGAIN (no peer yet, or the queue is full): drop the line.
    (void)m_debug_socket.send(::zmq::buffer(_message), ::zmq::send_flags::dontwait);
  } catch (...) {
    // Called from a statement's destructor: other send errors drop the line too.
  }
}

}  // namespace kavo::libs::core
