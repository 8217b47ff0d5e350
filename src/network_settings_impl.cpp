#include "network_settings_impl.h"

#include <boost/format.hpp>

#include "core/json.h"

namespace kavo::svel {

const std::string network_settings_impl::s_API_PATH = "/api/private/network_settings/";

namespace {
constexpr std::chrono::seconds refresh_period{3600};
}

network_settings_impl::network_settings_impl(libs::core::message_stream& _system_notifications_stream,
                                             libs::core::http::client& _http_client,
                                             libs::core::timers_manager& _timers_manager,
                                             const libs::core::component_logger& _logger)
    : m_logger(_logger), m_http_client(_http_client), m_timers_manager(_timers_manager) {
  m_notify_subscription =
      _system_notifications_stream.subscribe("notify", [this](boost::string_view _body) { on_notify(_body); });
  m_periodic_request_timer = m_timers_manager.create_periodic_timer(
      refresh_period, "network_settings_periodic_request",
      [this](libs::core::timer::time_point) { async_request_network_settings(); }, CORE_LOCATION);
  const auto guard = m_logger.enter_function(CORE_LOCATION);
  initial_request_network_settings();
}

bool network_settings_impl::is_in_service_mode(const std::string& _project_uid) const {
  const auto found = m_in_service_mode.find(_project_uid);
  return found != m_in_service_mode.end() && m_timers_manager.current_timestamp() < found->second;
}

void network_settings_impl::initial_request_network_settings() {
  on_http_response(m_http_client.perform_request(libs::core::http::method::get, s_API_PATH));
}

void network_settings_impl::async_request_network_settings() {
  const auto guard = m_logger.enter_function(CORE_LOCATION);
  m_logger.debug("Requesting network settings from API").location(CORE_LOCATION);
  m_request_handle = m_http_client.perform_async_request(
      libs::core::http::method::get, s_API_PATH,
      [this](libs::core::http::result _result) { on_http_response(_result); });
}

void network_settings_impl::on_http_response(const libs::core::http::result& _result) {
  const auto guard = m_logger.enter_function(CORE_LOCATION);
  if (!_result.ok()) {
    // An empty error text says no more than a missing one.
    const auto& error = _result.error();
    throw libs::core::exception((boost::format("network_settings: request failed: '%1%', status_code=%2%") %
                                 (error && !error->empty() ? *error : std::string("Unknown error")) %
                                 _result.status_code().value_or(-1))
                                    .str(),
                                CORE_LOCATION);
  }
  if (!_result.data()) {
    throw libs::core::exception("network_settings: HTTP response has no data", CORE_LOCATION);
  }
  const auto parsed = libs::core::json::try_parse(*_result.data());
  if (!parsed.ok) {
    throw libs::core::exception("parse error: " + parsed.error, CORE_LOCATION);
  }
  for (const auto& item : parsed.result["network_settings"]) {
    on_network_settings(item);
  }
}

void network_settings_impl::on_network_settings(const Json::Value& _item) {
  const auto& project_uid = _item["project_uid"];
  if (!project_uid.isString()) {
    return;
  }
  const std::string uid = project_uid.asString();
  const auto& service_mode = _item["service_mode"];
  const auto& enabled = service_mode["enabled"];
  const auto& enabled_at = service_mode["enabled_at"];
  const auto& duration_value = service_mode["duration"];
  if (!(enabled.isBool() && enabled.asBool() && enabled_at.isString() && duration_value.isNumeric())) {
    m_in_service_mode.erase(uid);
    return;
  }
  // Read as UTC whatever zone suffix follows the seconds.
  const auto start = libs::core::timestamp::try_parse(enabled_at.asString());
  const int duration = duration_value.asInt();
  if (!start || duration < 0) {
    m_in_service_mode.erase(uid);
    return;
  }
  m_in_service_mode[uid] = *start + std::chrono::minutes(duration);
  const auto now = m_timers_manager.current_timestamp();
  for (auto entry = m_in_service_mode.begin(); entry != m_in_service_mode.end();) {
    entry = entry->second <= now ? m_in_service_mode.erase(entry) : std::next(entry);
  }
}

void network_settings_impl::on_notify(boost::string_view _body) {
  libs::core::json::validator validator("network_settings notify parse", m_logger,
                                        &libs::core::component_logger::debug, CORE_LOCATION);
  const auto parsed = libs::core::json::try_parse(_body);
  const auto& body = validator.ensure_ok(parsed, "<body>");
  if (!validator.ok()) {
    return;
  }
  const auto object = validator.get_string_view(body, "object", ".");
  if (!object || *object != "NWK_SETTINGS") {
    return;
  }
  m_logger.debug("Received NWK_SETTINGS notification").location(CORE_LOCATION);
  const auto plist = validator.get_object(body, "plist", ".");
  if (!plist) {
    return;
  }
  on_network_settings(*plist);
}

}  // namespace kavo::svel
