#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "temp_directory.h"
#include "debug_receiver.h"
#include "syslog_receiver.h"

extern char** environ;

namespace kavo::svel {
namespace {

using namespace std::chrono_literals;
using libs::core::testing::debug_receiver;
using libs::core::testing::syslog_receiver;

const std::string binary = SVEL_BINARY;
// Generous for a loaded build machine; a healthy run takes milliseconds.
constexpr std::chrono::milliseconds deadline = 15s;
constexpr int error_priority = LOG_USER | LOG_ERR;
constexpr int info_priority = LOG_USER | LOG_INFO;

std::string escape(const std::string& _text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\/-])");
  return std::regex_replace(_text, special, R"(\$&)");
}

// The parts of a log line in front of its message.
const std::string location = R"(/[^ ]+\.cpp:[1-9][0-9]* )";
const std::string main_location = R"(/src/main\.cpp:[1-9][0-9]* )";
const std::string time_stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )";
const std::string from_main = "&svel:main " + time_stamp;

bool matches(const std::string& _line, const std::string& _pattern) {
  return std::regex_match(_line, std::regex(_pattern));
}

using libs::core::testing::read_file;
using libs::core::testing::write_file;

bool poll_until(const std::function<bool()>& _condition, std::chrono::milliseconds _timeout = deadline) {
  const auto end = std::chrono::steady_clock::now() + _timeout;
  while (!_condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// True once the process has handlers for both stop signals, which boost.asio
// installs when the service arms them; before that a signal would kill it.
bool stop_signals_caught(pid_t _pid) {
  std::ifstream status("/proc/" + std::to_string(_pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const auto caught = std::stoull(line.substr(7), nullptr, 16);
      const auto wanted = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
      return (caught & wanted) == wanted;
    }
  }
  return false;
}

pid_t dead_pid() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

std::string describe_status(int _status) {
  if (WIFEXITED(_status)) {
    return "exit status " + std::to_string(WEXITSTATUS(_status));
  }
  if (WIFSIGNALED(_status)) {
    return std::string("killed by ") + strsignal(WTERMSIG(_status));
  }
  return "wait status " + std::to_string(_status);
}

// The service binary as a child process; one left running is killed.
class service_process {
 public:
  service_process(std::vector<std::string> _arguments, const std::string& _output) {
    _arguments.insert(_arguments.begin(), binary);
    std::vector<char*> argv;
    for (auto& argument : _arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, _output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int error = posix_spawn(&m_pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      m_pid = -1;
      ADD_FAILURE() << "posix_spawn " << binary << ": " << std::strerror(error);
    }
  }

  ~service_process() {
    if (m_pid > 0 && !m_status) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

  service_process(const service_process&) = delete;
  service_process& operator=(const service_process&) = delete;

  pid_t pid() const { return m_pid; }

  bool exited() {
    if (!m_status && m_pid > 0) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = status;
      }
    }
    return m_status.has_value();
  }
  std::optional<int> status() const { return m_status; }

  // Waits for the exit; one still running at the deadline is killed and reported.
  std::optional<int> wait_exit() {
    if (m_pid <= 0) {
      return std::nullopt;
    }
    if (!poll_until([this] { return exited(); })) {
      ADD_FAILURE() << "the service did not exit within " << deadline.count() << " ms; killed";
      kill(m_pid, SIGKILL);
      int status = 0;
      waitpid(m_pid, &status, 0);
      m_status = status;
      return std::nullopt;
    }
    return m_status;
  }

 private:
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

class service_test : public ::testing::Test {
 protected:
  void SetUp() override {
    // The service would log into somebody else's socket, and a reader that
    // stalls there blocks the service in syslog().
    if (!m_syslog.available()) {
      GTEST_SKIP() << "/dev/log belongs to a syslog daemon or another test run";
    }
    m_pid_file = m_directory.file("svel.pid");
  }

  void TearDown() override {
    m_service.reset();
  }

  std::string write_config(bool _logger_debug = false) {
    std::string text = R"({
  "system": {
    "pidfile": "@pidfile@",
    "debug_endpoint": "@debug_endpoint@",
    "system_notifications_endpoint": "tcp://127.0.0.1:5556",
    "binary_output_endpoint": "tcp://127.0.0.1:5557",
    "rest_api_server": {"url": "http://127.0.0.1:8080", "timeout": 30},
    "sqlite_db_file": "@directory@/svel.db"
  },
  "api_service": {
    "port": 8090,
    "authorization": false,
    "cpu_throttling": {"enabled": false, "upper_threshold": 80, "lower_threshold": 60}
  },
  "collection_settings": {
    "timeout_between_requests": 5,
    "timeout_between_parameter_requests": 120,
    "number_of_anchors_in_request": 40,
    "data_expiration_timeout": 7200,
    "history_size": 50,
    "maximum_distance": 30
  },
  "debug": {"logger_debug": @logger_debug@}
})";
    const std::pair<std::string, std::string> values[] = {{"@pidfile@", m_pid_file},
                                                          {"@debug_endpoint@", m_debug.endpoint()},
                                                          {"@directory@", m_directory.path()},
                                                          {"@logger_debug@", _logger_debug ? "true" : "false"}};
    for (const auto& [name, value] : values) {
      text.replace(text.find(name), name.size(), value);
    }
    const std::string path = m_directory.file("svel.json");
    write_file(path, text);
    return path;
  }

  service_process& start(const std::vector<std::string>& _arguments) {
    m_service = std::make_unique<service_process>(_arguments, m_directory.file("output"));
    return *m_service;
  }

  std::string output() const { return "service output:\n" + read_file(m_directory.file("output")); }

  // Running means: the pid file names the child, a stop signal would be
  // handled, and the debug endpoint is connected (its first line arrived), so
  // the lines logged on the way out cannot be lost to an unfinished connect.
  ::testing::AssertionResult wait_until_running() {
    const auto pid = m_service->pid();
    const bool ready = poll_until([&] {
      return m_service->exited() || (read_file(m_pid_file) == std::to_string(pid) && stop_signals_caught(pid));
    });
    if (m_service->exited()) {
      return ::testing::AssertionFailure()
             << "the service ended before it was running, " << describe_status(*m_service->status()) << "\n"
             << output();
    }
    if (!ready) {
      return ::testing::AssertionFailure() << "the service was not running within " << deadline.count()
                                           << " ms; pid file: '" << read_file(m_pid_file) << "'\n"
                                           << output();
    }
    return debug_has(from_main + ".+");
  }

  ::testing::AssertionResult exits_with_zero() {
    const auto status = m_service->wait_exit();
    if (!status) {
      return ::testing::AssertionFailure() << output();
    }
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      return ::testing::AssertionFailure() << describe_status(*status) << "\n" << output();
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult syslog_has(int _priority, const std::string& _pattern) {
    const auto match = [&](const syslog_receiver::record& _record) {
      return _record.ident == "svel" && _record.priority == _priority && matches(_record.message, _pattern);
    };
    for (const auto& record : m_records) {
      if (match(record)) {
        return ::testing::AssertionSuccess();
      }
    }
    if (m_syslog.wait_for(match, m_records, deadline)) {
      return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure();
    failure << "no syslog record <" << _priority << "> matching " << _pattern << " among:";
    for (const auto& record : m_records) {
      failure << "\n  <" << record.priority << "> " << record.ident << ": " << record.message;
    }
    return failure;
  }

  ::testing::AssertionResult debug_has(const std::string& _pattern, std::chrono::milliseconds _timeout = deadline) {
    const auto match = [&](const std::string& _line) { return matches(_line, _pattern); };
    for (const auto& line : m_lines) {
      if (match(line)) {
        return ::testing::AssertionSuccess();
      }
    }
    if (m_debug.wait_for(match, m_lines, _timeout)) {
      return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure();
    failure << "no debug line matching " << _pattern << " among:";
    for (const auto& line : m_lines) {
      failure << "\n  " << line;
    }
    return failure;
  }

  syslog_receiver m_syslog;
  debug_receiver m_debug;
  std::vector<syslog_receiver::record> m_records;
  std::vector<std::string> m_lines;
  kavo::libs::core::testing::temp_directory m_directory{"svel-process"};
  std::string m_pid_file;
  std::unique_ptr<service_process> m_service;
};

// --- start-up failures: reported to syslog, then a quiet exit ---

const std::string usage = "Usage: " + binary + " -c config_file";

struct failure_case {
  const char* name;
  std::vector<std::string> arguments;  // "<config>": a valid file, "<missing>": no file
  std::string pattern;                 // of the error record's message
};

class service_start_failure_test : public service_test, public ::testing::WithParamInterface<failure_case> {};

TEST_P(service_start_failure_test, logs_the_reason_and_exits_with_zero) {
  auto arguments = GetParam().arguments;
  for (auto& argument : arguments) {
    if (argument == "<config>") {
      argument = write_config();
    } else if (argument == "<missing>") {
      argument = m_directory.file("missing.json");
    }
  }
  start(arguments);
  EXPECT_TRUE(exits_with_zero());
  EXPECT_TRUE(syslog_has(error_priority, GetParam().pattern));
  EXPECT_FALSE(std::filesystem::exists(m_pid_file));
}

INSTANTIATE_TEST_SUITE_P(
    arguments, service_start_failure_test,
    ::testing::Values(
        failure_case{"no_config_option", {}, location + escape("The configuration file is not defined! " + usage)},
        failure_case{
            "empty_config_option", {"-c", ""}, location + escape("The configuration file is not defined! " + usage)},
        failure_case{"unknown_option", {"-c", "<config>", "-x"}, location + escape(usage)},
        failure_case{"config_option_without_value", {"-c"}, location + escape(usage)},
        // Only the last -c counts: a good first one does not rescue a bad last one.
        failure_case{"last_config_option_names_a_missing_file",
                     {"-c", "<config>", "-c", "<missing>"},
                     escape("std::exception::what(): Cannot parse json: ") + R"([\s\S]*)"}),
    [](const ::testing::TestParamInfo<failure_case>& _info) { return std::string(_info.param.name); });

TEST_F(service_test, the_last_config_option_wins) {
  start({"-c", m_directory.file("missing.json"), "-c", write_config()});
  ASSERT_TRUE(wait_until_running());
  ASSERT_EQ(kill(m_service->pid(), SIGTERM), 0);
  EXPECT_TRUE(exits_with_zero());
}

// --- the pid file ---

TEST_F(service_test, a_running_instance_keeps_its_pid_file) {
  // We are alive, so a pid file naming us belongs to a running instance.
  const std::string ours = std::to_string(getpid());
  write_file(m_pid_file, ours);
  start({"-c", write_config()});
  EXPECT_TRUE(exits_with_zero());
  EXPECT_EQ(read_file(m_pid_file), ours);
  EXPECT_TRUE(syslog_has(error_priority, location + "Process is running"));
}

struct leftover_case {
  const char* name;
  std::function<std::string()> content;
};

class service_pid_leftover_test : public service_test, public ::testing::WithParamInterface<leftover_case> {};

TEST_P(service_pid_leftover_test, is_taken_over_by_the_new_instance) {
  write_file(m_pid_file, GetParam().content());
  start({"-c", write_config()});
  ASSERT_TRUE(wait_until_running());
  EXPECT_EQ(read_file(m_pid_file), std::to_string(m_service->pid()));
  ASSERT_EQ(kill(m_service->pid(), SIGTERM), 0);
  EXPECT_TRUE(exits_with_zero());
}

INSTANTIATE_TEST_SUITE_P(
    contents, service_pid_leftover_test,
    ::testing::Values(leftover_case{"empty", [] { return std::string(); }},
                      leftover_case{"garbage", [] { return std::string("garbage, longer than any pid\n"); }},
                      leftover_case{"finished_process", [] { return std::to_string(dead_pid()); }}),
    [](const ::testing::TestParamInfo<leftover_case>& _info) { return std::string(_info.param.name); });

TEST_F(service_test, an_unwritable_pid_file_stops_the_start) {
  // Root ignores permission bits; a missing directory stops everyone.
  m_pid_file = m_directory.file("missing/svel.pid");
  start({"-c", write_config()});
  EXPECT_TRUE(exits_with_zero());
  EXPECT_FALSE(std::filesystem::exists(m_pid_file));
  EXPECT_TRUE(syslog_has(error_priority, location + escape("Error opening pid-file!")));
}

// These failures come after the debug endpoint is connected, and the logger
// lingers on exit so that queued lines still leave.
class service_early_exit_test : public service_test, public ::testing::WithParamInterface<bool> {};

TEST_P(service_early_exit_test, sends_the_reason_to_the_debug_endpoint) {
  std::string reason = "Error opening pid-file!";
  if (GetParam()) {
    write_file(m_pid_file, std::to_string(getpid()));
    reason = "Process is running";
  } else {
    m_pid_file = m_directory.file("missing/svel.pid");
  }
  start({"-c", write_config()});
  ASSERT_TRUE(exits_with_zero());
  // The sender is gone: whatever it got out is here or on its way already.
  EXPECT_TRUE(debug_has(from_main + location + escape(reason), 5s));
}

INSTANTIATE_TEST_SUITE_P(reasons, service_early_exit_test, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& _info) {
                           return std::string(_info.param ? "process_is_running" : "unwritable_pid_file");
                         });

// --- running and stopping ---

TEST_F(service_test, every_debug_line_names_module_component_and_time) {
  start({"-c", write_config()});
  ASSERT_TRUE(wait_until_running());
  ASSERT_EQ(kill(m_service->pid(), SIGTERM), 0);
  ASSERT_TRUE(exits_with_zero());
  ASSERT_TRUE(debug_has(from_main + main_location + "exit"));
  for (const auto& line : m_lines) {
    EXPECT_TRUE(matches(line, "&svel:[a-z_]+ " + time_stamp + ".+")) << line;
  }
}

class service_stop_test : public service_test, public ::testing::WithParamInterface<int> {};

TEST_P(service_stop_test, ends_with_exit_logged_and_status_zero) {
  start({"-c", write_config()});
  ASSERT_TRUE(wait_until_running());
  ASSERT_EQ(kill(m_service->pid(), GetParam()), 0);
  EXPECT_TRUE(exits_with_zero());
  EXPECT_TRUE(debug_has(from_main + main_location + "exit"));
  // The pid file is left behind; the next start recognises it as stale.
  EXPECT_EQ(read_file(m_pid_file), std::to_string(m_service->pid()));
  EXPECT_TRUE(syslog_has(info_priority, main_location + "exit"));
}

INSTANTIATE_TEST_SUITE_P(signals, service_stop_test, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& _info) {
                           return std::string(_info.param == SIGTERM ? "sigterm" : "sigint");
                         });

// logger_debug puts the time in front of syslog lines and lets debug lines through.
class service_logger_debug_test : public service_test, public ::testing::WithParamInterface<bool> {};

TEST_P(service_logger_debug_test, shapes_what_reaches_syslog) {
  const bool debug = GetParam();
  start({"-c", write_config(debug)});
  ASSERT_TRUE(wait_until_running());
  ASSERT_EQ(kill(m_service->pid(), SIGTERM), 0);
  ASSERT_TRUE(exits_with_zero());

  EXPECT_TRUE(syslog_has(info_priority, (debug ? time_stamp : "") + main_location + "exit"));
  const auto records = m_syslog.drain();
  m_records.insert(m_records.end(), records.begin(), records.end());
  bool debug_lines = false;
  for (const auto& record : m_records) {
    debug_lines = debug_lines || (record.ident == "svel" && (record.priority & LOG_PRIMASK) == LOG_DEBUG);
  }
  EXPECT_EQ(debug_lines, debug);
  // The debug endpoint gets every line either way.
  EXPECT_TRUE(debug_has(from_main + main_location + "exit"));
}

INSTANTIATE_TEST_SUITE_P(modes, service_logger_debug_test, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& _info) {
                           return std::string(_info.param ? "debug" : "quiet");
                         });

}  // namespace
}  // namespace kavo::svel
