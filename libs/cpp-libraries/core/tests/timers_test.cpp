#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"
#include "core/periodic_timer.h"
#include "core/timer.h"
#include "fake_timers_manager.h"

namespace kavo::libs::core {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using time_point = timer::time_point;

// How long anything that should happen at once may take on a loaded machine.
constexpr std::chrono::milliseconds patience = 10s;

// Nanoseconds after _origin: gtest prints these readably, time points as bytes.
std::int64_t offset(time_point _point, time_point _origin) {
  return (_point - _origin).count();
}

// --- timers on the real loop ---

class real_timers_test : public ::testing::Test {
 protected:
  // Runs the loop on another thread until it has nothing left to do. A loop
  // still busy after the patience (a wait that was not cancelled) is stopped.
  bool runs_until_idle(bool _catch_exceptions = false) {
    // A loop that ran out of work counts as stopped until restarted.
    m_loop->get_io_context().restart();
    auto done = std::async(std::launch::async, [this, _catch_exceptions] {
      if (_catch_exceptions) {
        m_loop->run_catch_exceptions(CORE_LOCATION);
      } else {
        m_loop->run();
      }
    });
    if (done.wait_for(patience) == std::future_status::ready) {
      done.get();
      return true;
    }
    m_loop->stop();
    return false;
  }

  logger m_logger{"svel_test", "main"};
  core::ptr m_core = core::create(m_logger);
  events_loop::ptr m_loop = m_core->create_events_loop("test");
};

TEST_F(real_timers_test, one_shot_fires_once_with_its_deadline) {
  const auto deadline = steady_clock::now() + 5ms;
  std::vector<std::int64_t> fired;
  time_point fired_at;
  timer::ptr one_shot;
  one_shot = m_loop->create_timer(deadline, "one shot", [&](time_point _deadline) {
    fired.push_back(offset(_deadline, deadline));
    fired_at = steady_clock::now();
    EXPECT_FALSE(one_shot->is_waiting());
  });
  EXPECT_TRUE(one_shot->is_waiting());

  ASSERT_TRUE(runs_until_idle());
  EXPECT_THAT(fired, ::testing::ElementsAre(0));
  EXPECT_GE(fired_at, deadline);
  EXPECT_FALSE(one_shot->is_waiting());
}

TEST_F(real_timers_test, reset_before_firing_moves_the_single_call_to_the_new_deadline) {
  const auto now = steady_clock::now();
  const std::vector<std::pair<time_point, time_point>> cases = {
      {now + 1h, now + 5ms},   // earlier: the loop would stay busy for an hour if the old wait survived
      {now + 2ms, now + 15ms}  // later: must not fire at the first deadline
  };
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(::testing::Message() << "moved by " << (second - first).count() << " ns");
    std::vector<std::int64_t> fired;
    time_point fired_at;
    const auto moved = m_loop->create_timer(first, "moved", [&](time_point _deadline) {
      fired.push_back(offset(_deadline, second));
      fired_at = steady_clock::now();
    });
    moved->reset(second);
    EXPECT_TRUE(moved->is_waiting());

    ASSERT_TRUE(runs_until_idle());
    EXPECT_THAT(fired, ::testing::ElementsAre(0));
    EXPECT_GE(fired_at, second);
  }
}

TEST_F(real_timers_test, stopped_timer_never_calls) {
  const auto now = steady_clock::now();
  for (const auto deadline : {now - 1ms, now + 1h}) {
    bool called = false;
    const auto stopped = m_loop->create_timer(deadline, "stopped", [&](time_point) { called = true; });
    stopped->stop();
    EXPECT_FALSE(stopped->is_waiting());

    ASSERT_TRUE(runs_until_idle());
    EXPECT_FALSE(called);
  }
}

TEST_F(real_timers_test, timer_destroyed_while_due_never_calls) {
  bool called = false;
  auto due = m_loop->create_timer(steady_clock::now() - 1ms, "due", [&](time_point) { called = true; });
  due.reset();

  ASSERT_TRUE(runs_until_idle());
  EXPECT_FALSE(called);
}

// Two timers due at the same moment are completed in one turn of the loop:
// when the first one's callback acts on the other, the other's completion is
// already queued and must honour what was done to its timer.
struct queued_completion_case {
  const char* name;
  // Acts on the other timer; returns the deadline it must still fire for, if any.
  std::function<std::optional<time_point>(timer::ptr& _other, time_point _due)> act;
};

void PrintTo(const queued_completion_case& _case, std::ostream* _stream) {
  *_stream << _case.name;
}

class queued_completion_test : public real_timers_test, public ::testing::WithParamInterface<queued_completion_case> {};

TEST_P(queued_completion_test, other_timer_honours_what_was_done_to_it) {
  const auto due = steady_clock::now() - 1ms;
  timer::ptr timers[2];
  std::vector<std::int64_t> fired[2];
  int first = -1;
  std::optional<time_point> expected_for_other;
  for (int i = 0; i < 2; ++i) {
    timers[i] = m_loop->create_timer(due, "twin", [&, i](time_point _deadline) {
      fired[i].push_back(offset(_deadline, due));
      if (first < 0) {
        first = i;
        expected_for_other = GetParam().act(timers[1 - i], due);
      }
    });
  }

  ASSERT_TRUE(runs_until_idle());
  ASSERT_GE(first, 0);
  EXPECT_THAT(fired[first], ::testing::ElementsAre(0));
  if (expected_for_other) {
    EXPECT_THAT(fired[1 - first], ::testing::ElementsAre(offset(*expected_for_other, due)));
  } else {
    EXPECT_THAT(fired[1 - first], ::testing::IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    cases, queued_completion_test,
    ::testing::Values(queued_completion_case{"destroyed",
                                             [](timer::ptr& _other, time_point) -> std::optional<time_point> {
                                               _other.reset();
                                               return std::nullopt;
                                             }},
                      queued_completion_case{"stopped",
                                             [](timer::ptr& _other, time_point) -> std::optional<time_point> {
                                               _other->stop();
                                               return std::nullopt;
                                             }},
                      queued_completion_case{"reset_to_a_new_deadline",
                                             [](timer::ptr& _other, time_point) -> std::optional<time_point> {
                                               const auto later = steady_clock::now() + 2ms;
                                               _other->reset(later);
                                               return later;
                                             }},
                      queued_completion_case{"reset_to_the_same_deadline",
                                             [](timer::ptr& _other, time_point _due) -> std::optional<time_point> {
                                               _other->reset(_due);
                                               return _due;
                                             }}),
    [](const ::testing::TestParamInfo<queued_completion_case>& _info) { return _info.param.name; });

TEST_F(real_timers_test, is_waiting_after_reset_until_the_new_deadline_fires) {
  timer::ptr waiting = m_loop->create_timer(steady_clock::now() + 1h, "waiting", [](time_point) {});
  waiting->reset(steady_clock::now() + 2h);
  bool waiting_in_handler = false;
  // Runs after the completion of the wait that reset() cancelled.
  m_loop->post([&] {
    waiting_in_handler = waiting->is_waiting();
    waiting->stop();
  });

  ASSERT_TRUE(runs_until_idle());
  EXPECT_TRUE(waiting_in_handler);
}

TEST_F(real_timers_test, periodic_with_execute_now_first_fires_on_the_next_turn) {
  std::vector<std::int64_t> fired;
  const auto before = steady_clock::now();
  const auto periodic =
      m_loop->create_periodic_timer(1h, periodic_timer::execute_now(), "now", [&](time_point _deadline) {
        fired.push_back(offset(_deadline, before));
        m_loop->stop();
      });
  const auto after = steady_clock::now();
  EXPECT_TRUE(fired.empty());

  ASSERT_TRUE(runs_until_idle());
  // The deadline is the moment of creation.
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_GE(fired[0], 0);
  EXPECT_LE(fired[0], offset(after, before));
}

// The callback ends its own timer; the loop then has nothing left and returns.
TEST_F(real_timers_test, periodic_keeps_its_grid_until_its_callback_ends_it) {
  constexpr auto period = 3ms;
  constexpr std::size_t last_call = 3;
  const std::vector<std::pair<const char*, std::function<void(periodic_timer::ptr&)>>> endings = {
      {"destroys", [](periodic_timer::ptr& _self) { _self.reset(); }},
      {"stops", [](periodic_timer::ptr& _self) { _self->stop(); }},
  };
  for (const auto& [name, end] : endings) {
    SCOPED_TRACE(name);
    std::vector<std::int64_t> fired;
    periodic_timer::ptr periodic;
    const auto before = steady_clock::now();
    periodic = m_loop->create_periodic_timer(period, "grid", [&, end = end](time_point _deadline) {
      fired.push_back(offset(_deadline, before));
      if (fired.size() == last_call) {
        end(periodic);
      }
    });
    const auto after = steady_clock::now();

    ASSERT_TRUE(runs_until_idle());
    ASSERT_EQ(fired.size(), last_call);
    const std::int64_t period_ns = std::chrono::nanoseconds(period).count();
    EXPECT_GE(fired[0], period_ns);
    EXPECT_LE(fired[0], offset(after, before) + period_ns);
    // A slow machine may skip grid points, but never leaves the grid.
    for (std::size_t i = 1; i < fired.size(); ++i) {
      const auto gap = fired[i] - fired[i - 1];
      EXPECT_GT(gap, 0);
      EXPECT_EQ(gap % period_ns, 0) << ::testing::PrintToString(fired);
    }
  }
}

TEST_F(real_timers_test, periodic_keeps_running_after_its_callback_throws) {
  constexpr std::size_t last_call = 3;
  std::size_t calls = 0;
  periodic_timer::ptr periodic;
  periodic = m_loop->create_periodic_timer(2ms, "throwing", [&](time_point) {
    if (++calls == last_call) {
      periodic.reset();
      return;
    }
    throw std::runtime_error("callback failed");
  });

  ASSERT_TRUE(runs_until_idle(true));
  EXPECT_EQ(calls, last_call);
}

// --- periodic timers on simulated time ---

// One call of a periodic callback, as offsets from the timer's creation.
struct tick {
  std::chrono::nanoseconds deadline;
  std::chrono::nanoseconds ran_at;

  bool operator==(const tick& _other) const { return deadline == _other.deadline && ran_at == _other.ran_at; }
};

void PrintTo(const tick& _tick, std::ostream* _stream) {
  const auto seconds = [](std::chrono::nanoseconds _offset) { return std::chrono::duration<double>(_offset).count(); };
  *_stream << "{deadline " << seconds(_tick.deadline) << "s, ran at " << seconds(_tick.ran_at) << "s}";
}

struct step {
  enum kind { advance, jump, run_due, reset, stop, restart, expire_now } what;
  std::chrono::nanoseconds amount{};
};

step advance_by(std::chrono::nanoseconds _duration) {
  return {step::advance, _duration};
}
step jump_by(std::chrono::nanoseconds _duration) {
  return {step::jump, _duration};
}
step run_due() {
  return {step::run_due};
}
step reset_period(std::chrono::nanoseconds _period) {
  return {step::reset, _period};
}
step stop() {
  return {step::stop};
}
step restart() {
  return {step::restart};
}
step expire_now() {
  return {step::expire_now};
}

constexpr std::chrono::nanoseconds period = 10s;

class simulated_periodic_test : public ::testing::Test {
 protected:
  // Records every call; _on_call, if given, runs after the record.
  void create(bool _execute_now, std::function<void()> _on_call = {}) {
    auto callback = [this, _on_call](time_point _deadline) {
      m_ticks.push_back({_deadline - m_start, m_timers.current_time_point() - m_start});
      if (_on_call) {
        _on_call();
      }
    };
    m_timer = _execute_now ? m_timers.create_periodic_timer(period, periodic_timer::execute_now(), "periodic", callback,
                                                            CORE_LOCATION)
                           : m_timers.create_periodic_timer(period, "periodic", callback, CORE_LOCATION);
  }

  void apply(const std::vector<step>& _steps) {
    for (const auto& one : _steps) {
      switch (one.what) {
        case step::advance:
          m_timers.advance(one.amount);
          break;
        case step::jump:
          m_timers.jump(one.amount);
          break;
        case step::run_due:
          m_timers.run_due();
          break;
        case step::reset:
          m_timer->reset(one.amount);
          break;
        case step::stop:
          m_timer->stop();
          break;
        case step::restart:
          m_timer->restart();
          break;
        case step::expire_now:
          m_timer->expire_now();
          break;
      }
    }
  }

  testing::fake_timers_manager m_timers;
  const time_point m_start = m_timers.current_time_point();
  periodic_timer::ptr m_timer;
  std::vector<tick> m_ticks;
};

struct schedule_case {
  const char* name;
  bool execute_now;
  std::vector<step> steps;
  std::vector<tick> expected;
};

void PrintTo(const schedule_case& _case, std::ostream* _stream) {
  *_stream << _case.name;
}

class periodic_schedule_test : public simulated_periodic_test, public ::testing::WithParamInterface<schedule_case> {};

TEST_P(periodic_schedule_test, runs_on_the_expected_deadlines) {
  create(GetParam().execute_now);
  apply(GetParam().steps);
  EXPECT_THAT(m_ticks, ::testing::ElementsAreArray(GetParam().expected));
}

// Period 10 s throughout; times are seconds after the timer was created.
INSTANTIATE_TEST_SUITE_P(
    cases, periodic_schedule_test,
    ::testing::Values(
        schedule_case{"on_time", false, {advance_by(35s)}, {{10s, 10s}, {20s, 20s}, {30s, 30s}}},
        schedule_case{"not_before_the_first_period", false, {run_due(), advance_by(10s - 1ns)}, {}},
        // The missed deadline is reported once; the grid goes on from it, not from the late run.
        schedule_case{"late_by_25s_skips_the_missed_periods",
                      false,
                      {jump_by(35s), run_due(), advance_by(5s - 1ns), advance_by(1ns), advance_by(10s)},
                      {{10s, 35s}, {40s, 40s}, {50s, 50s}}},
        schedule_case{
            "late_by_less_than_a_period", false, {jump_by(15s), run_due(), advance_by(5s)}, {{10s, 15s}, {20s, 20s}}},
        schedule_case{"late_by_19s", false, {jump_by(29s), run_due(), advance_by(1s)}, {{10s, 29s}, {30s, 30s}}},
        schedule_case{
            "execute_now_runs_at_creation", true, {run_due(), advance_by(25s)}, {{0s, 0s}, {10s, 10s}, {20s, 20s}}},
        schedule_case{"execute_now_late", true, {jump_by(3s), run_due(), advance_by(7s)}, {{0s, 3s}, {10s, 10s}}},
        schedule_case{"reset_period_counts_from_the_call",
                      false,
                      {advance_by(4s), reset_period(4s), advance_by(9s)},
                      {{8s, 8s}, {12s, 12s}}},
        schedule_case{"stop", false, {advance_by(10s), stop(), advance_by(100s)}, {{10s, 10s}}},
        schedule_case{"restart_after_stop_counts_from_the_call",
                      false,
                      {advance_by(10s), stop(), advance_by(13s), restart(), advance_by(20s)},
                      {{10s, 10s}, {33s, 33s}, {43s, 43s}}},
        schedule_case{"restart_while_running_counts_from_the_call",
                      false,
                      {advance_by(4s), restart(), advance_by(10s)},
                      {{14s, 14s}}},
        schedule_case{"expire_now_runs_at_once_and_reanchors",
                      false,
                      {advance_by(4s), expire_now(), run_due(), advance_by(20s)},
                      {{4s, 4s}, {14s, 14s}, {24s, 24s}}},
        schedule_case{"expire_now_restarts_a_stopped_timer",
                      false,
                      {advance_by(4s), stop(), advance_by(26s), expire_now(), run_due(), advance_by(10s)},
                      {{30s, 30s}, {40s, 40s}}}),
    [](const ::testing::TestParamInfo<schedule_case>& _info) { return _info.param.name; });

TEST_F(simulated_periodic_test, nothing_runs_inline) {
  create(true);
  EXPECT_TRUE(m_ticks.empty()) << "execute_now ran the callback in the constructor";
  m_timers.run_due();
  ASSERT_EQ(m_ticks.size(), 1u);

  m_timers.advance(4s);
  m_timer->expire_now();
  EXPECT_EQ(m_ticks.size(), 1u) << "expire_now ran the callback inside the call";
  m_timers.run_due();
  EXPECT_EQ(m_ticks.size(), 2u);
}

TEST_F(simulated_periodic_test, throwing_callback_keeps_the_schedule) {
  bool thrown = false;
  create(false, [&thrown] {
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("callback failed");
    }
  });

  EXPECT_THROW(m_timers.advance(15s), std::runtime_error);
  EXPECT_EQ(m_timers.waiting_timers(), 1u);
  m_timers.advance(15s);
  EXPECT_THAT(m_ticks, ::testing::ElementsAre(tick{10s, 10s}, tick{20s, 20s}));
}

// What a callback does to its own timer on its first call.
struct self_action_case {
  const char* name;
  std::function<void(periodic_timer::ptr&)> act;
  std::vector<step> steps;
  std::vector<tick> expected;
};

void PrintTo(const self_action_case& _case, std::ostream* _stream) {
  *_stream << _case.name;
}

class periodic_self_action_test : public simulated_periodic_test,
                                  public ::testing::WithParamInterface<self_action_case> {};

TEST_P(periodic_self_action_test, callback_may_act_on_its_own_timer) {
  bool acted = false;
  create(false, [this, &acted] {
    if (!acted) {
      acted = true;
      GetParam().act(m_timer);
    }
  });
  apply(GetParam().steps);
  EXPECT_THAT(m_ticks, ::testing::ElementsAreArray(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    cases, periodic_self_action_test,
    ::testing::Values(
        self_action_case{
            "destroys", [](periodic_timer::ptr& _self) { _self.reset(); }, {advance_by(100s)}, {{10s, 10s}}},
        self_action_case{"stops", [](periodic_timer::ptr& _self) { _self->stop(); }, {advance_by(100s)}, {{10s, 10s}}},
        self_action_case{"restarts",
                         [](periodic_timer::ptr& _self) { _self->restart(); },
                         {jump_by(13s), run_due(), advance_by(20s)},
                         {{10s, 13s}, {23s, 23s}, {33s, 33s}}},
        self_action_case{"resets_the_period",
                         [](periodic_timer::ptr& _self) { _self->reset(4s); },
                         {advance_by(18s)},
                         {{10s, 10s}, {14s, 14s}, {18s, 18s}}},
        self_action_case{"expires_now",
                         [](periodic_timer::ptr& _self) { _self->expire_now(); },
                         {advance_by(20s)},
                         {{10s, 10s}, {10s, 10s}, {20s, 20s}}}),
    [](const ::testing::TestParamInfo<self_action_case>& _info) { return _info.param.name; });

}  // namespace
}  // namespace kavo::libs::core
