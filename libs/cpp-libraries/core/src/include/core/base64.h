#pragma once

#include <cstddef>
#include <string>

namespace kavo::libs::core {

// Standard alphabet with "=" padding, or the URL-safe one with "." padding.
std::string base64_encode(const unsigned char* _bytes_to_encode, std::size_t _in_len, bool _url = false);
std::string base64_encode(const std::string& _bytes, bool _url = false);
// Standard alphabet, a line break after every 64 (PEM) or 76 (MIME) characters.
std::string base64_encode_pem(const std::string& _bytes);
std::string base64_encode_mime(const std::string& _bytes);
// Accepts both alphabets, either padding, or none. Throws std::runtime_error
// "Input is not valid base64-encoded data." on a foreign character and
// std::out_of_range when a lone character is left over.
std::string base64_decode(const std::string& _encoded, bool _remove_linebreaks = false);

}  // namespace kavo::libs::core
