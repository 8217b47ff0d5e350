#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/exception.h"
#include "core/logger.h"
#include "debug_receiver.h"

namespace kavo::libs::core {
namespace {

using namespace std::chrono_literals;

// How long anything that should happen at once may take on a loaded machine.
// Waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds patience = 10s;

const std::string this_file = "/libs/cpp-libraries/core/tests/events_loop_test.cpp";

// Runs a loop on a thread of its own, so a loop that fails to return fails
// the test instead of hanging it.
class background_run {
 public:
  background_run(events_loop& _loop, std::function<void()> _run)
      : m_loop(_loop), m_done(std::async(std::launch::async, std::move(_run))) {}
  explicit background_run(events_loop& _loop)
      : background_run(_loop, [&_loop] { _loop.run_catch_exceptions(CORE_LOCATION); }) {}
  ~background_run() {
    if (!returns_within(0ms)) {
      m_loop.stop();
      m_done.wait();
    }
  }

  bool returns_within(std::chrono::milliseconds _timeout) {
    return m_done.wait_for(_timeout) == std::future_status::ready;
  }

 private:
  events_loop& m_loop;
  std::future<void> m_done;
};

// True once the loop has run a handler posted now, i.e. it is running.
bool runs_handlers(events_loop& _loop) {
  auto ran = std::make_shared<std::promise<void>>();
  auto ran_result = ran->get_future();
  _loop.post([ran] { ran->set_value(); });
  return ran_result.wait_for(patience) == std::future_status::ready;
}

class events_loop_test : public ::testing::Test {
 protected:
  events_loop_test() { m_logger.connect(m_receiver.endpoint()); }

  // The bodies of the next _count lines the loop logs, without prefix and time.
  std::vector<std::string> next_core_lines(std::size_t _count) {
    static const std::regex core_line(R"(&svel_test:core \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*))");
    std::vector<std::string> bodies;
    std::vector<std::string> seen;
    m_receiver.wait_for(
        [&](const std::string& _line) {
          std::smatch match;
          if (std::regex_match(_line, match, core_line)) {
            bodies.push_back(match[1]);
          }
          return bodies.size() == _count;
        },
        seen, patience);
    return bodies;
  }

  testing::debug_receiver m_receiver;
  logger m_logger{"svel_test", "main"};
  core::ptr m_core = core::create(m_logger);
  events_loop::ptr m_loop = m_core->create_events_loop("test");
};

TEST_F(events_loop_test, run_without_work_returns_at_once) {
  background_run run(*m_loop, [this] { m_loop->run(); });
  EXPECT_TRUE(run.returns_within(patience));
}

TEST_F(events_loop_test, last_work_guard_released_in_a_handler_stops_the_loop) {
  auto first = m_loop->create_work();
  auto last = m_loop->create_work();
  bool later_handler_ran = false;
  m_loop->post([&] {
    first.reset();
    // Had the first guard stopped the loop, this would never run.
    m_loop->post([&] {
      later_handler_ran = true;
      last.reset();
    });
  });

  background_run run(*m_loop, [this] { m_loop->run(); });
  ASSERT_TRUE(run.returns_within(patience));
  EXPECT_TRUE(later_handler_ran);
}

TEST_F(events_loop_test, last_work_guard_released_on_another_thread_wakes_the_waiting_loop) {
  auto first = m_loop->create_work();
  auto last = m_loop->create_work();
  background_run run(*m_loop, [this] { m_loop->run(); });
  ASSERT_TRUE(runs_handlers(*m_loop));

  first.reset();
  EXPECT_TRUE(runs_handlers(*m_loop)) << "a guard that is not the last one stopped the loop";

  last.reset();
  EXPECT_TRUE(run.returns_within(patience));
}

TEST_F(events_loop_test, posted_handler_never_runs_inline) {
  std::vector<std::string> order;
  m_loop->post([&] {
    order.push_back("first begins");
    m_loop->post([&] { order.push_back("posted from a handler"); });
    order.push_back("first ends");
  });
  EXPECT_TRUE(order.empty());

  m_loop->run();
  EXPECT_THAT(order, ::testing::ElementsAre("first begins", "first ends", "posted from a handler"));
}

TEST_F(events_loop_test, posts_from_several_threads_all_run_once_on_the_loop_thread) {
  constexpr int thread_count = 4;
  constexpr int posts_per_thread = 2000;
  std::vector<int> runs(thread_count * posts_per_thread, 0);
  std::thread::id loop_thread;
  int off_loop_thread = 0;

  auto work = m_loop->create_work();
  background_run run(*m_loop, [&] {
    loop_thread = std::this_thread::get_id();
    m_loop->run();
  });

  std::vector<std::thread> posters;
  for (int t = 0; t < thread_count; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < posts_per_thread; ++i) {
        m_loop->post([&, index = t * posts_per_thread + i] {
          ++runs[index];
          off_loop_thread += std::this_thread::get_id() == loop_thread ? 0 : 1;
        });
      }
    });
  }
  for (auto& poster : posters) {
    poster.join();
  }
  // Queued handlers are work too: the loop returns only after all of them.
  work.reset();
  ASSERT_TRUE(run.returns_within(patience));

  EXPECT_EQ(off_loop_thread, 0);
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(runs.size()));
}

TEST_F(events_loop_test, run_catch_exceptions_logs_each_escaping_exception_and_resumes) {
  const auto throw_location = CORE_LOCATION;
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[throw_location] { throw exception("no route to the archive", throw_location); },
       this_file + ":" + std::to_string(throw_location.line()) + " no route to the archive"},
      {[] { throw std::runtime_error("disk full"); }, "std::exception::what(): disk full"},
      {[] { throw 42; }, "Unknown exception"},
  };
  std::vector<std::size_t> survivors;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    m_loop->post(cases[i].first);
    m_loop->post([&survivors, i] { survivors.push_back(i); });
  }

  const auto run_location = CORE_LOCATION;
  background_run run(*m_loop, [this, run_location] { m_loop->run_catch_exceptions(run_location); });
  ASSERT_TRUE(run.returns_within(patience));
  EXPECT_THAT(survivors, ::testing::ElementsAre(0, 1, 2));

  const auto lines = next_core_lines(2 * cases.size());
  ASSERT_EQ(lines.size(), 2 * cases.size()) << ::testing::PrintToString(lines);
  const std::string caught = this_file + ":" + std::to_string(run_location.line()) + " Caught exeption";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(lines[2 * i], caught);
    EXPECT_EQ(lines[2 * i + 1], cases[i].second);
  }
}

TEST_F(events_loop_test, run_lets_a_handler_exception_out_unchanged) {
  const auto throw_location = CORE_LOCATION;
  m_loop->post([throw_location] { throw exception("no route to the archive", throw_location); });
  bool later_handler_ran = false;
  m_loop->post([&] { later_handler_ran = true; });

  try {
    m_loop->run();
    ADD_FAILURE() << "run() swallowed the exception";
  } catch (const exception& error) {
    EXPECT_EQ(error.get_string_error(), "no route to the archive");
    EXPECT_EQ(error.get_source_location().line(), throw_location.line());
  }
  // The rest of the queue is still there for the next run.
  EXPECT_FALSE(later_handler_ran);
  m_loop->run();
  EXPECT_TRUE(later_handler_ran);
}

TEST_F(events_loop_test, stop_from_another_thread_ends_a_waiting_loop) {
  const auto work = m_loop->create_work();
  background_run run(*m_loop);
  ASSERT_TRUE(runs_handlers(*m_loop));
  EXPECT_FALSE(m_loop->is_stopped());

  m_loop->stop();
  EXPECT_TRUE(run.returns_within(patience));
  EXPECT_TRUE(m_loop->is_stopped());
}

TEST_F(events_loop_test, destruction_runs_the_handlers_still_queued) {
  m_loop->stop();
  std::vector<std::string> order;
  // Through a reference: the owning pointer is already null while the loop is destroyed.
  events_loop& loop = *m_loop;
  loop.post([&] {
    order.push_back("queued after stop");
    loop.post([&] { order.push_back("posted while draining"); });
  });

  const auto start = std::chrono::steady_clock::now();
  m_loop.reset();
  EXPECT_THAT(order, ::testing::ElementsAre("queued after stop", "posted while draining"));
  // Nothing holds the loop, so the drain must not wait out its time limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, patience / 2);
}

TEST_F(events_loop_test, network_clients_are_not_supported) {
  const std::vector<std::pair<std::string, std::function<void(events_loop&)>>> slots = {
      {"UDP socket by protocol", [](events_loop& _loop) { _loop.create_udp_socket(ip_protocol::v4, 5000); }},
      {"UDP socket by address", [](events_loop& _loop) { _loop.create_udp_socket("127.0.0.1", 5000); }},
      {"TCP manager", [](events_loop& _loop) { _loop.get_tcp(); }},
      {"Redis context", [](events_loop& _loop) { _loop.create_redis_context("127.0.0.1", 6379, "", 0); }},
  };
  for (const auto& [name, call] : slots) {
    SCOPED_TRACE(name);
    try {
      call(*m_loop);
      ADD_FAILURE() << "no exception";
    } catch (const exception& error) {
      EXPECT_THAT(error.get_string_error(), ::testing::HasSubstr("not supported"));
    }
  }
}

// --- stopping on signals ---

bool has_default_disposition(int _signal) {
  struct sigaction action {};
  sigaction(_signal, nullptr, &action);
  return action.sa_handler == SIG_DFL;
}

struct signal_case {
  int signal;
  const char* name;
  // Whether the signal arrives before the loop runs, right after the handle exists.
  bool before_run;
};

void PrintTo(const signal_case& _case, std::ostream* _stream) {
  *_stream << _case.name;
}

class stop_on_signals_test : public events_loop_test, public ::testing::WithParamInterface<signal_case> {};

// A fresh loop and handle per case: once a handle is gone the signal kills the process again.
TEST_P(stop_on_signals_test, signal_stops_the_loop) {
  const auto work = m_loop->create_work();
  const auto handle = m_loop->stop_on_signals();
  EXPECT_FALSE(handle->signal_is_received());
  ASSERT_FALSE(has_default_disposition(SIGINT));
  ASSERT_FALSE(has_default_disposition(SIGTERM));

  if (GetParam().before_run) {
    ASSERT_EQ(kill(getpid(), GetParam().signal), 0);
  }
  background_run run(*m_loop);
  if (!GetParam().before_run) {
    ASSERT_TRUE(runs_handlers(*m_loop));
    ASSERT_EQ(kill(getpid(), GetParam().signal), 0);
  }

  ASSERT_TRUE(run.returns_within(patience));
  EXPECT_TRUE(handle->signal_is_received());
  EXPECT_TRUE(m_loop->is_stopped());
}

INSTANTIATE_TEST_SUITE_P(cases, stop_on_signals_test,
                         ::testing::Values(signal_case{SIGTERM, "sigterm_while_running", false},
                                           signal_case{SIGINT, "sigint_while_running", false},
                                           signal_case{SIGTERM, "sigterm_before_run", true},
                                           signal_case{SIGINT, "sigint_before_run", true}),
                         [](const ::testing::TestParamInfo<signal_case>& _info) { return _info.param.name; });

TEST_F(events_loop_test, signals_handle_released_without_a_signal) {
  auto handle = m_loop->stop_on_signals();
  EXPECT_FALSE(handle->signal_is_received());

  auto released = std::async(std::launch::async, [&handle] { handle.reset(); });
  ASSERT_EQ(released.wait_for(patience), std::future_status::ready);
  EXPECT_FALSE(m_loop->is_stopped());
  // Nothing is left to swallow a termination request.
  EXPECT_TRUE(has_default_disposition(SIGINT));
  EXPECT_TRUE(has_default_disposition(SIGTERM));
}

}  // namespace
}  // namespace kavo::libs::core
