#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/optional.hpp>

namespace kavo::svel {

// A view over a pair's LQI history blob: 9-byte entries, oldest first
// (LQI, presence flag, 56-bit big-endian time). Does not own the bytes.
class history {
 public:
  struct measurement {
    boost::optional<std::uint32_t> lqi;  // empty for an unanswered request
    std::uint64_t ts = 0;
  };

  explicit history(std::vector<std::uint8_t>& _data) : m_data(_data) {}
  virtual ~history() = default;

  void push_back(const measurement& _entry);
  void pop_front();
  // Keeps only the newest _size entries, in place.
  void cut_down_to_size(std::uint32_t _size);
  boost::optional<measurement> operator[](std::size_t _index) const;
  std::size_t size() const { return m_data.size() / entry_size; }
  // Power mean of the answered entries on the LQI scale, weighted down
  // logistically by the share of unanswered ones.
  boost::optional<std::uint32_t> get_adjusted_average_lqi() const;

  static constexpr std::size_t entry_size = 9;

 private:
  std::vector<std::uint8_t>& m_data;
};

}  // namespace kavo::svel
