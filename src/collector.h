#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "core/logger.h"
#include "core/timers_manager.h"
#include "internal_storage/history.h"
#include "internal_storage/internal_storage.h"
#include "network_settings.h"
#include "settings.h"
#include "zan_messenger.h"

namespace kavo::svel {

// Schedules the measurements: once a second at most one request per due
// project, and turns reports and neighbour tables into history entries.
// All bookkeeping lives in the storage, so the cycle survives restarts.
class collector {
 public:
  using ptr = std::unique_ptr<collector>;

  struct anchor_candidate {
    internal_storage::saved_anchor anchor;
    std::vector<internal_storage::measurement> request_multicast;
    bool request_parameter = false;
  };

  collector(internal_storage& _internal_storage, zan_messenger& _zan_messenger,
            libs::core::timers_manager& _timers_manager, const libs::core::component_logger& _logger,
            const settings& _settings, const network_settings& _network_settings);
  virtual ~collector();

  collector(const collector&) = delete;
  collector& operator=(const collector&) = delete;

 private:
  // The request cycle.
  void processing();
  void age_unanswered_pairs(time_t _now, const std::string& _project_uid);
  void request_project(time_t _now, const internal_storage::saved_project& _project);
  boost::optional<anchor_candidate> choose_anchor(time_t _now, const std::string& _project_uid);
  void perform_multicast_request(time_t _now, anchor_candidate _candidate);
  bool request_parameter(time_t _now, internal_storage::saved_anchor _anchor);

  // The answers.
  void on_receive_nbr_multicast_report(zan_messenger::multicast_report& _report);
  void on_receive_nbrs_parameter(const std::string& _mac, const std::vector<zan_messenger::nbrs_parameter_item>& _items,
                                 const libs::core::timestamp& _time);
  void on_cleanup_temporary_measurements_timer();

  time_t now_seconds() const;
  // Appends an entry, trims to the history size, recomputes the adjusted
  // average (stamped with the entry's time) and marks the pair answered.
  static void record_entry(internal_storage::measurement& _pair, boost::optional<uint32_t> _lqi, int64_t _time,
                           unsigned int _history_size);
  static boost::optional<uint8_t> adjusted_lqi(const history& _entries);

  internal_storage& m_internal_storage;
  zan_messenger& m_zan_messenger;
  libs::core::timers_manager& m_timers_manager;
  const libs::core::component_logger& m_logger;
  const settings& m_settings;
  const network_settings& m_network_settings;
  libs::core::periodic_timer::ptr m_processing_timer;
  libs::core::periodic_timer::ptr m_cleanup_temporary_measurements_timer;
  zan_messenger::connection m_nbr_multicast_report_connection;
  zan_messenger::connection m_nbrs_parameter_connection;
};

}  // namespace kavo::svel
