#include "loop_runner.h"

#include <exception>

namespace kavo::libs::core::testing {

bool run_until(events_loop& _loop, const std::function<bool()>& _done, const std::function<void()>& _tick) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool done = false;
  const auto check = _loop.create_periodic_timer(std::chrono::milliseconds(2), "test check", [&](timer::time_point) {
    if (_tick) {
      _tick();
    }
    done = _done();
    if (done || std::chrono::steady_clock::now() >= deadline) {
      _loop.stop();
    }
  });
  _loop.get_io_context().restart();
  _loop.run_catch_exceptions(CORE_LOCATION);
  return done;
}

bool runs_out_of_work(events_loop& _loop) {
  auto& io_context = _loop.get_io_context();
  io_context.restart();
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      io_context.run_one_for(std::chrono::milliseconds(10));
    } catch (const std::exception&) {
    }
    if (io_context.stopped()) {
      return true;
    }
  }
  return false;
}

}  // namespace kavo::libs::core::testing
