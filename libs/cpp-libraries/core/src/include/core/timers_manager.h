#pragma once

#include <chrono>
#include <string>

#include "core/periodic_timer.h"
#include "core/source_location.h"
#include "core/timer.h"
#include "core/timestamp.h"

namespace kavo::libs::core {

// Makes timers and tells the time; components that only schedule hold this.
class timers_manager {
 public:
  virtual ~timers_manager() = default;
  virtual timer::time_point current_time_point() const = 0;
  virtual timestamp current_timestamp() const = 0;
  virtual timer::ptr create_timer(std::chrono::nanoseconds _delay, const std::string& _name, timer::callback _callback,
                                  source_location _location = source_location()) = 0;
  virtual timer::ptr create_timer(timer::time_point _deadline, const std::string& _name, timer::callback _callback,
                                  source_location _location = source_location()) = 0;
  virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                    timer::callback _callback,
                                                    source_location _location = source_location()) = 0;
  virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                                    const std::string& _name, timer::callback _callback,
                                                    source_location _location = source_location()) = 0;
};

}  // namespace kavo::libs::core
