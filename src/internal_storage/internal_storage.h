#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/optional.hpp>

namespace kavo::svel {

// The service's persistent state: projects, areas, anchors and the
// measurements of anchor pairs. Times are whole seconds since the epoch, 0 = never.
class internal_storage {
 public:
  using ptr = std::unique_ptr<internal_storage>;

  struct saved_project {
    int64_t last_req_ts = 0;
    std::string project_uid;
  };

  struct area {
    area() = default;
    area(std::string _area_uid, std::string _project_uid, boost::optional<bool> _disabled,
         boost::optional<uint32_t> _expiration_timeout, boost::optional<uint32_t> _number_of_requests,
         boost::optional<uint32_t> _timeout_waiting_for_response, boost::optional<uint32_t> _timeout_between_requests,
         boost::optional<uint32_t> _number_of_anchors_in_request, boost::optional<uint32_t> _history_size)
        : area_uid(std::move(_area_uid)),
          project_uid(std::move(_project_uid)),
          disabled(_disabled),
          expiration_timeout(_expiration_timeout),
          number_of_requests(_number_of_requests),
          timeout_waiting_for_response(_timeout_waiting_for_response),
          timeout_between_requests(_timeout_between_requests),
          number_of_anchors_in_request(_number_of_anchors_in_request),
          history_size(_history_size) {}

    std::string area_uid;
    std::string project_uid;
    // Empty: the area has no value of its own for that setting.
    boost::optional<bool> disabled;
    boost::optional<uint32_t> expiration_timeout;
    boost::optional<uint32_t> number_of_requests;
    boost::optional<uint32_t> timeout_waiting_for_response;
    boost::optional<uint32_t> timeout_between_requests;
    boost::optional<uint32_t> number_of_anchors_in_request;
    boost::optional<uint32_t> history_size;
  };

  struct saved_area {
    int64_t last_req_ts = 0;
    area body;
  };

  struct anchor {
    std::string anchor_uid;
    std::string project_uid;
    std::string mac;  // lower case
    uint32_t node_id = 0;
    std::string area_uid;
    int64_t x = 0;
    int64_t y = 0;
    int64_t z = 0;
    bool battery = false;
  };

  struct saved_anchor {
    int id = 0;
    int64_t last_req_ts = 0;
    int64_t last_param_req_ts = 0;
    bool parameter_requested = false;
    anchor body;
  };

  struct counter {
    uint32_t value = 0;
    int64_t timestamp = 0;
  };

  struct lqi_measurment {
    boost::optional<uint8_t> lqi;
    boost::optional<int64_t> timestamp;
  };

  // One watched pair. The ids may come in either order; the storage keeps
  // the larger one in anchor_id_1.
  struct measurement {
    measurement() = default;
    measurement(int _anchor_id_1, int _anchor_id_2, bool _temporary, bool _includes_battery_anchor,
                counter _req_counter, std::vector<uint8_t> _data, lqi_measurment _adjusted_average_measurement)
        : anchor_id_1(_anchor_id_1),
          anchor_id_2(_anchor_id_2),
          temporary(_temporary),
          includes_battery_anchor(_includes_battery_anchor),
          req_counter(_req_counter),
          data(std::move(_data)),
          adjusted_average_measurement(_adjusted_average_measurement) {}

    int anchor_id_1 = 0;
    int anchor_id_2 = 0;
    bool temporary = false;
    bool includes_battery_anchor = false;
    counter req_counter;
    std::vector<uint8_t> data;  // the history blob
    lqi_measurment adjusted_average_measurement;
  };

  struct extended_measurement {
    struct anchor {
      std::string uid;
      std::string mac;
      uint32_t node_id = 0;
    };
    anchor anchor_1;  // the anchor of the larger id
    anchor anchor_2;
    std::vector<uint8_t> data;
    lqi_measurment adjusted_average_measurement;
  };

  internal_storage() = default;
  internal_storage(const internal_storage&) = delete;
  internal_storage& operator=(const internal_storage&) = delete;
  virtual ~internal_storage() = default;

  virtual bool add_project(const std::string& _project_uid) = 0;
  virtual bool update_project_last_req_ts(const std::string& _project_uid, int64_t _time) = 0;
  virtual bool delete_project(const std::string& _project_uid) = 0;
  virtual std::set<std::string> get_projects_uids() = 0;
  virtual std::vector<saved_project> get_projects() = 0;

  virtual bool add_area(const std::string& _area_uid, const std::string& _project_uid) = 0;
  virtual boost::optional<saved_area> get_area(const std::string& _area_uid) = 0;
  virtual bool update_area(const area& _area) = 0;
  virtual bool update_area_last_req_ts(const std::string& _area_uid, int64_t _time) = 0;
  virtual bool delete_area(const std::string& _area_uid) = 0;
  virtual std::set<std::string> get_areas_uids() = 0;
  virtual std::vector<saved_area> get_areas(boost::optional<const std::string&> _project_uid) = 0;

  virtual bool add_anchor(const anchor& _anchor) = 0;
  virtual boost::optional<saved_anchor> get_anchor(const std::string& _anchor_uid) = 0;
  virtual boost::optional<saved_anchor> get_anchor(unsigned int _anchor_id) = 0;
  virtual boost::optional<saved_anchor> get_anchor_by_node_id(unsigned int _node_id) = 0;
  virtual boost::optional<saved_anchor> get_anchor_by_mac(const std::string& _mac) = 0;
  virtual boost::optional<saved_anchor> get_most_unrequested_anchor(const std::string& _project_uid) = 0;
  virtual bool update_anchor(const anchor& _anchor) = 0;
  virtual bool update_anchor_last_req_ts(const std::string& _anchor_uid, int64_t _time) = 0;
  virtual bool update_anchor_last_param_req_ts(const std::string& _anchor_uid, int64_t _time) = 0;
  virtual bool update_anchor_parameter_requested(const std::string& _anchor_uid, bool _requested) = 0;
  virtual bool delete_anchor(const std::string& _anchor_uid) = 0;
  virtual std::set<std::string> get_anchors_uids() = 0;
  virtual std::set<int> get_anchors_ids(const std::string& _project_uid) = 0;
  virtual std::vector<saved_anchor> get_anchors(const std::string& _project_uid,
                                                const std::set<std::string>& _anchor_uids,
                                                boost::optional<const std::string&> _area_uid) = 0;

  virtual bool add_measurement(const measurement& _measurement) = 0;
  virtual bool update_measurement(const measurement& _measurement) = 0;
  virtual bool update_measurement_req_counter(int _anchor_id_1, int _anchor_id_2, const counter& _counter) = 0;
  virtual boost::optional<measurement> get_measurement(int _anchor_id_1, int _anchor_id_2) = 0;
  virtual bool delete_measurement(int _anchor_id_1, int _anchor_id_2) = 0;
  virtual bool clear_measurements(int _anchor_id) = 0;
  virtual bool delete_measurements(int _anchor_id) = 0;
  virtual std::vector<measurement> get_measurements(const std::set<int>& _anchor_ids) = 0;
  virtual std::vector<extended_measurement> get_extended_measurements(const std::vector<int>& _anchor_ids) = 0;
  // Non-temporary pairs of the anchor with the given battery flag, not
  // measured since _max_lqi_timestamp and not counted since _max_req_timestamp,
  // least recently counted first.
  virtual std::vector<measurement> get_most_unrequested_measurements(int _anchor_id, int64_t _max_lqi_timestamp,
                                                                     int64_t _max_req_timestamp, unsigned int _limit,
                                                                     bool _includes_battery_anchor) = 0;
  // Pairs of the project requested at least _max_counter times, the last
  // time no later than _max_timestamp.
  virtual std::vector<measurement> get_overripe_measurements(const std::string& _project_uid, int64_t _max_timestamp,
                                                             unsigned int _max_counter) = 0;
  virtual std::vector<measurement> get_temporary_measurements() = 0;
};

}  // namespace kavo::svel
