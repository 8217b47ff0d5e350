#include <cstdint>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "internal_storage/history.h"

namespace kavo::svel {
namespace {

using bytes = std::vector<std::uint8_t>;
using entry = history::measurement;

bytes make(std::initializer_list<boost::optional<std::uint32_t>> _lqis) {
  bytes data;
  history view(data);
  std::uint64_t ts = 1000;
  for (const auto& lqi : _lqis) {
    view.push_back(entry{lqi, ts++});
  }
  return data;
}

TEST(history, empty_history_has_nothing_to_give) {
  bytes data;
  history view(data);
  EXPECT_EQ(view.size(), 0u);
  EXPECT_FALSE(view[0]);
  view.pop_front();
  view.cut_down_to_size(5);
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(view.get_adjusted_average_lqi());
}

TEST(history, entries_are_nine_bytes_with_a_big_endian_56_bit_time) {
  bytes data;
  history view(data);
  view.push_back(entry{100u, 300});
  EXPECT_THAT(data, ::testing::ElementsAre(0x64, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2C));
  view.push_back(entry{boost::none, 0x0102030405060708ull});
  EXPECT_THAT(bytes(data.begin() + 9, data.end()),
              ::testing::ElementsAre(0x00, 0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08));
  view.push_back(entry{300u, (1ull << 56) + 5});
  ASSERT_EQ(view.size(), 3u);

  EXPECT_EQ(view[0]->lqi, boost::optional<std::uint32_t>(100u));
  EXPECT_EQ(view[0]->ts, 300u);
  EXPECT_FALSE(view[1]->lqi);
  EXPECT_EQ(view[1]->ts, 0x02030405060708ull);
  EXPECT_EQ(view[2]->lqi, boost::optional<std::uint32_t>(44u));  // 300 modulo 256
  EXPECT_EQ(view[2]->ts, 5u);
  EXPECT_FALSE(view[3]);
}

TEST(history, any_non_zero_flag_means_present_and_a_partial_tail_is_ignored) {
  bytes data{7, 0x80, 0, 0, 0, 0, 0, 0, 9, 1, 2, 3};
  history view(data);
  EXPECT_EQ(view.size(), 1u);
  EXPECT_EQ(view[0]->lqi, boost::optional<std::uint32_t>(7u));
  EXPECT_EQ(view[0]->ts, 9u);
  EXPECT_FALSE(view[1]);
}

TEST(history, trimming_keeps_the_newest_entries_in_place) {
  struct trim_case {
    std::size_t entries;
    std::uint32_t keep;
    std::size_t left;
  };
  for (const auto& c : {trim_case{5, 3, 3}, trim_case{3, 3, 3}, trim_case{5, 0, 0}, trim_case{2, 7, 2}}) {
    bytes data;
    history view(data);
    for (std::size_t i = 0; i < c.entries; ++i) {
      view.push_back(entry{static_cast<std::uint32_t>(i), i});
    }
    view.cut_down_to_size(c.keep);
    ASSERT_EQ(view.size(), c.left);
    EXPECT_EQ(data.size(), c.left * 9);
    for (std::size_t i = 0; i < c.left; ++i) {
      EXPECT_EQ(view[i]->ts, c.entries - c.left + i);
    }
  }

  bytes two = make({1u, 2u});
  history view(two);
  view.pop_front();
  ASSERT_EQ(view.size(), 1u);
  EXPECT_EQ(view[0]->lqi, boost::optional<std::uint32_t>(2u));
}

struct average_case {
  std::vector<boost::optional<std::uint32_t>> lqis;
  boost::optional<std::uint32_t> expected;
};

class adjusted_average_test : public ::testing::TestWithParam<average_case> {};

TEST_P(adjusted_average_test, power_mean_weighted_by_the_answered_share) {
  bytes data;
  history view(data);
  std::uint64_t ts = 0;
  for (const auto& lqi : GetParam().lqis) {
    view.push_back(entry{lqi, ts++});
  }
  EXPECT_EQ(view.get_adjusted_average_lqi(), GetParam().expected);
}

const boost::optional<std::uint32_t> none = boost::none;

INSTANTIATE_TEST_SUITE_P(
    histories, adjusted_average_test,
    ::testing::Values(average_case{{100u}, 100u}, average_case{{255u}, 254u}, average_case{{0u}, 0u},
                      average_case{{100u, none}, 50u}, average_case{{none, 100u}, 50u},
                      average_case{{100u, 100u, 100u, none}, 95u}, average_case{{100u, none, none}, 12u},
                      average_case{{100u, none, none, none, none, none, none, none, none, none}, 1u},
                      average_case{{80u, 112u}, 101u}, average_case{{50u, 60u, 70u}, 61u},
                      average_case{{none, none}, none}, average_case{{}, none}));

}  // namespace
}  // namespace kavo::svel
