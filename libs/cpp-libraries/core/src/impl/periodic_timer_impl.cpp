#include "core/impl/periodic_timer_impl.h"

namespace kavo::libs::core {

periodic_timer_impl::periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period,
                                         const std::string& _name, timer::callback _callback,
                                         source_location /*_location*/, bool _execute_now)
    : m_name(_name),
      m_timers_manager(_timers_manager),
      m_period(_period),
      m_callback(std::make_shared<timer::callback>(std::move(_callback))) {
  restart_impl();
  if (_execute_now) {
    m_timer->reset(m_timers_manager.current_time_point());
  }
}

periodic_timer_impl::~periodic_timer_impl() {
  m_callback.reset();
  m_timer.reset();
}

void periodic_timer_impl::restart_impl() {
  m_timer = m_timers_manager.create_timer(
      m_timers_manager.current_time_point() + m_period, m_name,
      [this, weak_callback = std::weak_ptr<timer::callback>(m_callback)](timer::time_point _fired) {
        // Locked for the whole tick: the callback may destroy this timer.
        const auto callback = weak_callback.lock();
        if (!callback) {
          return;
        }
        const auto now = m_timers_manager.current_time_point();
        auto next = _fired;
        if (now >= _fired && m_period.count() > 0) {
          next += m_period * ((now - _fired) / m_period + 1);
        }
        // Set before the callback, so a throwing callback keeps the schedule
        // and a callback may stop or restart its own timer.
        m_timer->reset(next);
        (*callback)(_fired);
      },
      CORE_LOCATION);
}

void periodic_timer_impl::reset(std::chrono::nanoseconds _period) {
  m_period = _period;
  restart();
}

void periodic_timer_impl::stop() {
  m_timer.reset();
}

void periodic_timer_impl::restart() {
  restart_impl();
}

void periodic_timer_impl::expire_now() {
  // A stopped timer has no schedule to re-anchor; start one first.
  if (!m_timer) {
    restart_impl();
  }
  m_timer->reset(m_timers_manager.current_time_point());
}

}  // namespace kavo::libs::core
