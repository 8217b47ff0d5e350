#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/timestamp.h"

namespace kavo::libs::core {
namespace {

using std::chrono::milliseconds;

static_assert(!std::is_constructible_v<timestamp, int>, "a bare int must not become a timestamp");

TEST(timestamp, seconds_and_milliseconds_agree_with_the_millisecond_count) {
  const timestamp from_parts(1709622489, 45u);
  const timestamp from_ms(milliseconds(1709622489045));
  EXPECT_EQ(from_parts, from_ms);
  EXPECT_EQ(from_parts.get_ts(), 1709622489);
  EXPECT_EQ(from_parts.get_ms(), 45u);
  EXPECT_EQ(from_parts.get_time_since_epoch(), milliseconds(1709622489045));
  EXPECT_EQ(timestamp().get_time_since_epoch(), milliseconds(0));
}

struct format_case {
  bool with_milliseconds;
  char delimiter;
  bool with_z;
  const char* expected;
};

TEST(timestamp, formats_iso_8601) {
  const timestamp time(milliseconds(1709622489045));
  for (const auto& c :
       {format_case{true, 'T', true, "2024-03-05T07:08:09.045Z"}, format_case{false, 'T', true, "2024-03-05T07:08:09Z"},
        format_case{true, ' ', false, "2024-03-05 07:08:09.045"},
        format_case{false, '_', false, "2024-03-05_07:08:09"}}) {
    EXPECT_EQ(time.to_iso_8601(c.with_milliseconds, c.delimiter, c.with_z), c.expected);
  }
  EXPECT_EQ(time.to_json_string(), "2024-03-05T07:08:09.045Z");
  EXPECT_EQ(timestamp(milliseconds(7)).to_json_string(), "1970-01-01T00:00:00.007Z");
}

struct parse_case {
  const char* text;
  long long expected_ms;
};

TEST(timestamp, parses_any_separator_fraction_and_ignores_the_tail) {
  for (const auto& c :
       {parse_case{"2024-03-05T07:08:09.045Z", 1709622489045}, parse_case{"2024-03-05 07:08:09.045", 1709622489045},
        parse_case{"2024-03-05T07:08:09Z", 1709622489000}, parse_case{"2024-03-05T07:08:09.5", 1709622489500},
        parse_case{"2024-03-05T07:08:09.0456+02:00", 1709622489046}, parse_case{"1970-01-01T00:00:00", 0},
        parse_case{"2024-02-29T23:59:59.999Z", 1709251199999}}) {
    EXPECT_EQ(timestamp(boost::string_view(c.text)).get_time_since_epoch().count(), c.expected_ms) << c.text;
    ASSERT_TRUE(timestamp::try_parse(c.text)) << c.text;
  }
}

TEST(timestamp, rejects_text_without_all_seven_fields) {
  for (const char* text : {"2024-03-05T07:08", "", "yesterday", "2024-03-05", "12:00:00"}) {
    try {
      timestamp parsed{boost::string_view(text)};
      ADD_FAILURE() << "accepted " << text;
    } catch (const exception& error) {
      EXPECT_EQ(error.get_string_error(), std::string("timestamp: \"") + text + "\" is invalid!");
      EXPECT_EQ(error.get_source_location().short_file(), "/libs/cpp-libraries/core/src/impl/timestamp.cpp");
    }
    EXPECT_FALSE(timestamp::try_parse(text));
  }
}

TEST(timestamp, a_view_is_read_only_up_to_its_end) {
  const std::string text = "2024-03-05T07:08:09.045Z and more";
  EXPECT_FALSE(timestamp::try_parse(boost::string_view(text.data(), 16)));
  EXPECT_TRUE(timestamp::try_parse(boost::string_view(text.data(), 19)));
}

TEST(timestamp, arithmetic_and_comparison) {
  timestamp time(milliseconds(1000));
  const timestamp later = time + milliseconds(500);
  EXPECT_EQ(later - time, milliseconds(500));
  EXPECT_LT(time, later);
  EXPECT_LE(time, later);
  EXPECT_GT(later, time);
  EXPECT_GE(later, later);
  EXPECT_NE(time, later);
  EXPECT_EQ(later - milliseconds(500), time);
  time += milliseconds(500);
  EXPECT_EQ(time, later);
  time -= milliseconds(1500);
  EXPECT_EQ(time.get_time_since_epoch(), milliseconds(0));
}

TEST(timestamp, before_the_epoch_keeps_milliseconds_in_range) {
  const timestamp time(milliseconds(-1));
  EXPECT_EQ(time.get_ts(), -1);
  EXPECT_EQ(time.get_ms(), 999u);
  EXPECT_EQ(time.to_json_string(), "1969-12-31T23:59:59.999Z");
}

TEST(timestamp, serialize_round_trips) {
  for (const long long ms : {0LL, 1709622489045LL, -5LL}) {
    const timestamp time{milliseconds(ms)};
    EXPECT_EQ(timestamp::deserialize(time.serialize()), time);
  }
  EXPECT_THROW(timestamp::deserialize("12x"), exception);
  EXPECT_THROW(timestamp::deserialize(""), exception);
}

TEST(timestamp, current_time_is_the_wall_clock_in_milliseconds) {
  const auto before = std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  const auto now = timestamp::current_time().get_time_since_epoch();
  const auto after = std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

}  // namespace
}  // namespace kavo::libs::core
