#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "network_settings.h"
#include "zan_messenger.h"

namespace kavo::svel::test_doubles {

// Stands in for the anchor network: keeps every request the collector makes,
// accepted or not, and lets a test play the gateway's answers.
class recording_zan_messenger : public zan_messenger {
 public:
  struct request {
    bool multicast = false;  // false: a neighbour table request
    std::string mac;
    std::set<uint16_t> responders;
    bool accepted = false;
  };

  connection do_on_receive_nbr_multicast_report(const receive_nbr_multicast_report_signal::slot_type& _slot) override {
    return m_report_signal.connect(_slot);
  }
  connection do_on_receive_nbrs_parameter(const receive_nbrs_parameter_signal::slot_type& _slot) override {
    return m_parameter_signal.connect(_slot);
  }
  bool send_nbrs_param_request(boost::string_view _mac6_of_anchor) override {
    m_requests.push_back(request{false, std::string(_mac6_of_anchor), {}, m_accepting});
    return m_accepting;
  }
  bool send_nbr_multicast_request(const std::set<uint16_t>& _ids_of_responders,
                                  boost::string_view _mac6_of_multicaster) override {
    m_requests.push_back(request{true, std::string(_mac6_of_multicaster), _ids_of_responders, m_accepting});
    return m_accepting;
  }

  // As a full send queue does.
  void refuse_sends(bool _refuse) { m_accepting = !_refuse; }

  void emit_report(multicast_report _report) { m_report_signal(_report); }
  void emit_neighbour_table(const std::string& _mac, const std::vector<nbrs_parameter_item>& _items,
                            const libs::core::timestamp& _time) {
    m_parameter_signal(_mac, _items, _time);
  }

  const std::vector<request>& requests() const { return m_requests; }
  std::vector<request> multicasts() const { return of_kind(true); }
  std::vector<request> parameter_requests() const { return of_kind(false); }
  void clear() { m_requests.clear(); }

 private:
  std::vector<request> of_kind(bool _multicast) const {
    std::vector<request> selected;
    for (const auto& sent : m_requests) {
      if (sent.multicast == _multicast) {
        selected.push_back(sent);
      }
    }
    return selected;
  }

  receive_nbr_multicast_report_signal m_report_signal;
  receive_nbrs_parameter_signal m_parameter_signal;
  std::vector<request> m_requests;
  bool m_accepting = true;
};

class fake_network_settings : public network_settings {
 public:
  bool is_in_service_mode(const std::string& _project_uid) const override {
    return m_service_mode.count(_project_uid) > 0;
  }
  void set_service_mode(const std::string& _project_uid, bool _on) {
    if (_on) {
      m_service_mode.insert(_project_uid);
    } else {
      m_service_mode.erase(_project_uid);
    }
  }

 private:
  std::set<std::string> m_service_mode;
};

}  // namespace kavo::svel::test_doubles
