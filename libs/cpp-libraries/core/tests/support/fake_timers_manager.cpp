#include "fake_timers_manager.h"

#include "core/impl/periodic_timer_impl.h"

namespace kavo::libs::core::testing {

class fake_timers_manager::fake_timer : public timer {
 public:
  fake_timer(fake_timers_manager& _manager, time_point _deadline, callback _callback)
      : m_manager(_manager), m_id(_manager.m_next_id++), m_callback(std::move(_callback)) {
    m_manager.m_timers.emplace(m_id, this);
    reset(_deadline);
  }
  ~fake_timer() override { m_manager.m_timers.erase(m_id); }

  bool is_waiting() const override { return m_waiting; }
  void reset(time_point _deadline) override {
    m_deadline = _deadline;
    m_waiting = true;
  }
  void stop() override { m_waiting = false; }

  time_point deadline() const { return m_deadline; }
  void fire() {
    m_waiting = false;
    ++m_manager.m_fired;
    // A copy: the callback may destroy this timer.
    auto callback = m_callback;
    callback(m_deadline);
  }

 private:
  fake_timers_manager& m_manager;
  std::uint64_t m_id;
  callback m_callback;
  time_point m_deadline{};
  bool m_waiting = false;
};

fake_timers_manager::fake_timers_manager(timestamp _wall_clock_start)
    : m_now(std::chrono::hours(1000)), m_wall_clock_start(_wall_clock_start), m_start(m_now) {}

fake_timers_manager::~fake_timers_manager() = default;

timestamp fake_timers_manager::current_timestamp() const {
  return m_wall_clock_start + std::chrono::duration_cast<std::chrono::milliseconds>(m_now - m_start);
}

timer::ptr fake_timers_manager::create_timer(std::chrono::nanoseconds _delay, const std::string& _name,
                                             timer::callback _callback, source_location _location) {
  return create_timer(m_now + _delay, _name, std::move(_callback), _location);
}

timer::ptr fake_timers_manager::create_timer(timer::time_point _deadline, const std::string&, timer::callback _callback,
                                             source_location) {
  return std::make_unique<fake_timer>(*this, _deadline, std::move(_callback));
}

periodic_timer::ptr fake_timers_manager::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               const std::string& _name, timer::callback _callback,
                                                               source_location _location) {
  return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback), _location, false);
}

periodic_timer::ptr fake_timers_manager::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               periodic_timer::execute_now, const std::string& _name,
                                                               timer::callback _callback, source_location _location) {
  return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback), _location, true);
}

void fake_timers_manager::advance(std::chrono::nanoseconds _duration) {
  const auto target = m_now + _duration;
  while (true) {
    fake_timer* next = nullptr;
    for (const auto& [id, candidate] : m_timers) {
      if (candidate->is_waiting() && candidate->deadline() <= target &&
          (next == nullptr || candidate->deadline() < next->deadline())) {
        next = candidate;
      }
    }
    if (next == nullptr) {
      break;
    }
    if (next->deadline() > m_now) {
      m_now = next->deadline();
    }
    next->fire();
  }
  m_now = target;
}

std::size_t fake_timers_manager::waiting_timers() const {
  std::size_t count = 0;
  for (const auto& [id, candidate] : m_timers) {
    count += candidate->is_waiting() ? 1 : 0;
  }
  return count;
}

}  // namespace kavo::libs::core::testing
