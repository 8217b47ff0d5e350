#pragma once

#include <chrono>
#include <map>
#include <string>

#include "core/timers_manager.h"

namespace kavo::libs::core::testing {

// Timers on simulated time: nothing fires until the test advances the
// clock, so hours of scheduling run in microseconds and deterministically.
class fake_timers_manager : public timers_manager {
 public:
  explicit fake_timers_manager(timestamp _wall_clock_start = timestamp(std::chrono::milliseconds(1700000000000)));
  ~fake_timers_manager() override;

  timer::time_point current_time_point() const override { return m_now; }
  timestamp current_timestamp() const override;
  timer::ptr create_timer(std::chrono::nanoseconds _delay, const std::string& _name, timer::callback _callback,
                          source_location _location) override;
  timer::ptr create_timer(timer::time_point _deadline, const std::string& _name, timer::callback _callback,
                          source_location _location) override;
  periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                            timer::callback _callback, source_location _location) override;
  periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                            const std::string& _name, timer::callback _callback,
                                            source_location _location) override;

  // Moves the clock forward, firing every timer that comes due on the way,
  // each at its own deadline, in deadline order (creation order on ties).
  void advance(std::chrono::nanoseconds _duration);
  // Moves the clock without firing anything, as a loop blocked by a long handler.
  void jump(std::chrono::nanoseconds _duration) { m_now += _duration; }
  // Fires what is due now.
  void run_due() { advance(std::chrono::nanoseconds(0)); }

  std::size_t waiting_timers() const;
  std::size_t fired_timers() const { return m_fired; }

 private:
  class fake_timer;
  friend class fake_timer;

  timer::time_point m_now;
  timestamp m_wall_clock_start;
  timer::time_point m_start;
  std::map<std::uint64_t, fake_timer*> m_timers;  // by creation order
  std::uint64_t m_next_id = 0;
  std::size_t m_fired = 0;
};

}  // namespace kavo::libs::core::testing
