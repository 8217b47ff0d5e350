#pragma once

#include <chrono>
#include <functional>

#include "core/events_loop.h"

namespace kavo::libs::core::testing {

// How long anything that should happen at once may take on a loaded machine.
// Waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds patience{10000};

// Runs the loop, which logs whatever escapes a handler, until _done holds or
// patience runs out. _tick runs on the loop thread every couple of
// milliseconds, before _done is checked.
bool run_until(events_loop& _loop, const std::function<bool()>& _done, const std::function<void()>& _tick = {});

// True when the loop runs out of work, i.e. nothing is left pending on it.
// What escapes a handler meanwhile is passed over, as the loop would.
bool runs_out_of_work(events_loop& _loop);

}  // namespace kavo::libs::core::testing
