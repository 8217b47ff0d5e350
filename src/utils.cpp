#include "utils.h"

#include <locale>

namespace kavo {

namespace {

int hex_value(char _c) {
  if (_c >= '0' && _c <= '9') return _c - '0';
  if (_c >= 'A' && _c <= 'F') return _c - 'A' + 10;
  if (_c >= 'a' && _c <= 'f') return _c - 'a' + 10;
  return -1;
}

boost::optional<unsigned> parse_hex(boost::string_view _sv, std::size_t _digits) {
  if (_sv.size() < _digits) {
    return boost::none;
  }
  unsigned value = 0;
  for (std::size_t i = 0; i < _digits; ++i) {
    const int digit = hex_value(_sv[i]);
    if (digit < 0) {
      return boost::none;
    }
    value = (value << 4) | static_cast<unsigned>(digit);
  }
  return value;
}

}  // namespace

std::string to_lower(boost::string_view _text) {
  std::string text(_text);
  std::use_facet<std::ctype<char>>(std::locale()).tolower(text.data(), text.data() + text.size());
  return text;
}

std::string to_upper(boost::string_view _text) {
  std::string text(_text);
  std::use_facet<std::ctype<char>>(std::locale()).toupper(text.data(), text.data() + text.size());
  return text;
}

std::string extend_mac(boost::string_view _mac6) {
  std::string extended(_mac6.substr(0, 6));
  extended += "FFFE";
  if (_mac6.size() > 6) {
    extended.append(_mac6.substr(6, 6).data(), _mac6.substr(6, 6).size());
  }
  return to_upper(extended);
}

template <>
boost::optional<unsigned short> parse_number<unsigned short>(boost::string_view _sv) {
  const auto value = parse_hex(_sv, 4);
  return value ? boost::optional<unsigned short>(static_cast<unsigned short>(*value)) : boost::none;
}

template <>
boost::optional<unsigned char> parse_number<unsigned char>(boost::string_view _sv) {
  const auto value = parse_hex(_sv, 2);
  return value ? boost::optional<unsigned char>(static_cast<unsigned char>(*value)) : boost::none;
}

}  // namespace kavo
