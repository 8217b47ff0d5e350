#include "core/base64.h"

#include <algorithm>
#include <stdexcept>

namespace kavo::libs::core {

namespace {

const char* const standard_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char* const url_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

unsigned value_of(char _c) {
  if (_c >= 'A' && _c <= 'Z') return static_cast<unsigned>(_c - 'A');
  if (_c >= 'a' && _c <= 'z') return static_cast<unsigned>(_c - 'a') + 26;
  if (_c >= '0' && _c <= '9') return static_cast<unsigned>(_c - '0') + 52;
  if (_c == '+' || _c == '-') return 62;
  if (_c == '/' || _c == '_') return 63;
  throw std::runtime_error("Input is not valid base64-encoded data.");
}

bool is_padding(char _c) { return _c == '=' || _c == '.'; }

std::string insert_line_breaks(std::string _text, std::size_t _line_length) {
  std::string out;
  out.reserve(_text.size() + _text.size() / _line_length);
  for (std::size_t i = 0; i < _text.size(); i += _line_length) {
    if (i != 0) {
      out += '\n';
    }
    out.append(_text, i, _line_length);
  }
  return out;
}

}  // namespace

std::string base64_encode(const unsigned char* _bytes_to_encode, std::size_t _in_len, bool _url) {
  const char* chars = _url ? url_chars : standard_chars;
  const char padding = _url ? '.' : '=';
  std::string out;
  out.reserve((_in_len + 2) / 3 * 4);
  for (std::size_t i = 0; i < _in_len; i += 3) {
    const std::size_t left = std::min<std::size_t>(3, _in_len - i);
    const unsigned group = (static_cast<unsigned>(_bytes_to_encode[i]) << 16) |
                           (left > 1 ? static_cast<unsigned>(_bytes_to_encode[i + 1]) << 8 : 0u) |
                           (left > 2 ? static_cast<unsigned>(_bytes_to_encode[i + 2]) : 0u);
    out += chars[(group >> 18) & 0x3f];
    out += chars[(group >> 12) & 0x3f];
    out += left > 1 ? chars[(group >> 6) & 0x3f] : padding;
    out += left > 2 ? chars[group & 0x3f] : padding;
  }
  return out;
}

std::string base64_encode(const std::string& _bytes, bool _url) {
  return base64_encode(reinterpret_cast<const unsigned char*>(_bytes.data()), _bytes.size(), _url);
}

std::string base64_encode_pem(const std::string& _bytes) { return insert_line_breaks(base64_encode(_bytes), 64); }

std::string base64_encode_mime(const std::string& _bytes) { return insert_line_breaks(base64_encode(_bytes), 76); }

std::string base64_decode(const std::string& _encoded, bool _remove_linebreaks) {
  if (_encoded.empty()) {
    return std::string();
  }
  if (_remove_linebreaks) {
    std::string copy = _encoded;
    copy.erase(std::remove(copy.begin(), copy.end(), '\n'), copy.end());
    return base64_decode(copy, false);
  }
  std::string out;
  out.reserve(_encoded.size() / 4 * 3 + 2);
  for (std::size_t i = 0; i < _encoded.size(); i += 4) {
    // at() throws std::out_of_range for a lone character in the last group.
    const unsigned first = value_of(_encoded.at(i));
    const unsigned second = value_of(_encoded.at(i + 1));
    out += static_cast<char>((first << 2) | (second >> 4));
    if (i + 2 < _encoded.size() && !is_padding(_encoded[i + 2])) {
      const unsigned third = value_of(_encoded[i + 2]);
      out += static_cast<char>(((second & 0x0f) << 4) | (third >> 2));
      if (i + 3 < _encoded.size() && !is_padding(_encoded[i + 3])) {
        out += static_cast<char>(((third & 0x03) << 6) | value_of(_encoded[i + 3]));
      }
    }
  }
  return out;
}

}  // namespace kavo::libs::core
