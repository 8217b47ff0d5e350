#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/system/error_code.hpp>

#include "core/logger.h"
#include "debug_receiver.h"
#include "syslog_receiver.h"

namespace kavo::libs::core {
namespace {

using testing::debug_receiver;
using testing::syslog_receiver;

const std::string this_file = "/libs/cpp-libraries/core/tests/logger_test.cpp";
const timestamp fixed_time(std::chrono::milliseconds(1709622489045));
const std::string fixed_time_text = "2024-03-05 07:08:09.045 ";

class logger_test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_syslog.available()) {
      GTEST_SKIP() << "a syslog daemon owns /dev/log";
    }
    m_logger.connect(m_debug.endpoint());
    settle();
  }

  // Waits until a marker line has passed both outputs, then forgets
  // everything before it, so each check sees only its own lines.
  void settle() {
    const std::string marker = "marker " + std::to_string(++m_markers);
    m_logger.error("%1%") % marker;
    std::vector<syslog_receiver::record> records;
    ASSERT_TRUE(m_syslog.wait_for([&](const auto& r) { return ends_with(r.message, marker); }, records));
    std::vector<std::string> lines;
    ASSERT_TRUE(m_debug.wait_for([&](const auto& l) { return ends_with(l, marker); }, lines));
  }

  // Everything logged since the last settle(), from both outputs.
  void collect(std::vector<syslog_receiver::record>& _records, std::vector<std::string>& _lines) {
    const std::string marker = "marker " + std::to_string(++m_markers);
    m_logger.error("%1%") % marker;
    ASSERT_TRUE(m_syslog.wait_for([&](const auto& r) { return ends_with(r.message, marker); }, _records));
    ASSERT_TRUE(m_debug.wait_for([&](const auto& l) { return ends_with(l, marker); }, _lines));
    _records.pop_back();
    _lines.pop_back();
    // Other test programs may log through the same /dev/log meanwhile.
    _records.erase(
        std::remove_if(_records.begin(), _records.end(), [](const auto& _r) { return _r.ident != "svel_logtest"; }),
        _records.end());
  }

  static bool ends_with(const std::string& _text, const std::string& _tail) {
    return _text.size() >= _tail.size() && _text.compare(_text.size() - _tail.size(), _tail.size(), _tail) == 0;
  }

  syslog_receiver m_syslog;
  debug_receiver m_debug;
  logger m_logger{"svel_logtest", "main"};
  int m_markers = 0;
};

constexpr int user_facility = LOG_USER;

TEST_F(logger_test, lines_carry_location_function_and_time_in_both_outputs) {
  const auto location =
      source_location(42, SVEL_TEST_SOURCE_ROOT "/src/collector.cpp", "void kavo::svel::collector::processing()");
  m_logger.info("plain %1% and %2%") % 7 % "text";
  m_logger.warning("located").location(location).date_time(fixed_time);
  m_logger.error("with function").location(location).function(location).date_time(fixed_time);
  m_logger.error("short only").short_function(location).date_time(fixed_time);

  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);

  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].ident, "svel_logtest");
  EXPECT_EQ(records[0].priority, user_facility | LOG_INFO);
  EXPECT_EQ(records[0].message, "plain 7 and text");
  EXPECT_EQ(records[1].priority, user_facility | LOG_WARNING);
  EXPECT_EQ(records[1].message, "/src/collector.cpp:42 located");
  EXPECT_EQ(records[2].priority, user_facility | LOG_ERR);
  EXPECT_EQ(records[2].message, "/src/collector.cpp:42 void kavo::svel::collector::processing(): with function");
  EXPECT_EQ(records[3].message, "kavo::svel::collector::processing: short only");

  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(&svel_logtest:main \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} plain 7 and text)")))
      << lines[0];
  EXPECT_EQ(lines[1], "&svel_logtest:main " + fixed_time_text + "/src/collector.cpp:42 located");
  EXPECT_EQ(lines[2], "&svel_logtest:main " + fixed_time_text +
                          "/src/collector.cpp:42 void kavo::svel::collector::processing(): with function");
  EXPECT_EQ(lines[3], "&svel_logtest:main " + fixed_time_text + "kavo::svel::collector::processing: short only");
}

TEST_F(logger_test, debug_lines_reach_syslog_only_in_debug_mode_and_the_socket_always) {
  m_logger.debug("quiet %1%") % 1;
  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  EXPECT_TRUE(records.empty());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(ends_with(lines[0], " quiet 1"));

  m_logger.set_debug(true);
  EXPECT_TRUE(m_logger.is_debug());
  m_logger.debug("loud").date_time(fixed_time);
  m_logger.info("loud info").date_time(fixed_time);
  records.clear();
  lines.clear();
  collect(records, lines);
  m_logger.set_debug(false);
  ASSERT_EQ(records.size(), 2u);
  // In debug mode the syslog text carries the time as well.
  EXPECT_EQ(records[0].priority, user_facility | LOG_DEBUG);
  EXPECT_EQ(records[0].message, fixed_time_text + "loud");
  EXPECT_EQ(records[1].message, fixed_time_text + "loud info");
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(logger_test, guards_indent_nested_lines_and_undo_it_on_exit) {
  const auto location =
      source_location(7, SVEL_TEST_SOURCE_ROOT "/src/application.cpp", "kavo::svel::application::application(int)");
  m_logger.set_debug(true);
  {
    const auto outer = m_logger.enter_function(location);
    {
      const auto inner = m_logger.enter_scope(location, "setup");
      m_logger.info("deep").date_time(fixed_time);
      const auto named = m_logger.enter_scope("named");
      const auto short_one = m_logger.enter_function_short(location, "step");
      const auto bare = m_logger.enter_scope(location);
    }
    m_logger.info("middle").date_time(fixed_time);
  }
  m_logger.info("flat").date_time(fixed_time);
  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  m_logger.set_debug(false);

  std::vector<std::string> socket_bodies;
  for (const auto& line : lines) {
    socket_bodies.push_back(line.substr(std::string("&svel_logtest:main ").size() + fixed_time_text.size()));
  }
  EXPECT_THAT(socket_bodies,
              ::testing::ElementsAre("kavo::svel::application::application(int)",
                                     "    | /src/application.cpp:7 (setup)", "        | deep", "        | named",
                                     "            | kavo::svel::application::application: step",
                                     "                | /src/application.cpp:7", "    | middle", "flat"));
  ASSERT_EQ(records.size(), lines.size());
  EXPECT_EQ(records[2].message, fixed_time_text + "        | deep");
  EXPECT_EQ(records.back().message, fixed_time_text + "flat");
  EXPECT_EQ(m_logger.make_indent(), "");
}

TEST_F(logger_test, exceptions_are_logged_as_two_lines_naming_the_catch_site) {
  int catch_line = 0;
  try {
    throw std::runtime_error("x");
  } catch (...) {
    catch_line = __LINE__ + 1;
    m_logger.log_exception(CORE_LOCATION);
  }
  int throw_line = 0;
  try {
    throw_line = __LINE__ + 1;
    throw exception("bad value", CORE_LOCATION);
  } catch (const located_exception& error) {
    m_logger.log_exception(error);
  }
  try {
    throw 5;
  } catch (...) {
    m_logger.log_exception();
  }
  const auto location = source_location(9, SVEL_TEST_SOURCE_ROOT "/src/x.cpp", "f");
  m_logger.log_error(boost::system::error_code(ECONNREFUSED, boost::system::system_category()), location);
  m_logger.log_error(boost::system::error_code(1, boost::system::generic_category()), location);

  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  std::vector<std::string> messages;
  for (const auto& record : records) {
    EXPECT_EQ(record.priority, user_facility | LOG_ERR) << record.message;
    messages.push_back(record.message);
  }
  EXPECT_THAT(messages,
              ::testing::ElementsAre(this_file + ":" + std::to_string(catch_line) + " Caught exeption",
                                     "std::exception::what(): x",
                                     this_file + ":" + std::to_string(throw_line) + " bad value", "Unknown exception",
                                     "/src/x.cpp:9: Connection refused", "/src/x.cpp:9: Operation not permitted"));
}

TEST_F(logger_test, execute_logs_whatever_escapes_and_tells_whether_it_completed) {
  EXPECT_TRUE(m_logger.execute([] {}));
  EXPECT_FALSE(m_logger.execute([] { throw exception("in guard", source_location()); }));
  EXPECT_FALSE(m_logger.execute([] { throw 1; }));
  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(ends_with(records[0].message, ":0 in guard")) << records[0].message;
  EXPECT_EQ(records[1].message, "Unknown exception");
}

TEST_F(logger_test, components_share_the_outputs_under_their_own_name) {
  const auto collector = m_logger.component("collector");
  collector->info("hello");
  // A statement with missing arguments is a programming error, never a crash.
  EXPECT_NO_THROW(collector->info("%1% and %2%") % "only one");
  EXPECT_NO_THROW(collector->info("%1%") % 1 % 2);
  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(&svel_logtest:collector \S+ \S+ hello)"))) << lines[0];
  EXPECT_EQ(records[0].message, "hello");
  EXPECT_EQ(records[1].message.rfind("only one and ", 0), 0u) << records[1].message;
}

TEST_F(logger_test, many_threads_log_at_once_without_losing_syslog_lines) {
  constexpr int threads = 4;
  constexpr int per_thread = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([this, t] {
      const auto mine = m_logger.component("writer" + std::to_string(t));
      for (int i = 0; i < per_thread; ++i) {
        mine->info("line %1% of %2%") % i % t;
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  std::vector<syslog_receiver::record> records;
  std::vector<std::string> lines;
  collect(records, lines);
  EXPECT_EQ(records.size(), static_cast<std::size_t>(threads * per_thread));
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(threads * per_thread));
}

TEST(logger_without_endpoint, writes_syslog_and_drops_socket_copies) {
  syslog_receiver syslog;
  if (!syslog.available()) {
    GTEST_SKIP() << "a syslog daemon owns /dev/log";
  }
  logger unconnected("svel_lonely", "main");
  EXPECT_TRUE(unconnected.is_writing_to_socket());
  EXPECT_TRUE(unconnected.is_logger_enabled());
  unconnected.error("still here");
  std::vector<syslog_receiver::record> records;
  ASSERT_TRUE(syslog.wait_for([](const auto& r) { return r.message == "still here"; }, records));
  records.erase(
      std::remove_if(records.begin(), records.end(), [](const auto& _r) { return _r.ident != "svel_lonely"; }),
      records.end());
  // The first line is the logger's own start.
  EXPECT_EQ(records.front().message, "Starting svel_lonely");
  EXPECT_EQ(records.front().priority, user_facility | LOG_INFO);
}

TEST(logger_connect, a_malformed_endpoint_throws) {
  logger bad("svel_bad", "main");
  EXPECT_THROW(bad.connect("no-such-transport://x"), ::zmq::error_t);
}

}  // namespace
}  // namespace kavo::libs::core
