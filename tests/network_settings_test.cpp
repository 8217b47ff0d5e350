#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zmq.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/exception.h"
#include "core/logger.h"
#include "core/message_stream.h"
#include "core/timestamp.h"
#include "debug_receiver.h"
#include "fake_timers_manager.h"
#include "network_settings_impl.h"
#include "test_http_server.h"

namespace kavo::svel {
namespace {

using namespace std::chrono_literals;
using libs::core::timestamp;
using libs::core::testing::fake_timers_manager;
using libs::core::testing::test_http_server;
using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::StartsWith;

// How long anything that should happen at once may take on a loaded machine.
// Waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds patience = 10s;

const std::string api_path = "/api/private/network_settings/";
const std::string component_prefix = "&svel_test:network_settings ";
const std::string validator_key = "network_settings notify parse: ";

// 2024-05-01, UTC, worked out here rather than by the parser under test.
timestamp may_first(int _hour, int _minute, int _second = 0, int _millisecond = 0) {
  constexpr std::int64_t midnight_ms = 1714521600000;
  return timestamp(
      std::chrono::milliseconds(midnight_ms + ((_hour * 60 + _minute) * 60 + _second) * 1000 + _millisecond));
}

const timestamp clock_start = may_first(9, 0);

std::string item(const std::string& _project, const std::string& _enabled_at, int _duration, bool _enabled = true) {
  return R"({"project_uid":")" + _project + R"(","service_mode":{"enabled":)" + (_enabled ? "true" : "false") +
         R"(,"enabled_at":")" + _enabled_at + R"(","duration":)" + std::to_string(_duration) + "}}";
}

std::string answer_body(const std::vector<std::string>& _items) {
  std::string body = R"({"network_settings":[)";
  for (std::size_t i = 0; i < _items.size(); ++i) {
    body += (i == 0 ? "" : ",") + _items[i];
  }
  return body + "]}";
}

test_http_server::response answer(int _status, std::string _body) {
  test_http_server::response response;
  response.status = _status;
  response.body = std::move(_body);
  return response;
}

// In service mode from 09:00 until 12:00.
const std::string p1_until_noon = item("p1", "2024-05-01T09:00:00Z", 180);

class network_settings_test : public ::testing::Test {
 protected:
  network_settings_test() {
    m_logger.connect(m_receiver.endpoint());
    m_publisher.set(::zmq::sockopt::linger, 0);
    m_publisher.set(::zmq::sockopt::sndhwm, 0);
    m_publisher.bind("tcp://127.0.0.1:*");
    m_stream = m_loop->create_zmq_message_stream(m_publisher.get(::zmq::sockopt::last_endpoint));
  }

  std::unique_ptr<network_settings_impl> create(fake_timers_manager& _timers) {
    return std::make_unique<network_settings_impl>(*m_stream, *m_client, _timers, *m_component);
  }
  std::unique_ptr<network_settings_impl> create() { return create(m_timers); }

  void serve(const std::vector<std::string>& _items) { m_server.script(api_path, answer(200, answer_body(_items))); }

  // Runs the loop, which logs whatever escapes a handler, until _done holds
  // or patience runs out. _tick runs on the loop thread before each check.
  bool run_until(const std::function<bool()>& _done, const std::function<void()>& _tick = {}) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool done = false;
    const auto check = m_loop->create_periodic_timer(2ms, "test check", [&](libs::core::timer::time_point) {
      if (_tick) {
        _tick();
      }
      done = _done();
      if (done || std::chrono::steady_clock::now() >= deadline) {
        m_loop->stop();
      }
    });
    m_loop->get_io_context().restart();
    m_loop->run_catch_exceptions(CORE_LOCATION);
    return done;
  }

  void publish(const std::string& _frame) {
    ASSERT_TRUE(m_publisher.send(::zmq::buffer(_frame), ::zmq::send_flags::dontwait));
  }

  // Probes travel on a topic of their own; the SUB socket joins in the
  // background and misses what is published before, so probes are repeated
  // until one arrives. Topics subscribed earlier are in place after that.
  void join() {
    m_probe_subscription =
        m_stream->subscribe("probe", [this](boost::string_view _body) { m_last_probe = std::string(_body); });
    const std::string probe = R"({"probe":"join"})";
    ASSERT_TRUE(run_until([&] { return m_last_probe == probe; }, [&] { publish("#probe " + probe); }))
        << "the stream never joined the publisher";
  }

  // Returns once the stream has handed on everything published so far.
  void flush_stream() {
    const std::string probe = R"({"probe":)" + std::to_string(++m_probes) + "}";
    publish("#probe " + probe);
    ASSERT_TRUE(run_until([&] { return m_last_probe == probe; }));
  }

  // Every line the network settings logged since the last call: a line of
  // ours, logged now, comes after all of them on the same socket.
  std::vector<std::string> component_lines() {
    const std::string marker = "log marker " + std::to_string(++m_log_markers);
    m_logger.info("%1%") % marker;
    std::vector<std::string> seen;
    EXPECT_TRUE(m_receiver.wait_for([&](const std::string& _line) { return _line.find(marker) != std::string::npos; },
                                    seen, patience));
    std::vector<std::string> lines;
    for (const auto& line : seen) {
      if (line.rfind(component_prefix, 0) == 0) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  // What the notification validator reported, without its key.
  static std::vector<std::string> validator_messages(const std::vector<std::string>& _lines) {
    std::vector<std::string> messages;
    for (const auto& line : _lines) {
      const auto found = line.find(validator_key);
      if (found != std::string::npos) {
        messages.push_back(line.substr(found + validator_key.size()));
      }
    }
    return messages;
  }

  test_http_server m_server;
  libs::core::testing::debug_receiver m_receiver;
  libs::core::logger m_logger{"svel_test", "main"};
  libs::core::component_logger::ptr m_component = m_logger.component("network_settings");
  libs::core::core::ptr m_core = libs::core::core::create(m_logger);
  libs::core::events_loop::ptr m_loop = m_core->create_events_loop("test");
  fake_timers_manager m_timers{clock_start};
  ::zmq::context_t m_zmq_context;
  ::zmq::socket_t m_publisher{m_zmq_context, ::zmq::socket_type::pub};
  libs::core::message_stream::ptr m_stream;
  libs::core::http::client::ptr m_client = m_loop->create_http_client(m_server.address(), 10s);

  libs::core::message_stream::subscription::ptr m_probe_subscription;
  std::string m_last_probe;
  int m_probes = 0;
  int m_log_markers = 0;
};

// --- the first load ---

TEST_F(network_settings_test, first_load_requests_the_settings_path) {
  serve({p1_until_noon});
  const auto settings = create();

  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, api_path);
  EXPECT_TRUE(settings->is_in_service_mode("p1"));
}

// The answer holds a long service mode for p1 first and the row's item for
// p1 after it: an item that is rejected must remove the earlier entry, an
// accepted one must replace it.
TEST_F(network_settings_test, item_decides_until_when_its_project_is_in_service_mode) {
  struct item_case {
    const char* name;
    std::string item;
    timestamp moment;
    bool in_service_mode;
    std::string project = "p1";
  };
  const std::string with_millis = item("p1", "2024-05-01T10:00:00.250Z", 30);
  const std::string with_space = item("p1", "2024-05-01 10:00:00", 30);
  const std::string in_future = item("p1", "2024-05-01T11:00:00Z", 10);
  const std::vector<item_case> cases = {
      {"milliseconds and Z: just before the end", with_millis, may_first(10, 30, 0, 249), true},
      {"milliseconds and Z: exactly at the end", with_millis, may_first(10, 30, 0, 250), false},
      {"space separator, no zone: just before the end", with_space, may_first(10, 29, 59, 999), true},
      {"space separator, no zone: exactly at the end", with_space, may_first(10, 30), false},
      {"no seconds", item("p1", "2024-05-01T10:00", 30), may_first(10, 10), false},
      {"negative duration", item("p1", "2024-05-01T10:00:00Z", -1), may_first(9, 0), false},
      {"zero duration: before its start", item("p1", "2024-05-01T10:00:00Z", 0), may_first(9, 59, 59, 999), true},
      {"zero duration: at its start", item("p1", "2024-05-01T10:00:00Z", 0), may_first(10, 0), false},
      {"disabled", item("p1", "2024-05-01T09:00:00Z", 600, false), may_first(10, 0), false},
      {"service_mode missing", R"({"project_uid":"p1"})", may_first(10, 0), false},
      {"already over when it arrives", item("p1", "2024-05-01T08:00:00Z", 30), may_first(9, 0), false},
      {"starts later: at once", in_future, may_first(9, 0), true},
      {"starts later: just before start + duration", in_future, may_first(11, 9, 59, 999), true},
      {"starts later: at start + duration", in_future, may_first(11, 10), false},
      {"another project", with_millis, may_first(10, 0), false, "p2"},
  };
  const std::string long_service_mode = item("p1", "2024-05-01T09:00:00Z", 1000);
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    fake_timers_manager timers(clock_start);
    serve({long_service_mode, entry.item});
    const auto settings = create(timers);

    // The clock moves without the hourly refresh getting in the way.
    timers.jump(entry.moment - clock_start);
    ASSERT_EQ(timers.current_timestamp(), entry.moment);
    EXPECT_EQ(settings->is_in_service_mode(entry.project), entry.in_service_mode);
  }
}

TEST_F(network_settings_test, failed_first_load_throws_with_the_reason) {
  struct failure_case {
    const char* name;
    int status;
    std::string body;
    bool unreachable;
    Matcher<std::string> error;
  };
  const std::vector<failure_case> cases = {
      {"404 with an empty body", 404, "", false,
       Eq("network_settings: request failed: 'Unknown error', status_code=404")},
      {"500 with a text", 500, "boom", false, Eq("network_settings: request failed: 'boom', status_code=500")},
      {"nobody listening", 200, "", true,
       AllOf(StartsWith("network_settings: request failed: 'curl_easy_perform failed:"),
             EndsWith("', status_code=-1"))},
      {"200 with a body that is no JSON", 200, "{\"network_settings\":[", false, StartsWith("parse error: ")},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    m_server.script(api_path, answer(entry.status, entry.body));
    const auto client = m_loop->create_http_client(
        entry.unreachable ? "http://127.0.0.1:" + std::to_string(libs::core::testing::refused_port())
                          : m_server.address(),
        10s);
    try {
      network_settings_impl settings(*m_stream, *client, m_timers, *m_component);
      ADD_FAILURE() << "no exception";
    } catch (const libs::core::exception& error) {
      EXPECT_THAT(error.get_string_error(), entry.error);
    }
  }
}

// --- the hourly refresh ---

TEST_F(network_settings_test, hourly_refresh_applies_the_new_answer) {
  serve({p1_until_noon});
  const auto settings = create();
  ASSERT_TRUE(settings->is_in_service_mode("p1"));
  ASSERT_FALSE(settings->is_in_service_mode("p2"));

  serve({item("p1", "2024-05-01T09:00:00Z", 180, false), item("p2", "2024-05-01T10:00:00Z", 60)});
  m_timers.advance(3600s);
  ASSERT_TRUE(run_until([&] { return settings->is_in_service_mode("p2"); }));
  EXPECT_FALSE(settings->is_in_service_mode("p1"));

  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].target, api_path);
}

TEST_F(network_settings_test, failed_refresh_keeps_the_settings_and_the_next_one_still_comes) {
  serve({p1_until_noon});
  const auto settings = create();

  // Items in an error body must not be applied.
  const std::string error_body = answer_body({item("p1", "2024-05-01T09:00:00Z", 180, false)});
  m_server.script(api_path, answer(500, error_body));
  m_timers.advance(3600s);
  const std::string expected_error = "network_settings: request failed: '" + error_body + "', status_code=500";
  bool reported = false;
  ASSERT_TRUE(run_until([&] { return reported; },
                        [&] {
                          for (const auto& line : m_receiver.drain()) {
                            reported = reported || line.find(expected_error) != std::string::npos;
                          }
                        }));
  EXPECT_EQ(m_server.request_count(), 2u);
  EXPECT_TRUE(settings->is_in_service_mode("p1"));

  serve({item("p1", "2024-05-01T09:00:00Z", 180, false)});
  m_timers.advance(3600s);
  EXPECT_TRUE(run_until([&] { return !settings->is_in_service_mode("p1"); }));
  EXPECT_EQ(m_server.request_count(), 3u);
}

// --- notifications ---

TEST_F(network_settings_test, notification_updates_or_is_ignored_and_reported) {
  struct notification_case {
    const char* name;
    std::string frame;
    bool p1;  // in service mode until noon before the notification
    bool p2;  // not in service mode before the notification
    std::vector<Matcher<std::string>> reported;
    bool logs_nothing = false;
  };
  const std::string p2_item = item("p2", "2024-05-01T08:30:00Z", 60);
  const std::vector<notification_case> cases = {
      {"new project", R"(#notify {"object":"NWK_SETTINGS","plist":)" + p2_item + "}", true, true, {}},
      {"service mode switched off",
       R"(#notify {"object":"NWK_SETTINGS","plist":)" + item("p1", "2024-05-01T09:00:00Z", 180, false) + "}",
       false,
       false,
       {}},
      {"another object", R"(#notify {"object":"OTHER","plist":)" + p2_item + "}", true, false, {}, true},
      // The stream hands on a notification from its first '{' only.
      {"no JSON",
       R"(#notify {"object":"NWK_SETTINGS",)",
       true,
       false,
       {StartsWith("Can not parse json: <body>, error: ")}},
      {"object missing",
       R"(#notify {"plist":)" + p2_item + "}",
       true,
       false,
       {Eq("could not find 'object' in object '.'")}},
      {"plist missing",
       R"(#notify {"object":"NWK_SETTINGS"})",
       true,
       false,
       {Eq("could not find 'plist' in object '.'")}},
      {"plist not an object",
       R"(#notify {"object":"NWK_SETTINGS","plist":[)" + p2_item + "]}",
       true,
       false,
       {Eq("'plist' in '.' is not an object")}},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    serve({p1_until_noon});
    const auto settings = create();
    join();
    component_lines();  // what the load logged

    publish(entry.frame);
    flush_stream();
    const auto lines = component_lines();

    EXPECT_EQ(settings->is_in_service_mode("p1"), entry.p1);
    EXPECT_EQ(settings->is_in_service_mode("p2"), entry.p2);
    EXPECT_THAT(validator_messages(lines), ElementsAreArray(entry.reported)) << ::testing::PrintToString(lines);
    if (entry.logs_nothing) {
      EXPECT_THAT(lines, IsEmpty());
    }
  }
}

}  // namespace
}  // namespace kavo::svel
