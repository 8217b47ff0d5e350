// The request cycle of the collector; the answers are in collector_results.cpp.
#include "collector.h"

#include <algorithm>
#include <set>


namespace kavo::svel {

namespace {
constexpr std::chrono::seconds processing_period{1};
constexpr std::chrono::seconds cleanup_period{60};
}  // namespace

collector::collector(internal_storage& _internal_storage, zan_messenger& _zan_messenger,
                     libs::core::timers_manager& _timers_manager, const libs::core::component_logger& _logger,
                     const settings& _settings, const network_settings& _network_settings)
    : m_internal_storage(_internal_storage),
      m_zan_messenger(_zan_messenger),
      m_timers_manager(_timers_manager),
      m_logger(_logger),
      m_settings(_settings),
      m_network_settings(_network_settings) {
  m_processing_timer = m_timers_manager.create_periodic_timer(
      processing_period, "processing", [this](libs::core::timer::time_point) { processing(); });
  m_cleanup_temporary_measurements_timer =
      m_timers_manager.create_periodic_timer(cleanup_period, "cleanup_temporary_measurements",
                                             [this](libs::core::timer::time_point) {
                                               on_cleanup_temporary_measurements_timer();
                                             });
  m_nbr_multicast_report_connection = m_zan_messenger.do_on_receive_nbr_multicast_report(
      [this](zan_messenger::multicast_report& _report) { on_receive_nbr_multicast_report(_report); });
  m_nbrs_parameter_connection = m_zan_messenger.do_on_receive_nbrs_parameter(
      [this](const std::string& _mac, const std::vector<zan_messenger::nbrs_parameter_item>& _items,
             const libs::core::timestamp& _time) { on_receive_nbrs_parameter(_mac, _items, _time); });
}

collector::~collector() {
  // The messenger outlives us; no slot may reach a destroyed collector.
  m_nbr_multicast_report_connection.disconnect();
  m_nbrs_parameter_connection.disconnect();
}

time_t collector::now_seconds() const {
  return static_cast<time_t>(m_timers_manager.current_timestamp().get_time_since_epoch().count() / 1000);
}

void collector::processing() {
  for (const auto& project : m_internal_storage.get_projects()) {
    const time_t now = now_seconds();
    if (project.last_req_ts != 0 &&
        now - project.last_req_ts < static_cast<time_t>(m_settings.get_timeout_between_requests())) {
      continue;
    }
    age_unanswered_pairs(now, project.project_uid);
    request_project(now, project);
  }
}

void collector::age_unanswered_pairs(time_t _now, const std::string& _project_uid) {
  const auto overripe = m_internal_storage.get_overripe_measurements(
      _project_uid, _now - m_settings.get_timeout_waiting_for_response(), m_settings.get_number_of_requests());
  for (auto pair : overripe) {
    // An entry without LQI at the time of the unanswered request.
    record_entry(pair, boost::none, pair.req_counter.timestamp, m_settings.get_history_size());
    m_internal_storage.update_measurement(pair);
  }
}

void collector::request_project(time_t _now, const internal_storage::saved_project& _project) {
  while (true) {
    auto candidate = choose_anchor(_now, _project.project_uid);
    if (!candidate) {
      return;
    }
    if (candidate->request_parameter) {
      request_parameter(_now, candidate->anchor);
      return;
    }
    if (!candidate->request_multicast.empty()) {
      perform_multicast_request(_now, std::move(*candidate));
      return;
    }
  }
}

boost::optional<collector::anchor_candidate> collector::choose_anchor(time_t _now, const std::string& _project_uid) {
  const auto max_lqi_time = _now - static_cast<time_t>(m_settings.get_data_expiration_timeout());
  const auto max_request_time = _now - static_cast<time_t>(m_settings.get_timeout_waiting_for_response());
  const auto parameter_due_time = _now - static_cast<time_t>(m_settings.get_timeout_between_parameter_requests());
  const unsigned int nar = m_settings.get_number_of_anchors_in_request();

  while (true) {
    const auto anchor = m_internal_storage.get_most_unrequested_anchor(_project_uid);
    if (!anchor) {
      return boost::none;
    }
    anchor_candidate candidate;
    candidate.anchor = *anchor;
    candidate.request_parameter = !anchor->parameter_requested && anchor->last_param_req_ts <= parameter_due_time;
    if (anchor->last_req_ts == _now) {
      return boost::none;  // every anchor of the project was visited in this second
    }
    candidate.request_multicast =
        m_internal_storage.get_most_unrequested_measurements(anchor->id, max_lqi_time, max_request_time, nar, false);

    if (m_network_settings.is_in_service_mode(_project_uid)) {
      // Passive pairs join the request, but only as many as one request can
      // name: a longer one would be refused every time and stall the project.
      const auto room = max_number_of_anchors_in_request - candidate.request_multicast.size();
      if (room > 0) {
        auto passive = m_internal_storage.get_most_unrequested_measurements(
            anchor->id, max_lqi_time, max_request_time, std::min<unsigned int>(nar, room), true);
        std::move(passive.begin(), passive.end(), std::back_inserter(candidate.request_multicast));
      }
      if (!candidate.request_multicast.empty()) {
        return candidate;
      }
    } else {
      if (!candidate.request_multicast.empty()) {
        return candidate;
      }
      // Outside service mode passive pairs are served by neighbour tables only.
      const auto passive =
          m_internal_storage.get_most_unrequested_measurements(anchor->id, max_lqi_time, max_request_time, nar, true);
      candidate.request_parameter = anchor->last_param_req_ts <= parameter_due_time;
      if (!passive.empty() && candidate.request_parameter) {
        return candidate;
      }
    }
    // No work: to the back of the queue.
    m_internal_storage.update_anchor_last_req_ts(anchor->body.anchor_uid, _now);
  }
}

void collector::perform_multicast_request(time_t _now, anchor_candidate _candidate) {
  const auto& chosen = _candidate.anchor;
  std::set<uint16_t> responders;
  for (const auto& pair : _candidate.request_multicast) {
    const int other = pair.anchor_id_1 == chosen.id ? pair.anchor_id_2 : pair.anchor_id_1;
    if (const auto responder = m_internal_storage.get_anchor(static_cast<unsigned int>(other))) {
      responders.insert(static_cast<uint16_t>(responder->body.node_id));
    }
  }
  if (!m_zan_messenger.send_nbr_multicast_request(responders, chosen.body.mac)) {
    return;  // nothing recorded: the same anchor comes first again next time
  }
  m_internal_storage.update_project_last_req_ts(chosen.body.project_uid, _now);
  m_internal_storage.update_anchor_last_req_ts(chosen.body.anchor_uid, _now);
  m_internal_storage.update_anchor_parameter_requested(chosen.body.anchor_uid, false);
  for (const auto& pair : _candidate.request_multicast) {
    m_internal_storage.update_measurement_req_counter(
        pair.anchor_id_1, pair.anchor_id_2, internal_storage::counter{pair.req_counter.value + 1, _now});
  }
}

bool collector::request_parameter(time_t _now, internal_storage::saved_anchor _anchor) {
  if (m_zan_messenger.send_nbrs_param_request(_anchor.body.mac)) {
    m_internal_storage.update_anchor_last_param_req_ts(_anchor.body.anchor_uid, _now);
    m_internal_storage.update_anchor_parameter_requested(_anchor.body.anchor_uid, true);
  }
  return true;
}

}  // namespace kavo::svel
