#include "core/timestamp.h"

#include <cmath>
#include <cstdio>
#include <string>

#include <boost/format.hpp>

#include "core/exception.h"

namespace kavo::libs::core {

timestamp::timestamp(time_t _seconds, unsigned _milliseconds)
    : m_time_point(std::chrono::milliseconds(static_cast<std::int64_t>(_seconds) * 1000 + _milliseconds)) {}

timestamp::timestamp(std::chrono::milliseconds _since_epoch) : m_time_point(_since_epoch) {}

timestamp::timestamp(const boost::string_view& _text) {
  // sscanf needs a terminated string; a view need not be one.
  const std::string text(_text);
  int year = 0;
  int month = 0;
  int day = 0;
  char separator = 0;
  int hour = 0;
  int minute = 0;
  float seconds = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%f", &year, &month, &day, &separator, &hour, &minute, &seconds) < 7) {
    throw exception("timestamp: \"" + text + "\" is invalid!", CORE_LOCATION);
  }
  std::tm calendar{};
  calendar.tm_year = year - 1900;
  calendar.tm_mon = month - 1;
  calendar.tm_mday = day;
  calendar.tm_hour = hour;
  calendar.tm_min = minute;
  const float whole_seconds = std::floor(seconds);
  calendar.tm_sec = static_cast<int>(whole_seconds);
  const auto fraction_ms = static_cast<std::int64_t>(std::roundf((seconds - whole_seconds) * 1000.0f));
  m_time_point =
      time_point(std::chrono::milliseconds(static_cast<std::int64_t>(timegm(&calendar)) * 1000 + fraction_ms));
}

boost::optional<timestamp> timestamp::try_parse(const boost::string_view& _text) {
  try {
    return timestamp(_text);
  } catch (const exception&) {
    return boost::none;
  }
}

timestamp timestamp::current_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return timestamp(std::chrono::milliseconds(static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000));
}

time_t timestamp::get_ts() const {
  // Floor division, so times before the epoch keep get_ms() in 0-999.
  const auto ms = m_time_point.time_since_epoch().count();
  return static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
}

unsigned timestamp::get_ms() const {
  const auto ms = m_time_point.time_since_epoch().count();
  return static_cast<unsigned>(ms - static_cast<std::int64_t>(get_ts()) * 1000);
}

std::string timestamp::to_iso_8601(bool _with_milleseconds, char _delimiter, bool _with_Z) const {
  const time_t seconds = get_ts();
  std::tm calendar{};
  gmtime_r(&seconds, &calendar);
  char buffer[64];
  const auto length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &calendar);
  std::string text(buffer, length);
  const auto space = text.find(' ');
  if (space != std::string::npos) {
    text[space] = _delimiter;
  }
  if (_with_milleseconds) {
    text += (boost::format(".%03u") % get_ms()).str();
  }
  if (_with_Z) {
    text += 'Z';
  }
  return text;
}

std::string timestamp::to_json_string() const {
  return to_iso_8601(true, 'T', true);
}

std::string timestamp::to_iso_8601_string(bool _with_milleseconds) const {
  return to_iso_8601(_with_milleseconds, 'T', true);
}

std::string timestamp::to_string() const {
  return to_iso_8601(true, ' ', false);
}

std::string timestamp::serialize() const {
  return std::to_string(m_time_point.time_since_epoch().count());
}

timestamp timestamp::deserialize(boost::string_view _text) {
  const std::string text(_text);
  std::size_t used = 0;
  long long milliseconds = 0;
  try {
    milliseconds = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) {
    throw exception("timestamp: \"" + text + "\" is not a serialized timestamp", CORE_LOCATION);
  }
  return timestamp(std::chrono::milliseconds(milliseconds));
}

}  // namespace kavo::libs::core
