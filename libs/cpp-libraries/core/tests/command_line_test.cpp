#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temp_directory.h"
#include "core/exception.h"
#include "core/get_config_file_name.h"
#include "core/pid_file.h"

namespace kavo::libs::core {
namespace {

const std::string program = "/usr/sbin/svel";
const std::string usage = "Usage: " + program + " -c config_file";
const std::string not_defined = "The configuration file is not defined! " + usage;

// getopt may permute the vector, so it gets writable copies of the strings.
std::string parse(std::vector<std::string> _arguments) {
  _arguments.insert(_arguments.begin(), program);
  std::vector<char*> argv;
  for (auto& argument : _arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  try {
    return "file: " + get_config_file_name(static_cast<int>(_arguments.size()), argv.data());
  } catch (const exception& error) {
    return "error: " + error.get_string_error();
  }
}

struct command_line_case {
  const char* name;
  std::vector<std::string> arguments;
  std::string expected;  // "file: <name>" or "error: <text>"
};

class command_line_test : public ::testing::TestWithParam<command_line_case> {};

TEST_P(command_line_test, yields_the_last_config_file_or_the_usage) {
  EXPECT_EQ(parse(GetParam().arguments), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    arguments, command_line_test,
    ::testing::Values(command_line_case{"none", {}, "error: " + not_defined},
                      command_line_case{"empty_value", {"-c", ""}, "error: " + not_defined},
                      command_line_case{"one", {"-c", "x.json"}, "file: x.json"},
                      command_line_case{"attached_value", {"-cx.json"}, "file: x.json"},
                      command_line_case{"last_wins", {"-c", "a.json", "-c", "b.json"}, "file: b.json"},
                      // The last one wins even when it leaves nothing to read.
                      command_line_case{"last_is_empty", {"-c", "a.json", "-c", ""}, "error: " + not_defined},
                      command_line_case{"unknown_option", {"-x"}, "error: " + usage},
                      command_line_case{"unknown_after_a_good_one", {"-c", "a.json", "-x"}, "error: " + usage},
                      command_line_case{"missing_value", {"-c"}, "error: " + usage},
                      command_line_case{"operands_are_ignored", {"run", "-c", "a.json", "now"}, "file: a.json"},
                      command_line_case{
                          "options_end_at_double_dash", {"-c", "a.json", "--", "-c", "b.json"}, "file: a.json"}),
    [](const ::testing::TestParamInfo<command_line_case>& _info) { return std::string(_info.param.name); });

// The service parses once, but the function promises fresh state at every
// call; a parse abandoned in the middle of "-xy" must not leak into the next.
TEST(command_line, each_parse_starts_afresh) {
  EXPECT_EQ(parse({"-c", "a.json", "extra"}), "file: a.json");
  EXPECT_EQ(parse({"-c", "b.json"}), "file: b.json");
  EXPECT_EQ(parse({"-xy"}), "error: " + usage);
  EXPECT_EQ(parse({"-c", "c.json"}), "file: c.json");
  EXPECT_EQ(parse({"-xc", "d.json"}), "error: " + usage);
  EXPECT_EQ(parse({"-c", "e.json"}), "file: e.json");
}

// --- pid file ---

using testing::read_file;
using testing::write_file;

// Empty when the call did not throw.
template <typename F>
std::string error_of(F&& _call) {
  try {
    _call();
  } catch (const exception& error) {
    return error.get_string_error();
  }
  return "";
}

// A pid that belonged to a process just now and belongs to none any more.
pid_t dead_pid() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

class pid_file_test : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pid_file = m_directory.file("svel.pid");
  }

  // The whole start-up sequence: check, then take the file over.
  std::string start() {
    auto error = error_of([&] { detail::check_pid(m_pid_file); });
    if (!error.empty()) {
      return error;
    }
    return error_of([&] { detail::write_pid(m_pid_file); });
  }

  testing::temp_directory m_directory{"svel-pid"};
  std::string m_pid_file;
};

struct leftover_case {
  const char* name;
  std::optional<std::string> content;  // none: there is no file at all
};

class pid_file_leftover_test : public pid_file_test, public ::testing::WithParamInterface<leftover_case> {};

TEST_P(pid_file_leftover_test, is_taken_over_with_our_pid_only) {
  if (GetParam().content) {
    write_file(m_pid_file, *GetParam().content);
  }
  EXPECT_EQ(start(), "");
  EXPECT_EQ(read_file(m_pid_file), std::to_string(getpid()));
}

// kill() reads 0 and negative pids as process groups, which exist, so these
// rows catch a check that trusts whatever number it parsed.
INSTANTIATE_TEST_SUITE_P(
    contents, pid_file_leftover_test,
    ::testing::Values(leftover_case{"missing", std::nullopt}, leftover_case{"empty", std::string()},
                      leftover_case{"blank_line", std::string(" \n")},
                      leftover_case{"garbage", std::string("not a pid, and longer than any pid\n")},
                      leftover_case{"zero", std::string("0")}, leftover_case{"minus_one", std::string("-1")},
                      leftover_case{"negative_group", std::string("-") + std::to_string(getpgrp())},
                      leftover_case{"beyond_any_pid", std::string("99999999999")}),
    [](const ::testing::TestParamInfo<leftover_case>& _info) { return std::string(_info.param.name); });

TEST_F(pid_file_test, a_pid_of_a_finished_process_is_taken_over) {
  write_file(m_pid_file, std::to_string(dead_pid()));
  EXPECT_EQ(start(), "");
  EXPECT_EQ(read_file(m_pid_file), std::to_string(getpid()));
}

TEST_F(pid_file_test, a_running_process_keeps_its_file) {
  // A second live process besides ourselves, so the check is not about getpid().
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  const pid_t sleeper = fork();
  ASSERT_GE(sleeper, 0);
  if (sleeper == 0) {
    close(gate[1]);
    char byte;
    (void)!read(gate[0], &byte, 1);
    _exit(0);
  }
  close(gate[0]);

  for (const pid_t live : {getpid(), sleeper}) {
    for (const std::string& content :
         {std::to_string(live), std::to_string(live) + "\n", "  " + std::to_string(live)}) {
      SCOPED_TRACE("pid file content: '" + content + "'");
      write_file(m_pid_file, content);
      EXPECT_EQ(start(), "Process is running");
      EXPECT_EQ(read_file(m_pid_file), content);
    }
  }

  close(gate[1]);
  int status = 0;
  waitpid(sleeper, &status, 0);
}

TEST_F(pid_file_test, a_file_in_a_missing_directory_cannot_be_written) {
  // Root ignores permission bits, so only a missing directory makes this fail everywhere.
  m_pid_file = m_directory.file("missing/svel.pid");
  EXPECT_EQ(error_of([&] { detail::check_pid(m_pid_file); }), "");
  EXPECT_EQ(error_of([&] { detail::write_pid(m_pid_file); }), "Error opening pid-file!");
  EXPECT_FALSE(std::filesystem::exists(m_pid_file));
}

TEST_F(pid_file_test, a_write_that_fails_is_reported) {
  // /dev/full opens fine and refuses every byte, as a full disk would.
  EXPECT_EQ(error_of([] { detail::write_pid("/dev/full"); }), "Error writing pid-file!");
}

TEST_F(pid_file_test, a_process_we_may_not_signal_is_an_error) {
  const std::string expected = std::string("write_pid: kill(): ") + std::strerror(EPERM);
  ASSERT_EQ(chmod(m_directory.path().c_str(), 0755), 0);
  if (geteuid() != 0) {
    struct stat init {};
    if (stat("/proc/1", &init) != 0 || init.st_uid == geteuid()) {
      GTEST_SKIP() << "no process of another user to point at";
    }
    write_file(m_pid_file, "1");
    EXPECT_EQ(error_of([&] { detail::check_pid(m_pid_file); }), expected);
    return;
  }

  // As root every process may be signalled: look from a child that gave up
  // root, at ourselves, and hand the outcome back through a pipe.
  write_file(m_pid_file, std::to_string(getpid()));
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(result[0]);
    std::string outcome;
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      outcome = "<cannot drop root>";
    } else {
      outcome = error_of([&] { detail::check_pid(m_pid_file); });
    }
    (void)!write(result[1], outcome.data(), outcome.size());
    _exit(0);
  }
  close(result[1]);
  std::string outcome;
  char buffer[256];
  for (ssize_t size; (size = read(result[0], buffer, sizeof(buffer))) > 0;) {
    outcome.append(buffer, static_cast<std::size_t>(size));
  }
  close(result[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (outcome == "<cannot drop root>") {
    GTEST_SKIP() << "this environment does not let root become another user";
  }
  EXPECT_EQ(outcome, expected);
  EXPECT_EQ(read_file(m_pid_file), std::to_string(getpid()));
}

}  // namespace
}  // namespace kavo::libs::core
