#pragma once

#include "config.h"
#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"
#include "core/timers_manager.h"

namespace kavo::svel {

// Owns every component of the service and wires them together. It lives
// between the start of the event loop and its stop.
class application {
 public:
  application(libs::core::core& _core, libs::core::events_loop& _events_loop, const config& _config,
              libs::core::logger& _logger);
  ~application();

  application(const application&) = delete;
  application& operator=(const application&) = delete;

 private:
  libs::core::core& m_core;
  libs::core::events_loop& m_events_loop;
  libs::core::timers_manager& m_timers_manager;
  const config& m_config;
  libs::core::logger& m_logger;
};

}  // namespace kavo::svel
