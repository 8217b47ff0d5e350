// The answering half of the collector: reports, neighbour tables and the
// clean-up of temporary pairs.
#include "collector.h"
#include "internal_storage/history.h"
#include "utils.h"

namespace kavo::svel {

void collector::record_entry(internal_storage::measurement& _pair, boost::optional<uint32_t> _lqi, int64_t _time,
                             unsigned int _history_size) {
  history entries(_pair.data);
  entries.push_back(history::measurement{_lqi, static_cast<uint64_t>(_time)});
  entries.cut_down_to_size(_history_size);
  _pair.req_counter.value = 0;
  _pair.adjusted_average_measurement.lqi = adjusted_lqi(entries);
  _pair.adjusted_average_measurement.timestamp = _time;
}

boost::optional<uint8_t> collector::adjusted_lqi(const history& _entries) {
  const auto average = _entries.get_adjusted_average_lqi();
  return average ? boost::optional<uint8_t>(static_cast<uint8_t>(*average)) : boost::none;
}

void collector::on_receive_nbr_multicast_report(zan_messenger::multicast_report& _report) {
  const auto reporter = m_internal_storage.get_anchor_by_mac(_report.mac);
  if (!reporter) {
    return;
  }
  const auto multicaster = m_internal_storage.get_anchor_by_node_id(_report.multicaster_id);
  if (!multicaster) {
    return;
  }
  auto pair = m_internal_storage.get_measurement(reporter->id, multicaster->id);
  if (!pair) {
    return;  // a report never creates a pair
  }
  record_entry(*pair, _report.lqi, static_cast<int64_t>(_report.ts), m_settings.get_history_size());
  m_internal_storage.update_measurement(*pair);
}

void collector::on_receive_nbrs_parameter(const std::string& _mac,
                                          const std::vector<zan_messenger::nbrs_parameter_item>& _items,
                                          const libs::core::timestamp& _time) {
  // Stored MACs are lower case; gateways may send them in upper case.
  const auto reporter = m_internal_storage.get_anchor_by_mac(to_lower(_mac));
  if (!reporter) {
    return;
  }
  const int64_t t = _time.get_time_since_epoch().count() / 1000;
  for (const auto& item : _items) {
    const auto neighbour = m_internal_storage.get_anchor_by_node_id(static_cast<unsigned int>(item.node_id));
    if (!neighbour) {
      continue;
    }
    auto stored = m_internal_storage.get_measurement(reporter->id, neighbour->id);
    const bool add_new = !stored;
    internal_storage::measurement pair =
        stored ? *stored
               : internal_storage::measurement(reporter->id, neighbour->id, true,
                                               reporter->body.battery || neighbour->body.battery,
                                               internal_storage::counter{0, 0}, {}, {});
    const int64_t heard = t - item.e;
    const int64_t limit = pair.adjusted_average_measurement.timestamp.value_or(0) +
                          static_cast<int64_t>(m_settings.get_timeout_between_parameter_requests());
    if (heard < limit) {
      continue;  // not newer than what the pair holds by at least the parameter period
    }
    record_entry(pair, static_cast<uint32_t>(item.lqi), t, m_settings.get_history_size());
    if (add_new) {
      m_internal_storage.add_measurement(pair);
    } else {
      m_internal_storage.update_measurement(pair);
    }
  }
}

void collector::on_cleanup_temporary_measurements_timer() {
  const int64_t storage_duration_ms = static_cast<int64_t>(m_settings.get_history_size()) *
                                      static_cast<int64_t>(m_settings.get_data_expiration_timeout()) * 1000;
  const int64_t cut_of_time = m_timers_manager.current_timestamp().get_time_since_epoch().count() - storage_duration_ms;
  for (auto pair : m_internal_storage.get_temporary_measurements()) {
    history entries(pair.data);
    bool need_update = false;
    while (entries.size() > 0) {
      if (static_cast<int64_t>(entries[0]->ts) * 1000 > cut_of_time) {
        break;
      }
      entries.pop_front();
      need_update = true;
    }
    if (!need_update) {
      continue;
    }
    if (entries.size() == 0) {
      m_internal_storage.delete_measurement(pair.anchor_id_1, pair.anchor_id_2);
    } else {
      pair.adjusted_average_measurement.lqi = adjusted_lqi(entries);
      m_internal_storage.update_measurement(pair);
    }
  }
}

}  // namespace kavo::svel
