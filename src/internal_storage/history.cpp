#include "internal_storage/history.h"

#include <cmath>

namespace kavo::svel {

void history::push_back(const measurement& _entry) {
  m_data.push_back(_entry.lqi ? static_cast<std::uint8_t>(*_entry.lqi & 0xff) : 0);
  m_data.push_back(_entry.lqi ? 1 : 0);
  for (int shift = 48; shift >= 0; shift -= 8) {
    m_data.push_back(static_cast<std::uint8_t>((_entry.ts >> shift) & 0xff));
  }
}

void history::pop_front() {
  if (m_data.size() >= entry_size) {
    m_data.erase(m_data.begin(), m_data.begin() + entry_size);
  }
}

void history::cut_down_to_size(std::uint32_t _size) {
  const std::size_t keep = entry_size * _size;
  if (m_data.size() > keep) {
    m_data.erase(m_data.begin(), m_data.end() - static_cast<std::ptrdiff_t>(keep));
  }
}

boost::optional<history::measurement> history::operator[](std::size_t _index) const {
  if (_index >= size()) {
    return boost::none;
  }
  const std::uint8_t* entry = m_data.data() + entry_size * _index;
  measurement decoded;
  if (entry[1] != 0) {
    decoded.lqi = entry[0];
  }
  for (std::size_t byte = 2; byte < entry_size; ++byte) {
    decoded.ts = (decoded.ts << 8) | entry[byte];
  }
  return decoded;
}

boost::optional<std::uint32_t> history::get_adjusted_average_lqi() const {
  const std::size_t total = size();
  if (total == 0) {
    return boost::none;
  }
  std::vector<double> powers;
  powers.reserve(total);
  for (std::size_t i = 0; i < total; ++i) {
    const std::uint8_t* entry = m_data.data() + entry_size * i;
    if (entry[1] != 0) {
      powers.push_back(std::pow(2.0, (static_cast<double>(entry[0]) - 8.0) * 0.0625));
    }
  }
  if (powers.empty()) {
    return boost::none;
  }
  double sum = 0;
  for (const double power : powers) {
    sum += power;
  }
  const double answered = static_cast<double>(powers.size());
  const double level = 16.0 * std::log2(sum / answered) + 8.0;
  const double share = answered / static_cast<double>(total);
  const double weight = 1.0 / (std::exp((share - 0.5) * -12.0) + 1.0);
  return static_cast<std::uint32_t>(std::round(level * weight));
}

}  // namespace kavo::svel
