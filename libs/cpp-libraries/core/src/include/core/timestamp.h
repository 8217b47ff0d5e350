#pragma once

#include <chrono>
#include <ctime>
#include <string>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

namespace kavo::libs::core {

// Wall-clock time: milliseconds since the Unix epoch, UTC.
class timestamp {
 public:
  using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

  timestamp() = default;
  timestamp(time_t _seconds, unsigned _milliseconds);
  explicit timestamp(std::chrono::milliseconds _since_epoch);
  // "YYYY-MM-DD?hh:mm:ss[.fff]" with any one separator; what follows the
  // seconds (a "Z", say) is ignored. Throws on text it cannot read.
  explicit timestamp(const boost::string_view& _text);
  // A bare integer is ambiguous (seconds? milliseconds?): never accepted.
  timestamp(int) = delete;

  static boost::optional<timestamp> try_parse(const boost::string_view& _text);
  static timestamp current_time();

  time_t get_ts() const;
  unsigned get_ms() const;
  std::chrono::milliseconds get_time_since_epoch() const { return m_time_point.time_since_epoch(); }

  std::string to_iso_8601(bool _with_milleseconds, char _delimiter, bool _with_Z) const;
  // "2024-03-05T07:08:09.045Z", the form of every time in the REST answers.
  std::string to_json_string() const;
  std::string to_iso_8601_string(bool _with_milleseconds) const;
  std::string to_string() const;
  // The millisecond count in decimal; deserialize reads it back.
  std::string serialize() const;
  static timestamp deserialize(boost::string_view _text);

  std::chrono::milliseconds operator-(const timestamp& _other) const { return m_time_point - _other.m_time_point; }
  bool operator==(const timestamp& _other) const { return m_time_point == _other.m_time_point; }
  bool operator!=(const timestamp& _other) const { return m_time_point != _other.m_time_point; }
  bool operator<(const timestamp& _other) const { return m_time_point < _other.m_time_point; }
  bool operator>(const timestamp& _other) const { return m_time_point > _other.m_time_point; }
  bool operator<=(const timestamp& _other) const { return m_time_point <= _other.m_time_point; }
  bool operator>=(const timestamp& _other) const { return m_time_point >= _other.m_time_point; }

  timestamp& operator+=(std::chrono::milliseconds _delta) {
    m_time_point += _delta;
    return *this;
  }
  timestamp& operator-=(std::chrono::milliseconds _delta) {
    m_time_point -= _delta;
    return *this;
  }
  timestamp operator+(std::chrono::milliseconds _delta) const { return timestamp(*this) += _delta; }
  timestamp operator-(std::chrono::milliseconds _delta) const { return timestamp(*this) -= _delta; }

 private:
  time_point m_time_point{};
};

}  // namespace kavo::libs::core
