#include "settings.h"

#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/format.hpp>

#include "core/exception.h"

namespace kavo::svel {

namespace {

// One unsigned comparison: 0 wraps around and fails like any value above the bound.
settings::check_result check_range(unsigned int _value, unsigned int _upper_bound, std::string _message) {
  if (_value - 1u <= _upper_bound - 1u) {
    return {true, std::string()};
  }
  return {false, std::move(_message)};
}

}  // namespace

settings::settings(unsigned int _number_of_requests, unsigned int _timeout_waiting_for_response,
                   unsigned int _timeout_between_requests, unsigned int _timeout_between_parameter_requests,
                   unsigned int _number_of_anchors_in_request, unsigned int _data_expiration_timeout,
                   unsigned int _history_size, unsigned int _maximum_distance)
    : m_number_of_requests(_number_of_requests),
      m_timeout_waiting_for_response(_timeout_waiting_for_response),
      m_timeout_between_requests(_timeout_between_requests),
      m_timeout_between_parameter_requests(_timeout_between_parameter_requests),
      m_number_of_anchors_in_request(_number_of_anchors_in_request),
      m_data_expiration_timeout(_data_expiration_timeout),
      m_history_size(_history_size),
      m_maximum_distance(_maximum_distance) {
  const std::vector<check_result> checks{
      check_range_number_of_requests(m_number_of_requests),
      check_range_timeout_waiting_for_response(m_timeout_waiting_for_response),
      check_range_timeout_between_requests(m_timeout_between_requests),
      check_range_timeout_between_parameter_requests(m_timeout_between_parameter_requests),
      check_range_number_of_anchors_in_request(m_number_of_anchors_in_request),
      check_range_data_expiration_timeout(m_data_expiration_timeout),
      check_range_history_size(m_history_size),
      check_range_maximum_distance(m_maximum_distance),
  };

  std::vector<std::string> failures;
  for (const auto& [ok, message] : checks) {
    if (!ok) {
      failures.push_back(message);
    }
  }
  if (!failures.empty()) {
    throw libs::core::exception("Settings error: " + boost::algorithm::join(failures, ", "), CORE_LOCATION);
  }
}

settings::check_result settings::check_range_number_of_requests(unsigned int _value) {
  return check_range(_value, 20, "number_of_requests must be in range [1,20]");
}

settings::check_result settings::check_range_timeout_waiting_for_response(unsigned int _value) {
  return check_range(_value, 60, "timeout_waiting_for_response must be in range [1,60]");
}

settings::check_result settings::check_range_timeout_between_requests(unsigned int _value) {
  return check_range(_value, 3600, "timeout_between_requests must be in range [1,3600]");
}

settings::check_result settings::check_range_timeout_between_parameter_requests(unsigned int _value) {
  return check_range(_value, 3600, "timeout_between_parameter_requests must be in range [1,3600]");
}

settings::check_result settings::check_range_number_of_anchors_in_request(unsigned int _value) {
  return check_range(
      _value, max_number_of_anchors_in_request,
      (boost::format("number_of_anchors_in_request must be in range [1,%1%]") % max_number_of_anchors_in_request)
          .str());
}

settings::check_result settings::check_range_data_expiration_timeout(unsigned int _value) {
  return check_range(_value, 2592000, "data_expiration_timeout must be in range [1,2592000(30 days)]");
}

settings::check_result settings::check_range_history_size(unsigned int _value) {
  return check_range(_value, 1000, "history_size must be in range [1,1000]");
}

settings::check_result settings::check_range_maximum_distance(unsigned int /*_value*/) {
  return {true, std::string()};
}

}  // namespace kavo::svel
