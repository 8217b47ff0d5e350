#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>
#include <boost/utility/string_view.hpp>
#include <zmq.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"
#include "core/message_stream.h"
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
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::patience;
using testing::run_until;
using testing::runs_out_of_work;

// How the frames of a topic look to the publisher and to a subscriber, for
// the stream of whole frames and for the notifications stream.
struct stream_kind {
  const char* name;
  bool notifications;

  message_stream::ptr create(events_loop& _loop, const std::string& _address) const {
    return notifications ? _loop.create_zmq_message_stream(_address) : _loop.create_zmq_raw_message_stream(_address);
  }
  std::string frame(const std::string& _topic, int _number) const {
    return notifications ? "#" + _topic + " " + payload(_topic, _number) : payload(_topic, _number);
  }
  std::string payload(const std::string& _topic, int _number) const {
    return notifications ? "{\"n\":" + std::to_string(_number) + "}" : _topic + std::to_string(_number);
  }
  // Markers travel on a topic of their own and carry a tag: a stream that has
  // passed a marker on has passed on everything published before it.
  std::string marker_topic() const { return notifications ? "marker" : "~"; }
  std::string marker_frame(const std::string& _tag) const {
    return (notifications ? "#marker " : "~") + marker_json(_tag);
  }
  static std::string marker_json(const std::string& _tag) { return "{\"marker\":\"" + _tag + "\"}"; }
};

void PrintTo(const stream_kind& _kind, std::ostream* _stream) {
  *_stream << _kind.name;
}

const stream_kind raw_stream{"raw", false};
const stream_kind notifications_stream{"notifications", true};

class message_stream_test : public ::testing::Test {
 protected:
  message_stream_test() {
    m_logger.connect(m_receiver.endpoint());
    m_publisher.set(::zmq::sockopt::linger, 0);
    // Nothing is dropped on the publisher's side, however long a burst.
    m_publisher.set(::zmq::sockopt::sndhwm, 0);
    m_publisher.bind("tcp://127.0.0.1:*");
    m_endpoint = m_publisher.get(::zmq::sockopt::last_endpoint);
  }

  void publish(const std::string& _frame) {
    ASSERT_TRUE(m_publisher.send(::zmq::buffer(_frame), ::zmq::send_flags::dontwait));
  }

  // Records what a subscriber is given as "<name> <payload>"; markers are
  // noted apart, whichever subscriber is handed them.
  message_stream::callback record(const std::string& _name) {
    return [this, _name](boost::string_view _payload) {
      if (_payload.find("{\"marker\":") != boost::string_view::npos) {
        m_last_marker = std::string(_payload);
      } else {
        m_calls.push_back(_name + " " + std::string(_payload));
      }
    };
  }

  bool marker_arrived(const std::string& _tag) const {
    return boost::string_view(m_last_marker).ends_with(stream_kind::marker_json(_tag));
  }

  // A SUB joins its publisher in the background and misses what is published
  // before; the probe is repeated until the stream passes one on. Topics
  // subscribed before this are in place once it returns.
  void join(message_stream& _stream, const stream_kind& _kind) {
    // A probe an earlier stream passed on says nothing about this one.
    m_last_marker.clear();
    m_marker_subscription = _stream.subscribe(_kind.marker_topic(), record("marker"));
    ASSERT_TRUE(run_until(
        *m_loop, [&] { return marker_arrived("probe"); }, [&] { publish(_kind.marker_frame("probe")); }))
        << "the stream never joined " << m_endpoint;
  }

  // Returns once the stream has handled everything published so far.
  void flush(const stream_kind& _kind) {
    const auto tag = "end " + std::to_string(++m_flushes);
    publish(_kind.marker_frame(tag));
    ASSERT_TRUE(run_until(*m_loop, [&] { return marker_arrived(tag); }));
  }

  // The line the loop logged right after its next "Caught exeption" line.
  std::string line_after_caught_exception() {
    return m_receiver.line_after(" Caught exeption", patience);
  }

  testing::debug_receiver m_receiver;
  logger m_logger{"svel_test", "main"};
  core::ptr m_core = core::create(m_logger);
  events_loop::ptr m_loop = m_core->create_events_loop("test");
  ::zmq::context_t m_plain_context;
  ::zmq::socket_t m_publisher{m_plain_context, ::zmq::socket_type::pub};
  std::string m_endpoint;

  std::vector<std::string> m_calls;
  std::string m_last_marker;
  int m_flushes = 0;
  message_stream::subscription::ptr m_marker_subscription;
};

// --- both kinds of stream ---

class stream_behaviour_test : public message_stream_test, public ::testing::WithParamInterface<stream_kind> {
 protected:
  const stream_kind& kind() const { return GetParam(); }

  std::vector<std::string> calls_of(const std::string& _name, const std::string& _topic,
                                    const std::vector<int>& _numbers) const {
    std::vector<std::string> calls;
    for (const int number : _numbers) {
      calls.push_back(_name + " " + kind().payload(_topic, number));
    }
    return calls;
  }

  message_stream::ptr m_stream = kind().create(*m_loop, m_endpoint);
  std::map<std::string, message_stream::subscription::ptr> m_subscriptions;
};

TEST_P(stream_behaviour_test, subscribers_of_one_topic_are_called_in_subscription_order) {
  m_subscriptions["first"] = m_stream->subscribe("t", record("first"));
  m_subscriptions["second"] = m_stream->subscribe("t", record("second"));
  join(*m_stream, kind());

  publish(kind().frame("t", 1));
  flush(kind());
  EXPECT_THAT(m_calls, ElementsAre("first " + kind().payload("t", 1), "second " + kind().payload("t", 1)));

  m_calls.clear();
  m_subscriptions.erase("first");
  publish(kind().frame("t", 2));
  flush(kind());
  EXPECT_THAT(m_calls, ElementsAre("second " + kind().payload("t", 2)));
}

// The victim's subscription goes away in the middle of a burst that the
// stream may already hold; it must not be called for any frame after that.
TEST_P(stream_behaviour_test, subscription_dropped_by_a_callback_mid_burst_stops_at_once) {
  struct drop_case {
    const char* name;
    std::string dropper_topic;
    std::string dropping_payload;  // what the dropper is given when it drops the victim
    std::vector<int> victim_gets;
  };
  const std::vector<drop_case> cases = {
      {"earlier subscriber of the same topic", "t", kind().payload("t", 3), {1, 2}},
      {"subscriber of another topic, between two frames", "drop", kind().payload("drop", 0), {1, 2, 3}},
      {"the victim itself", "", kind().payload("t", 2), {1, 2}},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    m_calls.clear();
    m_subscriptions.clear();
    m_stream = kind().create(*m_loop, m_endpoint);
    const bool self = entry.dropper_topic.empty();
    if (!self) {
      m_subscriptions["dropper"] =
          m_stream->subscribe(entry.dropper_topic, [this, &entry](boost::string_view _payload) {
            if (_payload == entry.dropping_payload) {
              m_subscriptions.erase("victim");
            }
          });
    }
    const auto victim = record("victim");
    m_subscriptions["victim"] = m_stream->subscribe("t", [this, &entry, victim, self](boost::string_view _payload) {
      victim(_payload);
      if (self && _payload == entry.dropping_payload) {
        m_subscriptions.erase("victim");
      }
    });
    join(*m_stream, kind());

    // One burst, published before the loop gets to any of it.
    for (int i = 1; i <= 3; ++i) {
      publish(kind().frame("t", i));
    }
    publish(kind().frame("drop", 0));
    for (int i = 4; i <= 6; ++i) {
      publish(kind().frame("t", i));
    }
    flush(kind());
    EXPECT_EQ(m_calls, calls_of("victim", "t", entry.victim_gets));
  }
}

TEST_P(stream_behaviour_test, topic_subscribed_again_after_being_dropped_is_served_at_once) {
  m_subscriptions["before"] = m_stream->subscribe("t", record("before"));
  join(*m_stream, kind());
  publish(kind().frame("t", 1));
  flush(kind());

  m_subscriptions.clear();
  publish(kind().frame("t", 2));
  flush(kind());
  // No probe this time: the socket still holds the topic, so nothing is missed.
  m_subscriptions["after"] = m_stream->subscribe("t", record("after"));
  publish(kind().frame("t", 3));
  flush(kind());
  EXPECT_THAT(m_calls, ElementsAre("before " + kind().payload("t", 1), "after " + kind().payload("t", 3)));
}

TEST_P(stream_behaviour_test, throwing_callback_is_logged_and_the_stream_goes_on) {
  const auto recorder = record("subscriber");
  m_subscriptions["subscriber"] = m_stream->subscribe("t", [&](boost::string_view _payload) {
    recorder(_payload);
    if (_payload == kind().payload("t", 1)) {
      throw std::runtime_error("cannot handle the first frame");
    }
  });
  join(*m_stream, kind());
  for (int i = 1; i <= 3; ++i) {
    publish(kind().frame("t", i));
  }
  flush(kind());

  EXPECT_EQ(m_calls, calls_of("subscriber", "t", {1, 2, 3}));
  EXPECT_THAT(line_after_caught_exception(),
              ::testing::EndsWith(" std::exception::what(): cannot handle the first frame"));
}

TEST_P(stream_behaviour_test, burst_arrives_whole_and_in_order) {
  constexpr int burst_size = 20000;
  std::vector<std::string> expected;
  for (int i = 0; i < burst_size; ++i) {
    expected.push_back(kind().payload("t", i));
  }
  std::vector<std::string> received;
  m_subscriptions["burst"] =
      m_stream->subscribe("t", [&](boost::string_view _payload) { received.emplace_back(_payload); });
  join(*m_stream, kind());

  for (int i = 0; i < burst_size; ++i) {
    publish(kind().frame("t", i));
  }
  flush(kind());
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "frames out of order";
}

// Destroyed inside a subscriber's callback, or from a handler queued some
// turns of the loop later, while the rest of a burst is on its way or read.
// A callback that throws makes the receive start over from a queued handler.
TEST_P(stream_behaviour_test, destroyed_stream_never_calls_back_and_leaves_nothing_pending) {
  for (const bool throws : {false, true}) {
    for (int posts = 0; posts <= 4; ++posts) {
      SCOPED_TRACE(std::string(throws ? "throwing callback, " : "") + "destroyed after " + std::to_string(posts) +
                   " posts");
      m_stream = kind().create(*m_loop, m_endpoint);
      bool destroyed = false;
      std::vector<std::string> received;
      std::vector<std::string> after_destruction;
      std::function<void(int)> destroy_later = [&](int _left) {
        if (_left == 0) {
          m_stream.reset();
          destroyed = true;
          return;
        }
        m_loop->post([&destroy_later, _left] { destroy_later(_left - 1); });
      };
      const auto subscription =
          m_stream->subscribe("t", [&, throws = throws, posts = posts](boost::string_view _payload) {
            (destroyed ? after_destruction : received).emplace_back(_payload);
            if (received.size() == 1 && !destroyed) {
              destroy_later(posts);
              if (throws) {
                throw std::runtime_error("cannot handle the first frame");
              }
            }
          });
      join(*m_stream, kind());
      for (int i = 0; i < 5; ++i) {
        publish(kind().frame("t", i));
      }

      ASSERT_TRUE(runs_out_of_work(*m_loop));
      EXPECT_TRUE(destroyed);
      EXPECT_THAT(received, ::testing::Contains(kind().payload("t", 0)));
      EXPECT_THAT(after_destruction, IsEmpty());
    }
  }
}

TEST_P(stream_behaviour_test, stream_destroyed_with_a_receive_pending_never_calls_back) {
  int calls = 0;
  m_subscriptions["t"] = m_stream->subscribe("t", [&](boost::string_view) { ++calls; });
  join(*m_stream, kind());
  for (int i = 0; i < 3; ++i) {
    publish(kind().frame("t", i));
  }
  m_stream.reset();
  publish(kind().frame("t", 4));

  EXPECT_TRUE(runs_out_of_work(*m_loop));
  EXPECT_EQ(calls, 0);
}

INSTANTIATE_TEST_SUITE_P(kinds, stream_behaviour_test, ::testing::Values(raw_stream, notifications_stream),
                         [](const ::testing::TestParamInfo<stream_kind>& _info) { return _info.param.name; });

TEST_F(message_stream_test, malformed_address_throws_a_system_error) {
  for (const auto& kind : {raw_stream, notifications_stream}) {
    for (const std::string address : {"tcp://", "no-transport-at-all", "carrier-pigeon://loft"}) {
      SCOPED_TRACE(std::string(kind.name) + " " + address);
      EXPECT_THROW(kind.create(*m_loop, address), boost::system::system_error);
    }
  }
  EXPECT_TRUE(runs_out_of_work(*m_loop));
}

// --- the stream of whole frames ---

TEST_F(message_stream_test, raw_frame_goes_to_the_first_matching_topic_in_byte_order) {
  auto stream = m_loop->create_zmq_raw_message_stream(m_endpoint);
  // Subscribed out of byte order on purpose.
  const auto ab = stream->subscribe("ab", record("ab"));
  const auto b = stream->subscribe("b", record("b"));
  const auto a = stream->subscribe("a", record("a"));
  const auto bb = stream->subscribe("bb", record("bb"));
  join(*stream, raw_stream);

  for (const std::string frame : {"abc", "ab", "a", "bbq", "b", "c", "ba", "", "A", "zzz"}) {
    publish(frame);
  }
  flush(raw_stream);
  // Frames no topic prefixes are dropped without a word.
  EXPECT_THAT(m_calls, ElementsAre("a abc", "a ab", "a a", "b bbq", "b b", "b ba"));
}

TEST_F(message_stream_test, raw_empty_topic_sorts_first_and_takes_every_frame) {
  auto stream = m_loop->create_zmq_raw_message_stream(m_endpoint);
  const auto a = stream->subscribe("a", record("a"));
  const auto everything = stream->subscribe("", record("everything"));
  join(*stream, raw_stream);

  for (const std::string frame : {"abc", "zzz", "a"}) {
    publish(frame);
  }
  flush(raw_stream);
  EXPECT_THAT(m_calls, ElementsAre("everything abc", "everything zzz", "everything a"));
}

TEST_F(message_stream_test, raw_stream_reads_a_publisher_made_by_the_loop) {
  const testing::temp_directory directory("svel-stream");
  const auto address = directory.endpoint("pub");
  auto publisher = m_loop->get_zmq().bind(zmq::socket::type::pub, address);
  auto stream = m_loop->create_zmq_raw_message_stream(address);
  std::vector<std::string> received;
  const auto subscription = stream->subscribe("t", [&](boost::string_view _frame) { received.emplace_back(_frame); });
  const auto marker = stream->subscribe("~", record("marker"));
  ASSERT_TRUE(run_until(
      *m_loop, [&] { return marker_arrived("probe"); },
      [&] { publisher->send(zmq::message(raw_stream.marker_frame("probe"))); }));

  // Well below the publisher's high-water mark, which it never waits on.
  std::vector<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    expected.push_back("t" + std::to_string(i));
    publisher->send(zmq::message(expected.back()));
  }
  publisher->send(zmq::message(raw_stream.marker_frame("end")));
  ASSERT_TRUE(run_until(*m_loop, [&] { return marker_arrived("end"); }));
  EXPECT_EQ(received, expected);
}

// --- the notifications stream ---

TEST_F(message_stream_test, notification_subscribers_get_the_json_of_their_channel) {
  auto stream = m_loop->create_zmq_message_stream(m_endpoint);
  // A topic that begins with a letter names the channel "#<topic>"; any other is the channel itself.
  const auto raw_msg = stream->subscribe("raw_msg", record("raw_msg"));
  const auto notify = stream->subscribe("#notify", record("#notify"));
  const auto digit = stream->subscribe("1x", record("1x"));
  join(*stream, notifications_stream);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"#raw_msg {\"a\":1}", "raw_msg {\"a\":1}"},
      {"#raw_msg", ""},
      {"#raw_msg text before the document {\"b\":2}", "raw_msg {\"b\":2}"},
      {"#raw_msg{\"c\":{\"d\":3}}", "raw_msg {\"c\":{\"d\":3}}"},
      {"raw_msg {\"e\":4}", ""},
      {"#notify{\"f\":5}", "#notify {\"f\":5}"},
      {"##notify{\"g\":6}", ""},
      {"#notify", ""},
      {"1x{\"h\":7}", "1x {\"h\":7}"},
      {"#1x{\"i\":8}", ""},
  };
  std::vector<std::string> expected;
  for (const auto& [frame, call] : cases) {
    publish(frame);
    if (!call.empty()) {
      expected.push_back(call);
    }
  }
  flush(notifications_stream);
  EXPECT_THAT(m_calls, ElementsAreArray(expected));
}

}  // namespace
}  // namespace kavo::libs::core
