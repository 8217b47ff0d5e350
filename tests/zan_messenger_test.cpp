#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/format.hpp>
#include <zmq.hpp>

#include "temp_directory.h"
#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"
#include "core/zmq/socket.h"
#include "debug_receiver.h"
#include "utils.h"
#include "zan_messenger_impl.h"

namespace kavo::svel {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;
namespace core = libs::core;

// How long anything that should happen at once may take on a loaded machine.
// Waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds patience = 10s;

const std::string this_file = "/tests/zan_messenger_test.cpp";
const std::string good_report = R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012010597"})";

// A line the messenger logs with its location; line numbers are not pinned.
std::string in_impl(const std::string& _message) {
  return "/src/zan_messenger_impl.cpp:N " + _message;
}

std::string hex_byte(unsigned _value) {
  return (boost::format("%02X") % _value).str();
}

// "#zan 080E" comes first, then the sequence number.
std::string sequence_of(const std::string& _command) {
  return _command.size() >= 11 ? _command.substr(9, 2) : "<" + _command + ">";
}

// --- helpers of the command text ---

TEST(extend_mac, puts_fffe_after_the_first_three_bytes_in_upper_case) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a1b2c3d4e5f6", "A1B2C3FFFED4E5F6"},
      {"A1B2C3D4E5F6", "A1B2C3FFFED4E5F6"},
      {"a1B2c3D4e5F6", "A1B2C3FFFED4E5F6"},
      {"a1b2c3d4", "A1B2C3FFFED4"},
      {"a1b2c3", "A1B2C3FFFE"},
      {"a1b", "A1BFFFE"},
      {"", "FFFE"},
  };
  for (const auto& [mac, extended] : cases) {
    EXPECT_EQ(extend_mac(mac), extended) << mac;
  }
}

struct number_case {
  std::string text;
  int value;  // -1: nothing read
};

TEST(parse_number, reads_exactly_the_leading_digits_of_the_width) {
  for (const auto& c : {number_case{"00AB12", 0x00AB}, number_case{"ab05", 0xAB05}, number_case{"FFFF", 0xFFFF},
                        number_case{"0000", 0}, number_case{"0AB", -1}, number_case{"", -1}, number_case{"00G1", -1},
                        number_case{" 0AB", -1}, number_case{"-001", -1}, number_case{"0x1F", -1}}) {
    const auto parsed = parse_number<unsigned short>(c.text);
    EXPECT_EQ(parsed ? int(*parsed) : -1, c.value) << c.text;
  }
  for (const auto& c : {number_case{"97", 0x97}, number_case{"ff00", 0xFF}, number_case{"0A", 0x0A},
                        number_case{"A", -1}, number_case{"", -1}, number_case{"g0", -1}}) {
    const auto parsed = parse_number<unsigned char>(c.text);
    EXPECT_EQ(parsed ? int(*parsed) : -1, c.value) << c.text;
  }
}

// --- the messenger on a real loop, real sockets and a real message stream ---

// A directory for the test's ipc endpoints, removed with everything in it.

using item = std::tuple<int32_t, int32_t, int32_t>;

struct nbrs_table {
  std::string mac;
  std::vector<item> items;
  core::timestamp time;
};

class zan_messenger_test : public ::testing::Test {
 protected:
  zan_messenger_test() {
    m_logger.connect(m_receiver.endpoint());
    m_messenger->do_on_receive_nbr_multicast_report(
        [this](zan_messenger::multicast_report& _report) { m_reports.push_back(_report); });
    m_messenger->do_on_receive_nbrs_parameter([this](const std::string& _mac,
                                                     const std::vector<zan_messenger::nbrs_parameter_item>& _items,
                                                     const core::timestamp& _time) {
      nbrs_table table{_mac, {}, _time};
      for (const auto& entry : _items) {
        table.items.emplace_back(entry.node_id, entry.lqi, entry.e);
      }
      m_tables.push_back(table);
    });
    wait_for_gateway();
    logged();
  }

  // Frames are queued only for a connected peer, and connecting is
  // asynchronous: offer probes straight to the socket until one goes through.
  void wait_for_gateway() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_output->try_send(core::zmq::message(boost::string_view("probe")))) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the gateway socket never connected";
      std::this_thread::yield();
    }
    ASSERT_EQ(next_command(), "probe");
  }

  ::zmq::socket_t bound(::zmq::socket_type _type, const std::string& _endpoint) {
    ::zmq::socket_t socket(m_context, _type);
    socket.set(::zmq::sockopt::linger, 0);
    socket.bind(_endpoint);
    return socket;
  }

  std::unique_ptr<zan_messenger_impl> make_messenger(core::zmq::socket& _output) {
    return std::make_unique<zan_messenger_impl>(*m_stream, _output, *m_zan_logger);
  }

  // Runs the loop on this thread until the condition holds or patience runs out.
  bool run_until(const std::function<bool()>& _done) {
    if (_done()) {
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + patience;
    const auto check = m_loop->create_periodic_timer(1ms, "run_until", [&](core::timer::time_point) {
      if (_done() || std::chrono::steady_clock::now() > deadline) {
        m_loop->stop();
      }
    });
    m_loop->get_io_context().restart();
    m_loop->run_catch_exceptions(CORE_LOCATION);
    return _done();
  }

  void publish(const std::string& _frame) { (void)m_publisher.send(::zmq::buffer(_frame), ::zmq::send_flags::none); }

  // A SUB socket joins late: probes go out until one gets through.
  void join() {
    m_probe_subscription =
        m_stream->subscribe("probe", [this](boost::string_view _body) { m_last_probe = std::string(_body); });
    const auto prober =
        m_loop->create_periodic_timer(2ms, "probe", [this](core::timer::time_point) { publish("#probe {}"); });
    ASSERT_TRUE(run_until([this] { return !m_last_probe.empty(); })) << "the stream never received a probe";
  }

  // Publishes the frames, then runs the loop until all of them were handled:
  // a publisher's frames arrive in order, so a final probe marks the end.
  void deliver(const std::vector<std::string>& _frames) {
    for (const auto& frame : _frames) {
      publish(frame);
    }
    const std::string fence = "{\"fence\":" + std::to_string(++m_fences) + "}";
    publish("#probe " + fence);
    ASSERT_TRUE(run_until([&] { return m_last_probe == fence; })) << "the frames were not all handled";
  }

  // The lines logged since the last call, by component; line numbers read "N".
  std::map<std::string, std::vector<std::string>> logged() {
    static const std::regex line(R"(&svel_test:(\w+) \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ([\s\S]*))");
    static const std::regex located(R"(^(/[^ :]+):\d+ )");
    const std::string marker = "marker " + std::to_string(++m_markers);
    m_logger.debug("%1%") % marker;
    std::vector<std::string> seen;
    const bool found = m_receiver.wait_for(
        [&](const std::string& _line) {
          return _line.size() > marker.size() &&
                 _line.compare(_line.size() - marker.size(), marker.size(), marker) == 0;
        },
        seen, patience);
    EXPECT_TRUE(found) << "the marker line did not arrive";
    if (found) {
      seen.pop_back();
    }
    std::map<std::string, std::vector<std::string>> lines;
    for (const auto& text : seen) {
      std::smatch match;
      if (std::regex_match(text, match, line)) {
        lines[match[1]].push_back(
            std::regex_replace(match[2].str(), located, "$1:N ", std::regex_constants::format_first_only));
      } else {
        lines["?"].push_back(text);
      }
    }
    return lines;
  }

  // The messenger's lines since the last look; nothing else may have logged.
  std::vector<std::string> messenger_lines() {
    auto lines = logged();
    auto messenger = std::move(lines["zan"]);
    lines.erase("zan");
    EXPECT_THAT(lines, IsEmpty());
    return messenger;
  }

  std::string next_command() { return next_command(m_gateway); }

  static std::string next_command(::zmq::socket_t& _gateway) {
    ::zmq::pollitem_t pending{_gateway.handle(), 0, ZMQ_POLLIN, 0};
    ::zmq::message_t command;
    if (::zmq::poll(&pending, 1, patience) == 0 || !_gateway.recv(command, ::zmq::recv_flags::dontwait)) {
      ADD_FAILURE() << "no command arrived";
      return std::string();
    }
    return command.to_string();
  }

  // Commands of the same kind that only move the sequence number on.
  void send_fillers(zan_messenger& _messenger, int _count) {
    for (int i = 0; i < _count; ++i) {
      ASSERT_TRUE(_messenger.send_nbrs_param_request("000000000000"));
      ASSERT_EQ(sequence_of(next_command()), hex_byte(i));
    }
    logged();
  }

  core::testing::temp_directory m_directory{"svel-zan"};
  core::testing::debug_receiver m_receiver;
  core::logger m_logger{"svel_test", "main"};
  core::component_logger::ptr m_zan_logger = m_logger.component("zan");
  core::core::ptr m_core = core::core::create(m_logger);
  core::events_loop::ptr m_loop = m_core->create_events_loop("test");
  ::zmq::context_t m_context;
  ::zmq::socket_t m_publisher = bound(::zmq::socket_type::pub, m_directory.endpoint("notifications"));
  ::zmq::socket_t m_gateway = bound(::zmq::socket_type::pull, m_directory.endpoint("zan"));
  core::message_stream::ptr m_stream = m_loop->create_zmq_message_stream(m_directory.endpoint("notifications"));
  core::zmq::socket::ptr m_output =
      m_loop->get_zmq().connect(core::zmq::socket::type::push, m_directory.endpoint("zan"));
  std::unique_ptr<zan_messenger_impl> m_messenger = make_messenger(*m_output);
  core::message_stream::subscription::ptr m_probe_subscription;
  std::string m_last_probe;
  int m_fences = 0;
  int m_markers = 0;
  std::vector<zan_messenger::multicast_report> m_reports;
  std::vector<nbrs_table> m_tables;
};

// --- commands out ---

struct command_case {
  const char* name;
  int commands_before;
  std::function<bool(zan_messenger&)> send;
  std::string expected;
};

TEST_F(zan_messenger_test, commands_carry_code_sequence_number_length_payload_and_destination) {
  const std::vector<command_case> cases = {
      {"multicast request", 7,
       [](zan_messenger& _m) {
         return _m.send_nbr_multicast_request({0x0105, 0x0012}, "a1b2c3d4e5f6");
       },
       "#zan 080E07000700410200120105A1B2C3FFFED4E5F6"},
      {"parameter request", 42, [](zan_messenger& _m) { return _m.send_nbrs_param_request("a1b2c3d4e5f6"); },
       "#zan 080E2A0004000E0500A1B2C3FFFED4E5F6"},
      {"first command", 0, [](zan_messenger& _m) { return _m.send_nbrs_param_request("A1B2C3D4E5F6"); },
       "#zan 080E000004000E0500A1B2C3FFFED4E5F6"},
      {"one responder, short mac", 3,
       [](zan_messenger& _m) { return _m.send_nbr_multicast_request({0xFFFF}, "a1b2c3d4"); },
       "#zan 080E030005004101FFFFA1B2C3FFFED4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Each messenger counts from zero.
    const auto messenger = make_messenger(*m_output);
    send_fillers(*messenger, c.commands_before);
    EXPECT_TRUE(c.send(*messenger));
    EXPECT_EQ(next_command(), c.expected);
    EXPECT_THAT(messenger_lines(), ElementsAre("To ZAN: " + c.expected));
  }
}

TEST_F(zan_messenger_test, sequence_number_wraps_after_ff) {
  std::vector<std::string> sequence;
  for (int i = 0; i < 257; ++i) {
    ASSERT_TRUE(m_messenger->send_nbrs_param_request("a1b2c3d4e5f6"));
    sequence.push_back(sequence_of(next_command()));
  }
  for (int i = 0; i < 257; ++i) {
    EXPECT_EQ(sequence[i], hex_byte(i % 256)) << "command " << i + 1;
  }
  EXPECT_EQ(sequence[255], "FF");
  EXPECT_EQ(sequence[256], "00");
}

TEST_F(zan_messenger_test, the_largest_responder_set_fills_the_count_byte) {
  std::set<uint16_t> responders;
  std::string ids;
  for (unsigned id = 0; id < 255; ++id) {
    responders.insert(static_cast<uint16_t>(id * 257));
    ids += hex_byte(id) + hex_byte(id);
  }
  ASSERT_TRUE(m_messenger->send_nbr_multicast_request(responders, "a1b2c3d4e5f6"));
  // Length 0201 (513 bytes), then code 0041 and the count FF.
  EXPECT_EQ(next_command(), "#zan 080E0002010041FF" + ids + "A1B2C3FFFED4E5F6");
}

TEST_F(zan_messenger_test, refused_responder_sets_send_nothing_and_use_no_sequence_number) {
  std::set<uint16_t> too_many;
  for (unsigned id = 0; id < 256; ++id) {
    too_many.insert(static_cast<uint16_t>(id));
  }
  std::set<uint16_t> all_ids;
  for (unsigned id = 0; id <= 0xFFFF; ++id) {
    all_ids.insert(static_cast<uint16_t>(id));
  }
  const std::vector<std::pair<std::set<uint16_t>, std::string>> cases = {
      {{}, "Empty _ids_of_responders"},
      {too_many, "_ids_of_responders too big: 256"},
      {all_ids, "_ids_of_responders too big: 65536"},
  };
  for (const auto& [responders, line] : cases) {
    SCOPED_TRACE(line);
    const auto messenger = make_messenger(*m_output);
    EXPECT_FALSE(messenger->send_nbr_multicast_request(responders, "a1b2c3d4e5f6"));
    EXPECT_THAT(messenger_lines(), ElementsAre(in_impl(line)));
    ASSERT_TRUE(messenger->send_nbrs_param_request("a1b2c3d4e5f6"));
    EXPECT_EQ(next_command(), "#zan 080E000004000E0500A1B2C3FFFED4E5F6");
    logged();
  }
}

TEST_F(zan_messenger_test, refusals_are_logged_once_per_episode_and_use_sequence_numbers) {
  // A bound PUSH socket without a peer has nowhere to queue a frame.
  const auto endpoint = m_directory.endpoint("gateway");
  const auto output = m_loop->get_zmq().bind(core::zmq::socket::type::push, endpoint);
  const auto messenger = make_messenger(*output);
  int built = 0;

  EXPECT_FALSE(messenger->send_nbrs_param_request("a1b2c3d4e5f6"));
  ++built;
  EXPECT_THAT(messenger_lines(), ElementsAre("The binary output queue is full!"));
  EXPECT_FALSE(messenger->send_nbr_multicast_request({1, 2}, "a1b2c3d4e5f6"));
  ++built;
  EXPECT_THAT(messenger_lines(), IsEmpty());

  // A gateway comes; refusals until its connection is up stay quiet.
  ::zmq::socket_t gateway(m_context, ::zmq::socket_type::pull);
  gateway.set(::zmq::sockopt::linger, 0);
  gateway.connect(endpoint);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool accepted = false;
  while (!accepted && std::chrono::steady_clock::now() < deadline) {
    accepted = messenger->send_nbrs_param_request("a1b2c3d4e5f6");
    ++built;
    if (!accepted) {
      std::this_thread::sleep_for(1ms);
    }
  }
  ASSERT_TRUE(accepted) << "the gateway never connected";
  const std::string expected = "#zan 080E" + hex_byte((built - 1) % 256) + "0004000E0500A1B2C3FFFED4E5F6";
  EXPECT_EQ(next_command(gateway), expected);
  EXPECT_THAT(messenger_lines(), ElementsAre("To ZAN: " + expected));

  // The gateway goes: a new episode begins with the first refusal.
  gateway.close();
  int accepted_meanwhile = 0;
  bool refused = false;
  while (!refused && std::chrono::steady_clock::now() < deadline + patience) {
    refused = !messenger->send_nbrs_param_request("a1b2c3d4e5f6");
    accepted_meanwhile += refused ? 0 : 1;
    if (!refused) {
      std::this_thread::sleep_for(1ms);
    }
  }
  ASSERT_TRUE(refused) << "sends were still accepted long after the gateway left";
  EXPECT_FALSE(messenger->send_nbrs_param_request("a1b2c3d4e5f6"));
  const auto lines = messenger_lines();
  ASSERT_THAT(lines, SizeIs(accepted_meanwhile + 1));
  for (int i = 0; i < accepted_meanwhile; ++i) {
    EXPECT_THAT(lines[i], StartsWith("To ZAN: #zan 080E"));
  }
  EXPECT_EQ(lines.back(), "The binary output queue is full!");
}

TEST_F(zan_messenger_test, a_gateway_that_never_came_is_refused_once_its_queue_is_full) {
  const auto output = m_loop->get_zmq().connect(core::zmq::socket::type::push, m_directory.endpoint("nobody-listens"));
  const auto messenger = make_messenger(*output);
  // Every accepted command is logged; those lines are of no interest here.
  m_logger.set_writing_to_socket(false);
  int accepted = 0;
  while (accepted < 100000 && messenger->send_nbrs_param_request("a1b2c3d4e5f6")) {
    ++accepted;
  }
  m_logger.set_writing_to_socket(true);
  EXPECT_LT(accepted, 100000) << "a send with no peer must fail instead of queueing without bound";
  EXPECT_FALSE(messenger->send_nbr_multicast_request({1}, "a1b2c3d4e5f6"));
  EXPECT_THAT(messenger_lines(), IsEmpty());
}

// --- notifications in ---

class zan_messenger_incoming_test : public zan_messenger_test {
 protected:
  void SetUp() override { join(); }
};

TEST_F(zan_messenger_incoming_test, a_multicast_report_is_decoded) {
  deliver({"#raw_msg " + good_report,
           R"(#raw_msg {"cmd":"0042","mac":"00aAbB0c0D0e","ts":0,"ms":999,"data":"FFFFabcdff"})"});
  ASSERT_THAT(m_reports, SizeIs(2));
  const auto& report = m_reports[0];
  EXPECT_EQ(report.ts, 1700000000u);
  EXPECT_EQ(report.ms, 250u);
  EXPECT_EQ(report.mac, "a1b2c3d4e5f6");
  EXPECT_EQ(report.reporter_id, 0x12u);
  EXPECT_EQ(report.multicaster_id, 0x105u);
  EXPECT_EQ(report.lqi, 151u);
  const auto& other = m_reports[1];
  EXPECT_EQ(other.ts, 0u);
  EXPECT_EQ(other.ms, 999u);
  EXPECT_EQ(other.mac, "00aabb0c0d0e");
  EXPECT_EQ(other.reporter_id, 0xFFFFu);
  EXPECT_EQ(other.multicaster_id, 0xABCDu);
  EXPECT_EQ(other.lqi, 0xFFu);
  EXPECT_THAT(messenger_lines(), IsEmpty());
}

struct dropped_case {
  const char* name;
  std::string frame;
  std::vector<std::string> lines;
};

TEST_F(zan_messenger_incoming_test, raw_msg_frames_that_give_no_report) {
  const auto raw = [](const std::string& _body) { return "#raw_msg " + _body; };
  const std::vector<dropped_case> cases = {
      {"another command",
       raw(R"({"cmd":"0043","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012010597"})"),
       {}},
      {"another command, nothing else", raw(R"({"cmd":"0043"})"), {}},
      {"no lqi", raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"00120105"})"), {}},
      {"short data", raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012"})"), {}},
      {"empty data", raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":""})"), {}},
      {"data not hex", raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012G10597"})"), {}},
      {"lqi not hex", raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"001201059Z"})"), {}},
      {"no cmd",
       raw(R"({"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012010597"})"),
       {in_impl("raw_msg parse: could not find 'cmd' in object '.'")}},
      {"cmd a number",
       raw(R"({"cmd":42,"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":"0012010597"})"),
       {in_impl("raw_msg parse: 'cmd' in '.' is not a string")}},
      {"negative ts",
       raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":-1,"ms":250,"data":"0012010597"})"),
       {in_impl("raw_msg parse: 'ts' in '.' is not an uint64")}},
      {"ms as text",
       raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":"250","data":"0012010597"})"),
       {in_impl("raw_msg parse: 'ms' in '.' is not an uint")}},
      {"no mac",
       raw(R"({"cmd":"0042","ts":1700000000,"ms":250,"data":"0012010597"})"),
       {in_impl("raw_msg parse: could not find 'mac' in object '.'")}},
      {"data a number",
       raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1700000000,"ms":250,"data":12010597})"),
       {in_impl("raw_msg parse: 'data' in '.' is not a string")}},
      {"two problems",
       raw(R"({"cmd":"0042","mac":"A1B2C3D4E5F6","ts":1.5,"ms":250})"),
       {in_impl("raw_msg parse: 'ts' in '.' is not an uint64"),
        in_impl("raw_msg parse: could not find 'data' in object '.'")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    deliver({c.frame});
    EXPECT_THAT(m_reports, IsEmpty());
    EXPECT_EQ(messenger_lines(), c.lines);
    m_reports.clear();
  }
  deliver({raw(good_report)});
  EXPECT_THAT(m_reports, SizeIs(1)) << "bad frames broke the stream";
}

TEST_F(zan_messenger_incoming_test, text_that_is_not_json_escapes_the_handler_and_the_loop_goes_on) {
  for (const std::string frame : {R"(#raw_msg {"cmd": })", "#param_p {oops}", "#raw_msg {"}) {
    SCOPED_TRACE(frame);
    const auto reports_before = m_reports.size();
    deliver({frame, "#raw_msg " + good_report});
    EXPECT_EQ(m_reports.size(), reports_before + 1);
    EXPECT_THAT(m_tables, IsEmpty());
    auto lines = logged();
    EXPECT_THAT(lines["zan"], IsEmpty());
    const auto& caught = lines["core"];
    ASSERT_THAT(caught, SizeIs(2));
    EXPECT_EQ(caught[0], this_file + ":N Caught exeption");
    EXPECT_THAT(caught[1], StartsWith(in_impl("parse error: ")));
    EXPECT_GT(caught[1].size(), in_impl("parse error: ").size()) << "the parser's reason is missing";
  }
}

std::string table_frame(const std::string& _nbrs) {
  return R"(#param_p {"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":5,"plist":{"nbrs":)" + _nbrs + "}}";
}

const std::string three_nbrs =
    R"([{"addr":"0012","lqi":200,"e":3},{"addr":"ab05","lqi":7,"e":0},{"addr":"FFFF","lqi":0,"e":86400}])";

TEST_F(zan_messenger_incoming_test, a_neighbour_table_keeps_mac_and_order) {
  deliver(
      {table_frame(three_nbrs), R"(#param_p {"mac":"a1B2c3D4e5F6","ts":0,"ms":999,"plist":{"nbrs":[],"other":1}})"});
  ASSERT_THAT(m_tables, SizeIs(2));
  EXPECT_EQ(m_tables[0].mac, "A1B2C3D4E5F6");
  EXPECT_THAT(m_tables[0].items, ElementsAre(item{0x12, 200, 3}, item{0xAB05, 7, 0}, item{0xFFFF, 0, 86400}));
  EXPECT_EQ(m_tables[0].time.get_time_since_epoch(), std::chrono::milliseconds(1700000000005));
  EXPECT_EQ(m_tables[1].mac, "a1B2c3D4e5F6");
  EXPECT_THAT(m_tables[1].items, IsEmpty());
  EXPECT_EQ(m_tables[1].time.get_time_since_epoch(), std::chrono::milliseconds(999));
  EXPECT_THAT(m_reports, IsEmpty());
  EXPECT_THAT(messenger_lines(), IsEmpty());
}

TEST_F(zan_messenger_incoming_test, param_p_frames_that_give_no_table) {
  const std::vector<dropped_case> cases = {
      {"no nbrs", R"(#param_p {"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":5,"plist":{}})", {}},
      {"nbrs an object", table_frame("{}"), {in_impl("'nbrs' in 'plist' is not an array")}},
      {"nbrs a string", table_frame(R"("0012")"), {in_impl("'nbrs' in 'plist' is not an array")}},
      {"an element without addr",
       table_frame(R"([{"addr":"0012","lqi":200,"e":3},{"lqi":7,"e":0},{"addr":"FFFF","lqi":0,"e":1}])"),
       {in_impl("param_p parse: could not find 'addr' in object 'plist.nbrs[1]'")}},
      {"lqi as text",
       table_frame(
           R"([{"addr":"0012","lqi":200,"e":3},{"addr":"ab05","lqi":"7","e":0},{"addr":"FFFF","lqi":0,"e":1}])"),
       {in_impl("param_p parse: 'lqi' in 'plist.nbrs[1]' is not an int")}},
      {"e missing",
       table_frame(R"([{"addr":"0012","lqi":200,"e":3},{"addr":"ab05","lqi":7,"e":0},{"addr":"FFFF","lqi":0}])"),
       {in_impl("param_p parse: could not find 'e' in object 'plist.nbrs[2]'")}},
      {"e a fraction",
       table_frame(R"([{"addr":"0012","lqi":200,"e":0.5}])"),
       {in_impl("param_p parse: 'e' in 'plist.nbrs[0]' is not an int")}},
      {"addr not hex",
       table_frame(R"([{"addr":"0012","lqi":1,"e":1},{"addr":"0013","lqi":1,"e":1},{"addr":"0014","lqi":1,"e":1},)"
                   R"({"addr":"00G2","lqi":1,"e":1}])"),
       {in_impl("param_p parse: Can not parse plist.nbrs[3].addr")}},
      {"addr too short",
       table_frame(R"([{"addr":"012","lqi":1,"e":1},{"addr":"0013","lqi":1,"e":1}])"),
       {in_impl("param_p parse: Can not parse plist.nbrs[0].addr")}},
      {"addr a number",
       table_frame(R"([{"addr":12,"lqi":1,"e":1}])"),
       {in_impl("param_p parse: 'addr' in 'plist.nbrs[0]' is not a string")}},
      {"an element not an object",
       table_frame(R"([{"addr":"0012","lqi":1,"e":1},5])"),
       {in_impl("param_p parse: could not find 'addr' in object 'plist.nbrs[1]'"),
        in_impl("param_p parse: could not find 'lqi' in object 'plist.nbrs[1]'"),
        in_impl("param_p parse: could not find 'e' in object 'plist.nbrs[1]'")}},
      {"plist not an object",
       R"(#param_p {"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":5,"plist":[]})",
       {in_impl("param_p parse: 'plist' in '.' is not an object")}},
      {"no mac",
       R"(#param_p {"ts":1700000000,"ms":5,"plist":{"nbrs":[]}})",
       {in_impl("param_p parse: could not find 'mac' in object '.'")}},
      {"negative ts",
       R"(#param_p {"mac":"A1B2C3D4E5F6","ts":-5,"ms":5,"plist":{"nbrs":[]}})",
       {in_impl("param_p parse: 'ts' in '.' is not an uint64")}},
      {"ms as text",
       R"(#param_p {"mac":"A1B2C3D4E5F6","ts":1700000000,"ms":"5","plist":{"nbrs":[]}})",
       {in_impl("param_p parse: 'ms' in '.' is not an uint")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    deliver({c.frame});
    EXPECT_THAT(m_tables, IsEmpty());
    EXPECT_EQ(messenger_lines(), c.lines);
    m_tables.clear();
  }
  deliver({table_frame(three_nbrs)});
  EXPECT_THAT(m_tables, SizeIs(1)) << "bad frames broke the stream";
}

TEST_F(zan_messenger_incoming_test, slots_are_called_in_connection_order) {
  std::vector<std::string> calls;
  std::vector<zan_messenger::connection> connections;
  for (const std::string name : {"first", "second", "third"}) {
    connections.push_back(m_messenger->do_on_receive_nbr_multicast_report(
        [&calls, name](zan_messenger::multicast_report&) { calls.push_back("report " + name); }));
    connections.push_back(m_messenger->do_on_receive_nbrs_parameter(
        [&calls, name](const std::string&, const std::vector<zan_messenger::nbrs_parameter_item>&,
                       const core::timestamp&) { calls.push_back("table " + name); }));
  }
  deliver({"#raw_msg " + good_report, table_frame(three_nbrs)});
  EXPECT_THAT(calls, ElementsAre("report first", "report second", "report third", "table first", "table second",
                                 "table third"));

  calls.clear();
  connections[2].disconnect();  // the second report slot
  deliver({"#raw_msg " + good_report});
  EXPECT_THAT(calls, ElementsAre("report first", "report third"));
}

TEST_F(zan_messenger_incoming_test, a_messenger_gone_hears_nothing_more) {
  int heard = 0;
  auto other = make_messenger(*m_output);
  other->do_on_receive_nbr_multicast_report([&heard](zan_messenger::multicast_report&) { ++heard; });
  deliver({"#raw_msg " + good_report});
  EXPECT_EQ(heard, 1);

  other.reset();
  deliver({"#raw_msg " + good_report, table_frame(three_nbrs)});
  EXPECT_EQ(heard, 1);
  EXPECT_THAT(m_reports, SizeIs(2));
  EXPECT_THAT(m_tables, SizeIs(1));
}

}  // namespace
}  // namespace kavo::svel
