#pragma once

#include <string>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

namespace kavo {

// The EUI-64 form of a 48-bit MAC: FFFE in the middle, upper case.
std::string extend_mac(boost::string_view _mac6);

// Reads exactly the leading hex digits of the type's width: four for
// unsigned short, two for unsigned char. Empty when too short or not hex.
template <typename T>
boost::optional<T> parse_number(boost::string_view _sv);

template <>
boost::optional<unsigned short> parse_number<unsigned short>(boost::string_view _sv);
template <>
boost::optional<unsigned char> parse_number<unsigned char>(boost::string_view _sv);

// With the ctype facet of the default locale.
std::string to_lower(boost::string_view _text);
std::string to_upper(boost::string_view _text);

}  // namespace kavo
