#pragma once

#include "core/core.h"

namespace kavo::libs::core {

class core_impl : public core {
 public:
  explicit core_impl(const logger& _logger);

  events_loop::ptr create_events_loop(const std::string& _name) override;

 private:
  component_logger::ptr m_logger;
};

}  // namespace kavo::libs::core
