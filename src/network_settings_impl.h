#pragma once

#include <string>
#include <unordered_map>

#include <json/value.h>

#include "core/http/client.h"
#include "core/logger.h"
#include "core/message_stream.h"
#include "core/timers_manager.h"
#include "network_settings.h"

namespace kavo::svel {

// Service-mode ends per project, loaded from the context API at start,
// refreshed hourly and kept current by "NWK_SETTINGS" notifications.
class network_settings_impl : public network_settings {
 public:
  // Loads the settings before returning; throws when that fails, so the
  // caller can try again later.
  network_settings_impl(libs::core::message_stream& _system_notifications_stream, libs::core::http::client& _http_client,
                        libs::core::timers_manager& _timers_manager, const libs::core::component_logger& _logger);

  bool is_in_service_mode(const std::string& _project_uid) const override;

  static const std::string s_API_PATH;

 private:
  void initial_request_network_settings();
  void async_request_network_settings();
  void on_http_response(const libs::core::http::result& _result);
  void on_notify(boost::string_view _body);
  void on_network_settings(const Json::Value& _item);

  const libs::core::component_logger& m_logger;
  libs::core::http::client& m_http_client;
  libs::core::timers_manager& m_timers_manager;
  libs::core::message_stream::subscription::ptr m_notify_subscription;
  libs::core::periodic_timer::ptr m_periodic_request_timer;
  std::unordered_map<std::string, libs::core::timestamp> m_in_service_mode;
  // Kept until answered or replaced: a dropped handle gets no answer.
  libs::core::http::client::handle_ptr m_request_handle;
};

}  // namespace kavo::svel
