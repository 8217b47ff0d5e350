#include "impl/core_impl.h"

#include "impl/events_loop_impl.h"

namespace kavo::libs::core {

core::ptr core::create(const logger& _logger) {
  return std::make_unique<core_impl>(_logger);
}

core_impl::core_impl(const logger& _logger) : m_logger(_logger.component("core")) {}

events_loop::ptr core_impl::create_events_loop(const std::string& /*_name*/) {
  return std::make_unique<events_loop_impl>(*this, *m_logger);
}

}  // namespace kavo::libs::core
