#pragma once

#include <string>
#include <utility>

namespace kavo::svel {

// The most anchor pairs one multicast request may name.
constexpr unsigned int max_number_of_anchors_in_request = 255;

// Collection settings; all times in seconds.
class settings {
 public:
  using check_result = std::pair<bool, std::string>;

  // Defaults, unchecked.
  settings() = default;
  // Validates every value and throws "Settings error: ..." naming all that fail.
  settings(unsigned int _number_of_requests, unsigned int _timeout_waiting_for_response,
           unsigned int _timeout_between_requests, unsigned int _timeout_between_parameter_requests,
           unsigned int _number_of_anchors_in_request, unsigned int _data_expiration_timeout,
           unsigned int _history_size, unsigned int _maximum_distance);

  static check_result check_range_number_of_requests(unsigned int _value);
  static check_result check_range_timeout_waiting_for_response(unsigned int _value);
  static check_result check_range_timeout_between_requests(unsigned int _value);
  static check_result check_range_timeout_between_parameter_requests(unsigned int _value);
  static check_result check_range_number_of_anchors_in_request(unsigned int _value);
  static check_result check_range_data_expiration_timeout(unsigned int _value);
  static check_result check_range_history_size(unsigned int _value);
  static check_result check_range_maximum_distance(unsigned int _value);

  unsigned int get_number_of_requests() const { return m_number_of_requests; }
  unsigned int get_timeout_waiting_for_response() const { return m_timeout_waiting_for_response; }
  unsigned int get_timeout_between_requests() const { return m_timeout_between_requests; }
  unsigned int get_timeout_between_parameter_requests() const { return m_timeout_between_parameter_requests; }
  unsigned int get_number_of_anchors_in_request() const { return m_number_of_anchors_in_request; }
  unsigned int get_data_expiration_timeout() const { return m_data_expiration_timeout; }
  unsigned int get_history_size() const { return m_history_size; }
  unsigned int get_maximum_distance() const { return m_maximum_distance; }

 private:
  unsigned int m_number_of_requests = 3;
  unsigned int m_timeout_waiting_for_response = 1;
  unsigned int m_timeout_between_requests = 10;
  unsigned int m_timeout_between_parameter_requests = 60;
  unsigned int m_number_of_anchors_in_request = 30;
  unsigned int m_data_expiration_timeout = 3600;
  unsigned int m_history_size = 200;
  unsigned int m_maximum_distance = 100;
};

}  // namespace kavo::svel
