#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/http/client.h"
#include "core/http/result.h"
#include "core/logger.h"
#include "test_http_server.h"

namespace kavo::libs::core {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::test_http_server;

// How long anything that should happen at once may take on a loaded machine.
// Waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds patience = 10s;
// Long enough that later requests are still queued behind it; short enough to keep the suite fast.
constexpr std::chrono::milliseconds slow_answer = 300ms;

const std::string failure_prefix = "curl_easy_perform failed:";

test_http_server::response answer(int _status, std::string _body) {
  test_http_server::response response;
  response.status = _status;
  response.body = std::move(_body);
  return response;
}

test_http_server::response slow(std::string _body, std::chrono::milliseconds _delay = slow_answer) {
  auto response = answer(200, std::move(_body));
  response.delay = _delay;
  return response;
}

class http_client_test : public ::testing::Test {
 protected:
  http::client::ptr make_client(int _threads = 10, std::vector<http::method> _disabled = {},
                                std::chrono::seconds _timeout = 10s) {
    return m_loop->create_http_client(m_server.address(), _timeout, _disabled, _threads);
  }

  // Runs the loop until _done holds or patience runs out.
  bool run_until(const std::function<bool()>& _done) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool done = false;
    const auto check = m_loop->create_periodic_timer(1ms, "test check", [&](timer::time_point) {
      done = _done();
      if (done || std::chrono::steady_clock::now() >= deadline) {
        m_loop->stop();
      }
    });
    m_loop->get_io_context().restart();
    m_loop->run_catch_exceptions(CORE_LOCATION);
    return done;
  }

  // Runs every handler posted to the loop so far, and returns.
  bool run_pending() {
    bool reached = false;
    m_loop->post([&reached] { reached = true; });
    return run_until([&reached] { return reached; });
  }

  // A callback that appends "<name> <data or error>" to m_delivered.
  http::client::callback record(const std::string& _name) {
    return [this, _name](http::result _result) {
      m_delivered.push_back(_name + " " +
                            (_result.data() ? *_result.data() : "error: " + _result.error().value_or("")));
    };
  }

  test_http_server m_server;
  logger m_logger{"svel_test", "main"};
  core::ptr m_core = core::create(m_logger);
  events_loop::ptr m_loop = m_core->create_events_loop("test");
  std::vector<std::string> m_delivered;
};

// --- what reaches the server ---

TEST_F(http_client_test, request_reaches_the_server_with_method_word_user_agent_and_exact_body) {
  // An embedded NUL and a body larger than one socket read: the length is
  // given with the body, never taken from a terminator.
  const std::string nul_body("{\"a\":\"x\0y\"}", 11);
  const std::string large_body = "{\"pad\":\"" + std::string(64 * 1024, 'p') + "\"}";
  struct request_case {
    const char* name;
    http::method method;
    std::string body;
    const char* method_word;
  };
  const std::vector<request_case> cases = {
      {"GET without body", http::method::get, "", "GET"},
      {"POST with body", http::method::post, "{\"k\":[1,2,3]}", "POST"},
      {"POST with NUL inside", http::method::post, nul_body, "POST"},
      {"PUT with large body", http::method::put, large_body, "PUT"},
      {"DELETE without body", http::method::del, "", "DELETE"},
  };
  const auto client = make_client();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& entry = cases[i];
    SCOPED_TRACE(entry.name);
    const std::string path = "/case/" + std::to_string(i);
    m_server.script(path, answer(200, "done"));

    const auto result = client->perform_request(entry.method, path, entry.body);
    EXPECT_TRUE(result.ok());

    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), i + 1);
    const auto& seen = requests.back();
    EXPECT_EQ(seen.method, entry.method_word);
    EXPECT_EQ(seen.target, path);
    EXPECT_EQ(seen.header("user-agent"), boost::make_optional(std::string("svel")));
    EXPECT_EQ(seen.body.size(), entry.body.size());
    EXPECT_TRUE(seen.body == entry.body);
    if (entry.body.empty()) {
      EXPECT_EQ(seen.header("content-type"), boost::none);
    } else {
      EXPECT_EQ(seen.header("content-type"), boost::make_optional(std::string("application/json")));
    }
  }
}

TEST_F(http_client_test, url_is_the_base_address_followed_by_the_path_verbatim) {
  struct url_case {
    std::string base_suffix;
    std::string path;
    std::string target;
  };
  const std::vector<url_case> cases = {
      {"", "/a", "/a"},
      {"/", "/a", "//a"},
      {"/api", "/v1/items?id=7&x=y", "/api/v1/items?id=7&x=y"},
      {"/api/", "v1", "/api/v1"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.base_suffix + " + " + entry.path);
    const auto client = m_loop->create_http_client(m_server.address() + entry.base_suffix, 10s);
    const auto before = m_server.request_count();
    client->perform_request(http::method::get, entry.path);
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().target, entry.target);
  }
}

TEST_F(http_client_test, disabled_method_is_answered_locally_and_others_still_go_out) {
  const auto client = make_client(1, {http::method::post});

  const auto posted = client->perform_request(http::method::post, "/disabled", "{\"x\":1}");
  EXPECT_TRUE(posted.ok());
  EXPECT_EQ(posted.status_code(), boost::make_optional(200));
  EXPECT_EQ(posted.data(), boost::make_optional(std::string()));
  EXPECT_EQ(posted.error(), boost::none);

  // The asynchronous way is answered locally too, still through the loop.
  const auto handle = client->perform_async_request(http::method::post, "/disabled", "{\"x\":2}", record("async"));
  ASSERT_TRUE(run_until([&] { return !m_delivered.empty(); }));
  EXPECT_THAT(m_delivered, ElementsAre("async "));

  m_server.script("/enabled", answer(200, "fetched"));
  const auto fetched = client->perform_request(http::method::get, "/enabled");
  EXPECT_EQ(fetched.data(), boost::make_optional(std::string("fetched")));

  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 1u) << "a disabled POST reached the server";
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/enabled");
}

// --- what the caller gets back ---

TEST_F(http_client_test, answer_becomes_data_or_error_by_status) {
  struct answer_case {
    const char* name;
    test_http_server::response response;
    bool ok;
    int status;
    boost::optional<std::string> data;
    boost::optional<std::string> error;
  };
  auto redirect = answer(302, "moved");
  redirect.location = "/status/redirect-target";
  const std::vector<answer_case> cases = {
      {"200 with a body", answer(200, "{\"v\":1}"), true, 200, std::string("{\"v\":1}"), boost::none},
      {"204 without a body", answer(204, ""), true, 204, std::string(), boost::none},
      {"404 with a text", answer(404, "no such thing"), false, 404, boost::none, std::string("no such thing")},
      {"500 with an empty body", answer(500, ""), false, 500, boost::none, std::string()},
      {"302 is followed to its target", redirect, true, 201, std::string("arrived"), boost::none},
  };
  m_server.script("/status/redirect-target", answer(201, "arrived"));
  const auto client = make_client();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& entry = cases[i];
    SCOPED_TRACE(entry.name);
    const std::string path = "/status/" + std::to_string(i);
    m_server.script(path, entry.response);

    const auto result = client->perform_request(http::method::get, path);
    EXPECT_EQ(result.ok(), entry.ok);
    EXPECT_EQ(result.status_code(), boost::make_optional(entry.status));
    EXPECT_EQ(result.data(), entry.data);
    EXPECT_EQ(result.error(), entry.error);
  }
  // The redirect was really followed by a second request, not faked.
  const auto requests = m_server.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[requests.size() - 2].target, "/status/4");
  EXPECT_EQ(requests.back().target, "/status/redirect-target");
  EXPECT_EQ(requests.back().method, "GET");
}

TEST_F(http_client_test, refused_connection_is_an_error_without_status) {
  const auto client = m_loop->create_http_client("http://127.0.0.1:" + std::to_string(testing::refused_port()), 10s);

  const auto result = client->perform_request(http::method::get, "/anything");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.status_code(), boost::none);
  EXPECT_EQ(result.data(), boost::none);
  ASSERT_TRUE(result.error());
  EXPECT_THAT(*result.error(), StartsWith(failure_prefix));
  ASSERT_GT(result.error()->size(), failure_prefix.size());
  EXPECT_NE((*result.error())[failure_prefix.size()], ' ') << "curl's text follows the colon directly";
}

// The one test that waits out a transfer: the server answers after 2 s, the client gives up after 1 s.
TEST_F(http_client_test, answer_slower_than_the_time_limit_is_an_error) {
  m_server.script("/slow", slow("too late", 2s));
  const auto client = make_client(1, {}, 1s);

  const auto started = std::chrono::steady_clock::now();
  const auto result = client->perform_request(http::method::get, "/slow");
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.status_code(), boost::none);
  ASSERT_TRUE(result.error());
  EXPECT_THAT(*result.error(), StartsWith(failure_prefix));
  EXPECT_LT(took, 2s) << "the client waited for the answer instead of giving up";
  EXPECT_EQ(m_server.request_count(), 1u);
}

// --- asynchronous requests ---

TEST_F(http_client_test, async_result_is_handed_over_first_and_delivered_on_the_loop_thread) {
  m_server.script("/async", slow("{\"n\":1}"));
  const auto client = make_client();
  boost::optional<http::result> delivered;
  std::thread::id delivered_on;

  const auto handle =
      client->perform_async_request(http::method::post, "/async", "{\"q\":1}", [&](http::result _result) {
        delivered = std::move(_result);
        delivered_on = std::this_thread::get_id();
      });
  EXPECT_FALSE(handle->is_complete());

  // Handed over by the worker, but only the loop may run the callback.
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!handle->is_complete() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(handle->is_complete());
  EXPECT_FALSE(delivered) << "the callback ran off the loop";

  ASSERT_TRUE(run_until([&] { return delivered.has_value(); }));
  EXPECT_EQ(delivered_on, std::this_thread::get_id());
  EXPECT_TRUE(delivered->ok());
  EXPECT_EQ(delivered->data(), boost::make_optional(std::string("{\"n\":1}")));
  EXPECT_TRUE(handle->is_complete());

  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "{\"q\":1}");
}

TEST_F(http_client_test, callback_set_after_the_handover_still_gets_the_result) {
  m_server.script("/later", answer(200, "kept"));
  const auto client = make_client();

  const auto handle = client->perform_async_request(http::method::get, "/later", "");
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!handle->is_complete() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(handle->is_complete());
  handle->set_callback(record("late"));

  ASSERT_TRUE(run_until([&] { return !m_delivered.empty(); }));
  EXPECT_THAT(m_delivered, ElementsAre("late kept"));
}

TEST_F(http_client_test, one_worker_sends_and_delivers_in_request_order) {
  // The first answer is slow: with one worker the second cannot overtake it.
  m_server.script("/first", slow("1"));
  m_server.script("/second", answer(200, "2"));
  const auto client = make_client(1);

  const auto first = client->perform_async_request(http::method::get, "/first", record("first"));
  const auto second = client->perform_async_request(http::method::get, "/second", record("second"));
  ASSERT_TRUE(run_until([&] { return m_delivered.size() == 2; }));

  EXPECT_THAT(m_delivered, ElementsAre("first 1", "second 2"));
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/first");
  EXPECT_EQ(requests[1].target, "/second");
}

TEST_F(http_client_test, handle_dropped_while_queued_sends_nothing) {
  m_server.script("/busy", slow("busy"));
  m_server.script("/dropped", answer(200, "dropped"));
  m_server.script("/after", answer(200, "after"));
  const auto client = make_client(1);

  const auto busy = client->perform_async_request(http::method::get, "/busy", record("busy"));
  ASSERT_TRUE(m_server.wait_for_requests(1));
  // The only worker is inside the slow transfer; this one waits in its queue.
  client->perform_async_request(http::method::get, "/dropped", record("dropped")).reset();
  // Queued behind the dropped one: once it is delivered, the dropped one has had its turn.
  const auto after = client->perform_async_request(http::method::get, "/after", record("after"));

  ASSERT_TRUE(run_until([&] { return m_delivered.size() == 2; }));
  EXPECT_TRUE(run_pending());
  EXPECT_THAT(m_delivered, ElementsAre("busy busy", "after after"));
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/busy");
  EXPECT_EQ(requests[1].target, "/after");
}

TEST_F(http_client_test, handle_dropped_during_the_transfer_gets_no_callback) {
  m_server.script("/in-flight", slow("ignored"));
  m_server.script("/after", answer(200, "after"));
  const auto client = make_client(1);

  auto in_flight = client->perform_async_request(http::method::get, "/in-flight", record("in-flight"));
  ASSERT_TRUE(m_server.wait_for_requests(1));
  in_flight.reset();
  const auto after = client->perform_async_request(http::method::get, "/after", record("after"));

  // The single worker finishes the dropped transfer before it starts this one.
  ASSERT_TRUE(run_until([&] { return !m_delivered.empty(); }));
  EXPECT_TRUE(run_pending());
  EXPECT_THAT(m_delivered, ElementsAre("after after"));
  EXPECT_EQ(m_server.request_count(), 2u);
}

TEST_F(http_client_test, restart_sends_the_same_request_again_and_delivers_again) {
  m_server.script("/again", answer(200, "one"));
  const auto client = make_client(1);

  const auto handle = client->perform_async_request(http::method::put, "/again", "{\"same\":true}", record("r"));
  ASSERT_TRUE(run_until([&] { return m_delivered.size() == 1; }));
  EXPECT_TRUE(handle->is_complete());

  m_server.script("/again", answer(200, "two"));
  handle->restart();
  ASSERT_TRUE(run_until([&] { return m_delivered.size() == 2; }));
  EXPECT_TRUE(handle->is_complete());

  EXPECT_THAT(m_delivered, ElementsAre("r one", "r two"));
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& seen : requests) {
    EXPECT_EQ(seen.method, "PUT");
    EXPECT_EQ(seen.target, "/again");
    EXPECT_EQ(seen.body, "{\"same\":true}");
  }
}

// Transfers on several workers share one connection cache, DNS cache and
// cookie store; under AddressSanitizer this also checks their locking.
TEST_F(http_client_test, many_parallel_requests_on_several_workers_all_get_their_own_answer) {
  constexpr int request_count = 200;
  for (int i = 0; i < request_count; ++i) {
    m_server.script("/item/" + std::to_string(i), answer(200, "value " + std::to_string(i)));
  }
  const auto client = make_client(8);

  std::vector<http::client::handle_ptr> handles;
  std::vector<std::string> results(request_count);
  int delivered = 0;
  for (int i = 0; i < request_count; ++i) {
    handles.push_back(
        client->perform_async_request(http::method::get, "/item/" + std::to_string(i), [&, i](http::result _result) {
          ++delivered;
          results[i] = _result.data().value_or("error: " + _result.error().value_or(""));
        }));
  }
  ASSERT_TRUE(run_until([&] { return delivered == request_count; })) << delivered << " delivered";

  for (int i = 0; i < request_count; ++i) {
    EXPECT_EQ(results[i], "value " + std::to_string(i));
  }
  EXPECT_EQ(m_server.request_count(), static_cast<std::size_t>(request_count));
}

// Each transfer has an easy handle of its own: only the shared connection
// cache lets the next one use the connection the last one kept alive.
TEST_F(http_client_test, consecutive_requests_reuse_one_kept_alive_connection) {
  m_server.script("/again", answer(200, "same"));
  const auto client = make_client(1);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(client->perform_request(http::method::get, "/again").ok());
  }
  EXPECT_EQ(m_server.request_count(), 5u);
  EXPECT_EQ(m_server.accepted_connections(), 1u);
}

TEST_F(http_client_test, client_destroyed_during_a_transfer_waits_for_it_and_delivers_nothing) {
  m_server.script("/in-flight", slow("late"));
  auto client = make_client(1);

  const auto started = std::chrono::steady_clock::now();
  const auto handle = client->perform_async_request(http::method::get, "/in-flight", record("in-flight"));
  ASSERT_TRUE(m_server.wait_for_requests(1));
  client.reset();
  EXPECT_GE(std::chrono::steady_clock::now() - started, slow_answer) << "the transfer was cut short";

  EXPECT_TRUE(run_pending());
  EXPECT_TRUE(m_delivered.empty()) << m_delivered.front();
}

}  // namespace
}  // namespace kavo::libs::core
