#include "application.h"

namespace kavo::svel {

// The collection components (storage, messenger, collector, context mirror,
// REST API) are not part of this build yet: the application holds the
// process's shared objects and an otherwise idle loop.
application::application(libs::core::core& _core, libs::core::events_loop& _events_loop, const config& _config,
                         libs::core::logger& _logger)
    : m_core(_core),
      m_events_loop(_events_loop),
      m_timers_manager(_events_loop.get_timers()),
      m_config(_config),
      m_logger(_logger) {
  const auto guard = m_logger.enter_function(CORE_LOCATION);
}

application::~application() = default;

}  // namespace kavo::svel
