#include <zmq.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>
#include <zmq.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/exception.h"
#include "core/logger.h"
#include "core/zmq/manager.h"
#include "core/zmq/message.h"
#include "core/zmq/socket.h"
#include "debug_receiver.h"
#include "loop_runner.h"
#include "temp_directory.h"

namespace kavo::libs::core {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::patience;
using testing::run_until;
using testing::runs_out_of_work;
using socket_type = zmq::socket::type;

// Enough frames to cross every high-water mark several times over.
constexpr int burst_size = 20000;

// Checks a burst: frame i must carry the number i.
class sequence_check {
 public:
  void operator()(boost::string_view _frame) {
    if (_frame != std::to_string(m_count) && !m_first_gap) {
      m_first_gap = "frame " + std::to_string(m_count) + " was \"" + std::string(_frame) + "\"";
    }
    ++m_count;
  }
  int count() const { return m_count; }
  std::string first_gap() const { return m_first_gap.value_or("none"); }

 private:
  int m_count = 0;
  std::optional<std::string> m_first_gap;
};

// A socket outside the loop that gives up on a wait after patience, so a
// stalled loop fails the test instead of hanging it.
::zmq::socket_t make_plain_socket(::zmq::context_t& _context, ::zmq::socket_type _type) {
  ::zmq::socket_t socket(_context, _type);
  socket.set(::zmq::sockopt::linger, 0);
  socket.set(::zmq::sockopt::sndtimeo, static_cast<int>(patience.count()));
  socket.set(::zmq::sockopt::rcvtimeo, static_cast<int>(patience.count()));
  return socket;
}

// Pushes frames "0", "1", ... from a thread of its own. Its socket stays open
// until finish(): a peer that disconnects while the receiving pipe is full
// loses what it had sent, linger or not.
class burst_sender {
 public:
  burst_sender(::zmq::context_t& _context, const std::string& _endpoint, int _count)
      : m_thread([this, &_context, _endpoint, _count] {
          auto push = make_plain_socket(_context, ::zmq::socket_type::push);
          push.connect(_endpoint);
          // The first send that times out ends the burst: the receiver is stuck.
          while (m_sent < _count && push.send(::zmq::buffer(std::to_string(m_sent.load())))) {
            ++m_sent;
          }
          m_finish.wait_for(patience);
        }) {}
  ~burst_sender() { finish(); }
  burst_sender(const burst_sender&) = delete;
  burst_sender& operator=(const burst_sender&) = delete;

  // The number of frames sent.
  int finish() {
    if (m_thread.joinable()) {
      m_finish_promise.set_value();
      m_thread.join();
    }
    return m_sent;
  }

 private:
  std::promise<void> m_finish_promise;
  std::shared_future<void> m_finish = m_finish_promise.get_future().share();
  std::atomic_int m_sent{0};
  std::thread m_thread;
};

class zmq_socket_test : public ::testing::Test {
 protected:
  zmq_socket_test() { m_logger.connect(m_receiver.endpoint()); }

  zmq::socket::ptr bind(socket_type _type, const std::string& _name) {
    return m_loop->get_zmq().bind(_type, m_directory.endpoint(_name));
  }
  zmq::socket::ptr connect(socket_type _type, const std::string& _name) {
    return m_loop->get_zmq().connect(_type, m_directory.endpoint(_name));
  }

  ::zmq::socket_t plain_socket(::zmq::socket_type _type) { return make_plain_socket(m_plain_context, _type); }

  // The line the loop logged right after its first "Caught exeption" line.
  std::string line_after_caught_exception() {
    return m_receiver.line_after(" Caught exeption", patience);
  }

  testing::debug_receiver m_receiver;
  logger m_logger{"svel_test", "main"};
  core::ptr m_core = core::create(m_logger);
  events_loop::ptr m_loop = m_core->create_events_loop("test");
  testing::temp_directory m_directory{"svel-zmq"};
  ::zmq::context_t m_plain_context;
};

// --- connecting and binding ---

TEST_F(zmq_socket_test, push_without_a_peer_refuses_frames_until_the_peer_binds) {
  // Either kind of peer: one of this loop's sockets or one made by plain ZeroMQ.
  const std::vector<std::pair<std::string, bool>> peers = {{"loop socket", true}, {"plain socket", false}};
  for (const auto& [name, on_loop] : peers) {
    SCOPED_TRACE(name);
    const std::string endpoint = "late-peer-" + std::to_string(on_loop);
    auto push = connect(socket_type::push, endpoint);
    EXPECT_FALSE(push->try_send(zmq::message("sent before the peer")));
    EXPECT_FALSE(push->try_send(zmq::message("sent before the peer again")));

    std::vector<std::string> received;
    zmq::socket::ptr loop_peer;
    std::optional<::zmq::socket_t> plain_peer;
    if (on_loop) {
      loop_peer = bind(socket_type::pull, endpoint);
      loop_peer->set_receive_callback([&](zmq::message& _frame) { received.push_back(_frame.to_string()); });
    } else {
      plain_peer = plain_socket(::zmq::socket_type::pull);
      plain_peer->bind(m_directory.endpoint(endpoint));
    }

    // The connection comes up in the background; until then every attempt is refused.
    int attempts = 0;
    std::optional<std::string> accepted;
    ASSERT_TRUE(run_until(
        *m_loop,
        [&] {
          ::zmq::message_t frame;
          while (plain_peer && plain_peer->recv(frame, ::zmq::recv_flags::dontwait)) {
            received.push_back(frame.to_string());
          }
          return !received.empty();
        },
        [&] {
          if (!accepted) {
            const auto frame = "attempt " + std::to_string(attempts++);
            if (push->try_send(zmq::message(frame))) {
              accepted = frame;
            }
          }
        }));
    ASSERT_TRUE(accepted) << "frames sent before the peer were delivered";
    // A refused frame is not queued for later either.
    EXPECT_THAT(received, ElementsAre(*accepted));
  }
}

TEST_F(zmq_socket_test, malformed_address_throws_with_the_reason_zeromq_gives) {
  struct address_case {
    bool bind;
    std::string address;
    int error_number;
  };
  const std::vector<address_case> cases = {
      {false, "tcp://", EINVAL},
      {false, "no-transport-at-all", EINVAL},
      {false, "tcp://127.0.0.1:not-a-port", EINVAL},
      {false, "carrier-pigeon://loft", EPROTONOSUPPORT},
      {true, "tcp://", EINVAL},
      {true, "no-transport-at-all", EINVAL},
      {true, "carrier-pigeon://loft", EPROTONOSUPPORT},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.address);
    const std::string verb = entry.bind ? "bind" : "connect";
    try {
      const auto socket = entry.bind ? m_loop->get_zmq().bind(socket_type::pull, entry.address)
                                     : m_loop->get_zmq().connect(socket_type::push, entry.address);
      ADD_FAILURE() << verb << " succeeded";
    } catch (const exception& error) {
      EXPECT_EQ(error.get_string_error(),
                "zmq::socket_impl::" + verb + " to " + entry.address + ": " + zmq_strerror(entry.error_number));
    }
  }
  // None of the failures left anything on the loop.
  EXPECT_TRUE(runs_out_of_work(*m_loop));
}

// --- receiving ---

TEST_F(zmq_socket_test, throwing_receive_callback_is_logged_and_the_next_frame_still_arrives) {
  auto pull = bind(socket_type::pull, "throwing");
  auto push = connect(socket_type::push, "throwing");
  std::vector<std::string> received;
  pull->set_receive_callback([&](zmq::message& _frame) {
    received.push_back(_frame.to_string());
    if (_frame.view() == "one") {
      throw std::runtime_error("cannot handle one");
    }
  });
  push->send(zmq::message("one"));
  push->send(zmq::message("two"));
  push->send(zmq::message("three"));

  ASSERT_TRUE(run_until(*m_loop, [&] { return received.size() == 3; }));
  EXPECT_THAT(received, ElementsAre("one", "two", "three"));
  EXPECT_THAT(line_after_caught_exception(), ::testing::EndsWith(" std::exception::what(): cannot handle one"));
}

// Destroying the socket at various points after its first frame: inside the
// callback, or from a handler queued some turns of the loop later, by which
// time the next frame may already have been read and its completion queued.
// A callback that throws makes the receive start over from a queued handler.
TEST_F(zmq_socket_test, destroyed_socket_never_calls_back_and_leaves_nothing_pending) {
  for (const bool throws : {false, true}) {
    for (int posts = 0; posts <= 4; ++posts) {
      SCOPED_TRACE(std::string(throws ? "throwing callback, " : "") + "destroyed after " + std::to_string(posts) +
                   " posts");
      const std::string endpoint = "destroyed-" + std::to_string(throws) + std::to_string(posts);
      auto pull = bind(socket_type::pull, endpoint);
      auto push = connect(socket_type::push, endpoint);
      for (int i = 0; i < 5; ++i) {
        push->send(zmq::message("frame " + std::to_string(i)));
      }

      bool destroyed = false;
      std::vector<std::string> received;
      std::vector<std::string> after_destruction;
      std::function<void(int)> destroy_later = [&](int _left) {
        if (_left == 0) {
          pull.reset();
          destroyed = true;
          return;
        }
        m_loop->post([&destroy_later, _left] { destroy_later(_left - 1); });
      };
      pull->set_receive_callback([&, throws = throws, posts = posts](zmq::message& _frame) {
        (destroyed ? after_destruction : received).push_back(_frame.to_string());
        if (received.size() == 1 && !destroyed) {
          destroy_later(posts);
          if (throws) {
            throw std::runtime_error("cannot handle the first frame");
          }
        }
      });

      ASSERT_TRUE(runs_out_of_work(*m_loop));
      EXPECT_TRUE(destroyed);
      EXPECT_THAT(received, ::testing::Contains("frame 0"));
      EXPECT_THAT(after_destruction, ::testing::IsEmpty());
    }
  }
}

TEST_F(zmq_socket_test, socket_destroyed_with_a_receive_pending_never_calls_back) {
  // Frames queued, callback installed, destroyed before the loop ever ran.
  {
    auto pull = bind(socket_type::pull, "queued");
    auto push = connect(socket_type::push, "queued");
    for (int i = 0; i < 3; ++i) {
      push->send(zmq::message("queued " + std::to_string(i)));
    }
    int calls = 0;
    pull->set_receive_callback([&](zmq::message&) { ++calls; });
    pull.reset();
    push->try_send(zmq::message("after destruction"));
    EXPECT_TRUE(runs_out_of_work(*m_loop));
    EXPECT_EQ(calls, 0);
  }
  // Nothing queued: the receive is waiting on the descriptor when the socket goes.
  {
    auto pull = bind(socket_type::pull, "idle");
    auto push = connect(socket_type::push, "idle");
    int calls = 0;
    pull->set_receive_callback([&](zmq::message&) { ++calls; });
    int turns = 0;
    ASSERT_TRUE(run_until(*m_loop, [&] { return ++turns == 3; }));
    pull.reset();
    push->try_send(zmq::message("after destruction"));
    EXPECT_TRUE(runs_out_of_work(*m_loop));
    EXPECT_EQ(calls, 0);
  }
}

TEST_F(zmq_socket_test, multipart_messages_are_read_whole_and_in_order) {
  auto pull = bind(socket_type::pull, "multipart");
  auto push = connect(socket_type::push, "multipart");
  // The first frame tells how many frames its message has.
  const std::vector<std::vector<std::string>> messages = {
      {"3 a", "a.2", "a.3"}, {"1 b"}, {"2 c", "c.2"}, {"4 d", "", "d.3", "d.4"}, {"1 e"}};
  for (const auto& parts : messages) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i + 1 < parts.size()) {
        push->send(zmq::message(parts[i]), zmq::flags::sndmore);
      } else {
        push->send(zmq::message(parts[i]));
      }
    }
  }

  std::vector<std::vector<std::string>> received;
  pull->set_receive_callback([&](zmq::message& _first) {
    std::vector<std::string> parts{_first.to_string()};
    const int count = std::stoi(parts.front());
    while (static_cast<int>(parts.size()) < count) {
      parts.push_back(pull->receive_more().to_string());
    }
    received.push_back(parts);
  });

  ASSERT_TRUE(run_until(*m_loop, [&] { return received.size() >= messages.size(); }));
  EXPECT_EQ(received, messages);
}

TEST_F(zmq_socket_test, second_receive_callback_replaces_the_first) {
  auto pull = bind(socket_type::pull, "replaced");
  auto push = connect(socket_type::push, "replaced");
  std::vector<std::string> first;
  std::vector<std::string> second;
  pull->set_receive_callback([&](zmq::message& _frame) { first.push_back(_frame.to_string()); });
  push->send(zmq::message("one"));
  ASSERT_TRUE(run_until(*m_loop, [&] { return first.size() == 1; }));

  pull->set_receive_callback([&](zmq::message& _frame) { second.push_back(_frame.to_string()); });
  push->send(zmq::message("two"));
  push->send(zmq::message("three"));
  ASSERT_TRUE(run_until(*m_loop, [&] { return second.size() == 2; }));
  EXPECT_THAT(first, ElementsAre("one"));
  EXPECT_THAT(second, ElementsAre("two", "three"));
}

TEST_F(zmq_socket_test, receive_callback_may_replace_itself) {
  auto pull = bind(socket_type::pull, "self-replaced");
  auto push = connect(socket_type::push, "self-replaced");
  std::vector<std::string> log;
  // Captures that need the heap, so a callback destroyed while it runs is noticed.
  const std::string first_name = "the first callback, whose name does not fit in a small string";
  pull->set_receive_callback([&log, &pull, name = first_name](zmq::message& _frame) {
    pull->set_receive_callback([&log](zmq::message& _next) { log.push_back("second: " + _next.to_string()); });
    // Still running after the replacement: its own state must be intact.
    log.push_back(name + ": " + _frame.to_string());
  });
  push->send(zmq::message("one"));
  push->send(zmq::message("two"));

  ASSERT_TRUE(run_until(*m_loop, [&] { return log.size() == 2; }));
  EXPECT_THAT(log, ElementsAre(first_name + ": one", "second: two"));
}

// --- bursts ---

TEST_F(zmq_socket_test, burst_from_another_thread_arrives_whole_and_in_order) {
  auto pull = bind(socket_type::pull, "burst");
  sequence_check check;
  pull->set_receive_callback([&](zmq::message& _frame) { check(_frame.view()); });

  burst_sender sender(m_plain_context, m_directory.endpoint("burst"), burst_size);
  const bool all_arrived = run_until(*m_loop, [&] { return check.count() >= burst_size; });

  EXPECT_TRUE(all_arrived) << check.count() << " frames arrived";
  EXPECT_EQ(sender.finish(), burst_size);
  EXPECT_EQ(check.count(), burst_size);
  EXPECT_EQ(check.first_gap(), "none");
}

// The frames are there before anyone asks for them. When the loop has run
// meanwhile, the descriptor's edge for them is gone: only a look at
// ZMQ_EVENTS when the callback is installed finds them.
TEST_F(zmq_socket_test, burst_queued_before_the_callback_arrives_whole_and_in_order) {
  for (const int idle_ticks : {0, 10}) {
    SCOPED_TRACE("loop ran for " + std::to_string(idle_ticks) + " ticks first");
    const std::string endpoint = "queued-burst-" + std::to_string(idle_ticks);
    auto pull = bind(socket_type::pull, endpoint);
    auto push = plain_socket(::zmq::socket_type::push);
    // No limit on the sender's side: the whole burst is handed over at once.
    push.set(::zmq::sockopt::sndhwm, 0);
    push.connect(m_directory.endpoint(endpoint));
    for (int i = 0; i < burst_size; ++i) {
      ASSERT_TRUE(push.send(::zmq::buffer(std::to_string(i)), ::zmq::send_flags::dontwait));
    }
    int ticks = 0;
    ASSERT_TRUE(run_until(*m_loop, [&] { return ticks++ >= idle_ticks; }));

    sequence_check check;
    pull->set_receive_callback([&](zmq::message& _frame) { check(_frame.view()); });
    EXPECT_TRUE(run_until(*m_loop, [&] { return check.count() >= burst_size; })) << check.count() << " frames arrived";
    EXPECT_EQ(check.count(), burst_size);
    EXPECT_EQ(check.first_gap(), "none");
  }
}

TEST_F(zmq_socket_test, burst_forwarded_from_the_receive_callback_arrives_whole_on_both_legs) {
  auto pull = bind(socket_type::pull, "forward-in");
  auto collector = plain_socket(::zmq::socket_type::pull);
  collector.bind(m_directory.endpoint("forward-out"));
  auto forward = connect(socket_type::push, "forward-out");

  sequence_check received;
  pull->set_receive_callback([&](zmq::message& _frame) {
    received(_frame.view());
    // Blocks whenever the collector falls behind.
    forward->send(zmq::message(_frame.view()));
  });

  sequence_check collected;
  std::thread collecting([&] {
    ::zmq::message_t frame;
    while (collected.count() < burst_size && collector.recv(frame)) {
      collected(frame.to_string());
    }
  });
  burst_sender sender(m_plain_context, m_directory.endpoint("forward-in"), burst_size);
  const bool all_arrived = run_until(*m_loop, [&] { return received.count() >= burst_size; });
  EXPECT_EQ(sender.finish(), burst_size);
  collecting.join();

  EXPECT_TRUE(all_arrived) << received.count() << " frames arrived";
  EXPECT_EQ(received.count(), burst_size);
  EXPECT_EQ(received.first_gap(), "none");
  EXPECT_EQ(collected.count(), burst_size);
  EXPECT_EQ(collected.first_gap(), "none");
}

TEST_F(zmq_socket_test, request_and_reply_sockets_on_one_loop_keep_up_a_long_exchange) {
  constexpr int round_trips = 3000;
  auto rep = bind(socket_type::rep, "exchange");
  auto req = connect(socket_type::req, "exchange");
  rep->set_receive_callback([&](zmq::message& _request) { rep->send(zmq::message("re " + _request.to_string())); });

  sequence_check replies;
  req->set_receive_callback([&](zmq::message& _reply) {
    replies(_reply.view().substr(3));
    if (replies.count() < round_trips) {
      req->send(zmq::message(std::to_string(replies.count())));
    }
  });
  req->send(zmq::message("0"));

  EXPECT_TRUE(run_until(*m_loop, [&] { return replies.count() >= round_trips; })) << replies.count() << " replies";
  EXPECT_EQ(replies.first_gap(), "none");
}

// The reply leaves two turns after the request arrived, while the next receive
// already waits on the descriptor: the send itself may then take in the
// signal of the next client's request, and no edge is left for the wait.
TEST_F(zmq_socket_test, replies_sent_while_a_receive_waits_do_not_strand_the_next_request) {
  constexpr int clients = 4;
  constexpr int requests_per_client = 500;
  auto rep = bind(socket_type::rep, "deferred");
  int served = 0;
  rep->set_receive_callback([&](zmq::message& _request) {
    m_loop->post([&, reply = "re " + _request.to_string()] {
      m_loop->post([&, reply] {
        rep->send(zmq::message(reply));
        ++served;
      });
    });
  });

  std::vector<int> good_replies(clients, 0);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      auto req = plain_socket(::zmq::socket_type::req);
      req.connect(m_directory.endpoint("deferred"));
      for (int i = 0; i < requests_per_client; ++i) {
        const auto request = std::to_string(c) + "/" + std::to_string(i);
        ::zmq::message_t reply;
        if (!req.send(::zmq::buffer(request)) || !req.recv(reply)) {
          return;
        }
        good_replies[c] += reply.to_string() == "re " + request ? 1 : 0;
      }
    });
  }
  const bool all_served = run_until(*m_loop, [&] { return served >= clients * requests_per_client; });
  for (auto& thread : threads) {
    thread.join();
  }

  EXPECT_TRUE(all_served) << served << " requests served";
  EXPECT_THAT(good_replies, ::testing::Each(requests_per_client));
}

// --- sending ---

TEST_F(zmq_socket_test, request_socket_refuses_a_second_request_before_the_reply) {
  auto rep = bind(socket_type::rep, "strict");
  auto req = connect(socket_type::req, "strict");
  std::vector<std::string> requests;
  rep->set_receive_callback([&](zmq::message& _request) {
    requests.push_back(_request.to_string());
    rep->send(zmq::message("reply to " + _request.to_string()));
  });
  std::vector<std::string> replies;
  req->set_receive_callback([&](zmq::message& _reply) { replies.push_back(_reply.to_string()); });

  req->send(zmq::message("first"));
  try {
    req->send(zmq::message("too early"));
    ADD_FAILURE() << "a second request was sent";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code().value(), EFSM);
    EXPECT_EQ(error.code().message(), zmq_strerror(EFSM));
  }
  ASSERT_TRUE(run_until(*m_loop, [&] { return replies.size() == 1; }));

  // The refused send left the socket in a usable state.
  req->send(zmq::message("second"));
  ASSERT_TRUE(run_until(*m_loop, [&] { return replies.size() == 2; }));
  EXPECT_THAT(requests, ElementsAre("first", "second"));
  EXPECT_THAT(replies, ElementsAre("reply to first", "reply to second"));
}

// The reply is in before anyone listens for it, and a refused send has taken
// in whatever signal announced it: the descriptor has no edge left to
// report, only ZMQ_EVENTS tells.
TEST_F(zmq_socket_test, reply_that_came_before_the_callback_is_delivered_once_it_is_installed) {
  auto rep = bind(socket_type::rep, "late-callback");
  auto req = connect(socket_type::req, "late-callback");
  int requests = 0;
  rep->set_receive_callback([&](zmq::message& _request) {
    ++requests;
    rep->send(zmq::message("reply to " + _request.to_string()));
  });
  req->send(zmq::message("request"));
  // Some turns more than the hop between two local sockets takes.
  int ticks_since_request = 0;
  ASSERT_TRUE(run_until(*m_loop, [&] { return requests == 1 && ++ticks_since_request > 10; }));
  EXPECT_THROW(req->send(zmq::message("too early")), boost::system::system_error);

  std::vector<std::string> replies;
  req->set_receive_callback([&](zmq::message& _reply) { replies.push_back(_reply.to_string()); });
  ASSERT_TRUE(run_until(*m_loop, [&] { return !replies.empty(); }));
  EXPECT_THAT(replies, ElementsAre("reply to request"));
}

}  // namespace
}  // namespace kavo::libs::core
