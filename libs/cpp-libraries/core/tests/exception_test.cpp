#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/scope_guard.h"
#include "generated/version.h"

namespace kavo::libs::core {
namespace {

std::string source_root() {
  return std::string(::constants::source_directory);
}

TEST(source_location, default_location_is_unknown_and_describes_by_length_only) {
  const source_location location;
  EXPECT_EQ(location.line(), 0);
  EXPECT_EQ(location.file(), "unknown file");
  EXPECT_EQ(location.function(), "unknown function");
  // The prefix is cut by length, not compared: a deep source root leaves
  // nothing of "unknown file", a short one leaves its tail.
  const std::string unknown = "unknown file";
  const auto cut = std::min(::constants::source_directory.size(), unknown.size());
  EXPECT_EQ(located_exception(location).what(), unknown.substr(cut) + ":0");
}

TEST(source_location, captures_caller_and_cuts_the_source_root) {
  const auto line = __LINE__ + 1;
  const auto location = CORE_LOCATION;
  EXPECT_EQ(location.line(), line);
  EXPECT_EQ(location.file(), source_root() + "/libs/cpp-libraries/core/tests/exception_test.cpp");
  EXPECT_EQ(location.short_file(), "/libs/cpp-libraries/core/tests/exception_test.cpp");
  EXPECT_EQ(location.remove_directory_prefix("/x"), "");
}

struct short_function_case {
  const char* pretty;
  const char* expected;
};

class short_function_test : public ::testing::TestWithParam<short_function_case> {};

TEST_P(short_function_test, strips_return_type_and_parameters_of_our_functions) {
  const source_location location(1, "f", GetParam().pretty);
  EXPECT_EQ(location.short_function(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, short_function_test,
    ::testing::Values(
        short_function_case{"void kavo::svel::collector::processing()", "kavo::svel::collector::processing"},
        short_function_case{"kavo::svel::application::application(kavo::libs::core::core&, "
                            "kavo::svel::config&)::<lambda()>",
                            "kavo::svel::application::application"},
        short_function_case{"kavo::libs::core::exception kavo::svel::make(int) const", "kavo::svel::make"},
        short_function_case{"main(int, char**)::<lambda()>", "main(int, char**)::<lambda()>"},
        short_function_case{"no_parenthesis", "no_parenthesis"}, short_function_case{"f()", "f()"},
        short_function_case{"void std::foo(int)", "void std::foo(int)"}));

TEST(exception, describes_as_relative_file_line_and_text) {
  // A literal path below the source root, as the compiler would give it.
  static const std::string file = source_root() + "/src/config.cpp";
  const exception error("bad value", source_location(42, file, "f"));
  EXPECT_STREQ(error.what(), "/src/config.cpp:42 bad value");
  EXPECT_EQ(error.get_string_error(), "bad value");
  std::ostringstream stream;
  error.describe(stream);
  EXPECT_EQ(stream.str(), "/src/config.cpp:42 bad value");
  EXPECT_EQ(error.get_source_location().line(), 42);
}

TEST(exception, failed_check_carries_the_condition_text_and_caller_location) {
  const bool ok = false;
  int line = 0;
  try {
    line = __LINE__ + 1;
    CORE_CHECK(ok);
    FAIL() << "no exception";
  } catch (const check_failed_exception& error) {
    EXPECT_EQ(error.get_string_error(), "check failed: ok");
    EXPECT_EQ(error.get_source_location().line(), line);
    EXPECT_EQ(std::string(error.what()),
              "/libs/cpp-libraries/core/tests/exception_test.cpp:" + std::to_string(line) + " check failed: ok");
  }
  void* curl_handle = &line;
  EXPECT_NO_THROW(CORE_CHECK(curl_handle != NULL));
}

TEST(exception, is_caught_as_the_standard_exception) {
  try {
    throw exception("text", CORE_LOCATION);
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find(" text"), std::string::npos);
  }
}

TEST(scope_guard, runs_once_on_normal_exit_and_on_unwinding) {
  int calls = 0;
  {
    const auto guard = execute_on_scope_exit([&calls] { ++calls; });
    EXPECT_EQ(calls, 0);
  }
  EXPECT_EQ(calls, 1);

  try {
    const auto guard = execute_on_scope_exit([&calls] { ++calls; });
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(calls, 2);

  auto moved = execute_on_scope_exit([&calls] { ++calls; });
  auto owner = std::move(moved);
  owner.reset();
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace kavo::libs::core
