#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/utility/string_view.hpp>

#include "core/timestamp.h"

namespace kavo::svel {

// The service's link to the anchor network: requests out as "#zan " command
// text, reports and neighbour tables in as typed events.
class zan_messenger {
 public:
  using ptr = std::unique_ptr<zan_messenger>;

  struct multicast_report {
    uint64_t ts = 0;  // seconds since the epoch
    uint32_t ms = 0;
    std::string mac;  // of the reporting anchor, lower case
    uint32_t reporter_id = 0;
    uint32_t multicaster_id = 0;
    uint32_t lqi = 0;
  };

  struct nbrs_parameter_item {
    int32_t node_id = 0;
    int32_t lqi = 0;
    int32_t e = 0;  // seconds since the anchor last heard this neighbour
  };

  using connection = boost::signals2::connection;
  using receive_nbr_multicast_report_signal = boost::signals2::signal<void(multicast_report&)>;
  using receive_nbrs_parameter_signal = boost::signals2::signal<void(
      const std::string&, const std::vector<nbrs_parameter_item>&, const libs::core::timestamp&)>;

  zan_messenger() = default;
  zan_messenger(const zan_messenger&) = delete;
  zan_messenger& operator=(const zan_messenger&) = delete;
  virtual ~zan_messenger() = default;

  virtual connection do_on_receive_nbr_multicast_report(
      const receive_nbr_multicast_report_signal::slot_type& _slot) = 0;
  virtual connection do_on_receive_nbrs_parameter(const receive_nbrs_parameter_signal::slot_type& _slot) = 0;
  // Both: true when the command was queued for the anchor network.
  virtual bool send_nbrs_param_request(boost::string_view _mac6_of_anchor) = 0;
  virtual bool send_nbr_multicast_request(const std::set<uint16_t>& _ids_of_responders,
                                          boost::string_view _mac6_of_multicaster) = 0;
};

}  // namespace kavo::svel
