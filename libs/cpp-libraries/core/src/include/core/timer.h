#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace kavo::libs::core {

// A one-shot timer on the loop's steady clock.
class timer {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  // Receives the deadline that fired, not the current time.
  using callback = std::function<void(time_point)>;
  using ptr = std::unique_ptr<timer>;

  virtual ~timer() = default;
  virtual bool is_waiting() const = 0;
  virtual void reset(time_point _deadline) = 0;
  virtual void stop() = 0;
};

}  // namespace kavo::libs::core
