#pragma once

#include <memory>
#include <string>

#include "core/events_loop.h"
#include "core/logger.h"

namespace kavo::libs::core {

// The root of the runtime: makes event loops that log through its logger.
class core {
 public:
  using ptr = std::unique_ptr<core>;

  virtual ~core() = default;
  virtual events_loop::ptr create_events_loop(const std::string& _name) = 0;

  static ptr create(const logger& _logger);
};

}  // namespace kavo::libs::core
