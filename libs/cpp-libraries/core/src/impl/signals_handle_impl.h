#pragma once

#include <atomic>
#include <thread>

#include "core/core.h"
#include "core/events_loop.h"

namespace kavo::libs::core {

// Waits for SIGINT or SIGTERM on a loop and thread of its own, then stops the
// main loop. Both signals are armed when the constructor returns.
class signals_handle_impl : public events_loop::signals_handle {
 public:
  signals_handle_impl(core& _core, events_loop& _main_events_loop);
  ~signals_handle_impl() override;

  bool signal_is_received() const override { return m_signal_is_received; }

 private:
  events_loop::ptr m_thread_events_loop;
  events_loop& m_main_events_loop;
  std::atomic<bool> m_signal_is_received{false};
  std::thread m_thread;
};

}  // namespace kavo::libs::core
