#pragma once

#include <chrono>
#include <memory>

namespace kavo::libs::core {

// Runs its callback on the grid first deadline + k * period; periods missed
// while the loop was busy are skipped, not made up.
class periodic_timer {
 public:
  // Asks for a first run on the next turn of the loop instead of after one period.
  struct execute_now {};
  using ptr = std::unique_ptr<periodic_timer>;

  virtual ~periodic_timer() = default;
  virtual void reset(std::chrono::nanoseconds _period) = 0;
  virtual void stop() = 0;
  virtual void restart() = 0;
  virtual void expire_now() = 0;
};

}  // namespace kavo::libs::core
