#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/periodic_timer.h"
#include "core/source_location.h"
#include "core/timers_manager.h"

namespace kavo::libs::core {

// A periodic schedule carried by one one-shot timer of the manager. Works
// with any timers_manager, so a manager with simulated time drives it too.
class periodic_timer_impl : public periodic_timer {
 public:
  periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period, const std::string& _name,
                      timer::callback _callback, source_location _location, bool _execute_now);
  ~periodic_timer_impl() override;

  void reset(std::chrono::nanoseconds _period) override;
  void stop() override;
  void restart() override;
  void expire_now() override;

 private:
  void restart_impl();

  std::string m_name;
  timers_manager& m_timers_manager;
  timer::ptr m_timer;
  std::chrono::nanoseconds m_period;
  std::shared_ptr<timer::callback> m_callback;
};

}  // namespace kavo::libs::core
