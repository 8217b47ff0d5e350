#include "config.h"

#include <tuple>

#include "config_parser/config.h"
#include "core/exception.h"

namespace kavo::svel {

namespace {

void check(bool _condition, const char* _message, const libs::core::source_location& _location) {
  if (!_condition) {
    throw libs::core::exception(_message, _location);
  }
}

bool in_percent_range(int _value) {
  return _value >= 1 && _value <= 99;
}

}  // namespace

config::config(std::istream& _stream) {
  using std::string;
  const auto reader = libs::config::config::create<libs::config::type::json>(_stream);
  const auto& r = *reader;

  const auto required =
      r.get_by_path<string>({"system", "pidfile"}) + r.get_by_path<string>({"system", "debug_endpoint"}) +
      r.get_by_path<string>({"system", "system_notifications_endpoint"}) +
      r.get_by_path<string>({"system", "binary_output_endpoint"}) +
      r.get_by_path<string>({"system", "rest_api_server", "url"}) +
      r.get_by_path<int>({"system", "rest_api_server", "timeout"}) +
      r.get_by_path<string>({"system", "sqlite_db_file"}) + r.get_by_path<int>({"api_service", "port"}) +
      r.get_by_path<bool>({"api_service", "authorization"}) +
      r.get_by_path<bool>({"api_service", "cpu_throttling", "enabled"}) +
      r.get_by_path<int>({"api_service", "cpu_throttling", "upper_threshold"}) +
      r.get_by_path<int>({"api_service", "cpu_throttling", "lower_threshold"}) +
      r.get_by_path<int>({"collection_settings", "timeout_between_requests"}) +
      r.get_by_path<int>({"collection_settings", "timeout_between_parameter_requests"}) +
      r.get_by_path<int>({"collection_settings", "number_of_anchors_in_request"}) +
      r.get_by_path<int>({"collection_settings", "data_expiration_timeout"}) +
      r.get_by_path<int>({"collection_settings", "history_size"}) +
      r.get_by_path<int>({"collection_settings", "maximum_distance"});
  if (!required.ok()) {
    throw libs::core::exception("Config file is invalid: " + required.reason(), CORE_LOCATION);
  }

  // A mistyped optional key counts as missing.
  debug.logger_debug = r.get_by_path<bool>({"debug", "logger_debug"}).try_get().value_or(debug.logger_debug);
  debug.modify_server_state =
      r.get_by_path<bool>({"debug", "modify_server_state"}).try_get().value_or(debug.modify_server_state);
  debug.proc_stat_file = r.get_by_path<string>({"debug", "proc_stat_file"}).try_get().value_or(debug.proc_stat_file);

  int timeout_between_requests = 0;
  int timeout_between_parameter_requests = 0;
  int number_of_anchors_in_request = 0;
  int data_expiration_timeout = 0;
  int history_size = 0;
  int maximum_distance = 0;
  std::tie(system.pidfile, system.debug_endpoint, system.system_notifications_endpoint, system.binary_output_endpoint,
           system.rest_api_server.url, system.rest_api_server.timeout, system.sqlite_db_file, api_service.port,
           api_service.authorization, api_service.cpu_throttling.enabled, api_service.cpu_throttling.upper_threshold,
           api_service.cpu_throttling.lower_threshold, timeout_between_requests, timeout_between_parameter_requests,
           number_of_anchors_in_request, data_expiration_timeout, history_size, maximum_distance) = required.value();

  const auto& throttling = api_service.cpu_throttling;
  check(in_percent_range(throttling.upper_threshold),
        "api_service.cpu_throttling.upper_threshold must be in range [1,99]", CORE_LOCATION);
  check(in_percent_range(throttling.lower_threshold),
        "api_service.cpu_throttling.lower_threshold must be in range [1,99]", CORE_LOCATION);
  check(throttling.lower_threshold < throttling.upper_threshold,
        "api_service.cpu_throttling.upper_threshold must be more than api_service.cpu_throttling.lower_threshold",
        CORE_LOCATION);
  check(maximum_distance >= 0, "collection_settings.maximum_distance must be a positive number", CORE_LOCATION);

  // Negative values wrap to huge unsigned ones and fail their range checks.
  global_settings = settings(1, 1, static_cast<unsigned int>(timeout_between_requests),
                             static_cast<unsigned int>(timeout_between_parameter_requests),
                             static_cast<unsigned int>(number_of_anchors_in_request),
                             static_cast<unsigned int>(data_expiration_timeout),
                             static_cast<unsigned int>(history_size), static_cast<unsigned int>(maximum_distance));
}

}  // namespace kavo::svel
