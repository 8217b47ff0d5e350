#pragma once

#include <cstdint>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/logger.h"
#include "core/timer.h"

namespace kavo::libs::core {

class timer_impl : public timer {
 public:
  timer_impl(boost::asio::io_context& _io_context, time_point _deadline, callback _callback,
             const component_logger& _logger);
  ~timer_impl() override;

  bool is_waiting() const override { return m_data->m_waiting; }
  void reset(time_point _deadline) override;
  void stop() override;

 private:
  // Reached by pending completions through a weak pointer only, so a
  // completion queued before the timer was destroyed calls nothing.
  struct shared_data {
    callback m_callback;
    bool m_waiting = false;
    // Advanced by every reset and stop: a completion of an older wait, even
    // one for the same deadline, is recognised as stale and does nothing.
    std::uint64_t m_generation = 0;
  };

  boost::asio::steady_timer m_timer;
  time_point m_time_point{};
  const component_logger& m_logger;
  std::shared_ptr<shared_data> m_data;
};

}  // namespace kavo::libs::core
