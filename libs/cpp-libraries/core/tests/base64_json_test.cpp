#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "core/base64.h"
#include "core/json.h"
#include "core/logger.h"
#include "debug_receiver.h"

namespace kavo::libs::core {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::chrono::milliseconds patience = 10s;
const std::string this_file = "/libs/cpp-libraries/core/tests/base64_json_test.cpp";
const std::string invalid_data = "Input is not valid base64-encoded data.";

std::string bytes(std::initializer_list<int> _values) {
  std::string out;
  for (const int value : _values) {
    out += static_cast<char>(value);
  }
  return out;
}

// --- base64 ---

struct encode_case {
  std::string input;
  std::string standard;
  std::string url;
};

TEST(base64, encodes_with_the_alphabet_and_padding_of_each_variant) {
  const std::vector<encode_case> cases = {
      {"", "", ""},
      {"f", "Zg==", "Zg.."},
      {"fo", "Zm8=", "Zm8."},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg.."},
      {"fooba", "Zm9vYmE=", "Zm9vYmE."},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
      // The two characters where the alphabets differ.
      {bytes({0xfb, 0xef, 0xbe}), "++++", "----"},
      {bytes({0xff, 0xff, 0xff}), "////", "____"},
      {bytes({0xfb, 0xff}), "+/8=", "-_8."},
      {bytes({0x00}), "AA==", "AA.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.standard);
    EXPECT_EQ(base64_encode(c.input), c.standard);
    EXPECT_EQ(base64_encode(c.input, true), c.url);
    EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(c.input.data()), c.input.size(), true), c.url);
  }
}

struct wrap_case {
  std::size_t input_length;
  std::vector<std::size_t> line_lengths;
};

void expect_lines(const std::string& _wrapped, const std::vector<std::size_t>& _lengths) {
  std::vector<std::size_t> lengths;
  std::size_t start = 0;
  while (true) {
    const auto end = _wrapped.find('\n', start);
    lengths.push_back((end == std::string::npos ? _wrapped.size() : end) - start);
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  EXPECT_EQ(lengths, _lengths) << _wrapped;
}

TEST(base64, pem_and_mime_break_lines_between_full_lines_only) {
  const std::vector<wrap_case> pem = {{0, {0}},      {47, {64}},     {48, {64}},
                                      {49, {64, 4}}, {96, {64, 64}}, {100, {64, 64, 8}}};
  const std::vector<wrap_case> mime = {{56, {76}}, {57, {76}}, {58, {76, 4}}, {114, {76, 76}}, {120, {76, 76, 8}}};
  const auto check = [](const std::vector<wrap_case>& _cases, std::string (*_encode)(const std::string&)) {
    for (const auto& c : _cases) {
      SCOPED_TRACE(c.input_length);
      std::string input;
      for (std::size_t i = 0; i < c.input_length; ++i) {
        input += static_cast<char>(i * 37);
      }
      const auto wrapped = _encode(input);
      expect_lines(wrapped, c.line_lengths);
      std::string joined = wrapped;
      joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
      EXPECT_EQ(joined, base64_encode(input));
      EXPECT_EQ(base64_decode(wrapped, true), input);
    }
  };
  {
    SCOPED_TRACE("pem");
    check(pem, &base64_encode_pem);
  }
  {
    SCOPED_TRACE("mime");
    check(mime, &base64_encode_mime);
  }
}

struct decode_case {
  std::string encoded;
  std::string decoded;
  bool remove_linebreaks;
};

TEST(base64, decodes_either_alphabet_and_any_padding) {
  const std::vector<decode_case> cases = {
      {"", "", false},
      {"", "", true},
      {"Zm9vYmFy", "foobar", false},
      {"Zm9vYg==", "foob", false},
      {"Zm9vYg..", "foob", false},
      {"Zm9vYg", "foob", false},
      {"Zm9vYmE=", "fooba", false},
      {"Zm9vYmE.", "fooba", false},
      {"Zm9vYmE", "fooba", false},
      {"Zg", "f", false},
      {"-_8.", bytes({0xfb, 0xff}), false},
      {"+/8", bytes({0xfb, 0xff}), false},
      // Both alphabets in one input.
      {"+/-_", bytes({0xfb, 0xff, 0xbf}), false},
      {"+_8=", bytes({0xfb, 0xff}), false},
      {"Zm9v\nYmFy\n", "foobar", true},
      {"Zm\n9vY\nmE=", "fooba", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(base64_decode(c.encoded, c.remove_linebreaks), c.decoded);
  }
}

TEST(base64, rejects_foreign_characters_and_a_lone_trailing_character) {
  for (const std::string& encoded :
       std::vector<std::string>{"Zm9v*mFy", "Zm9vYmF*", "=m9v", "Z=9v", "Zm9v==Fy", "Zm9v.Fy", "Zm9v\nYmFy",
                                "Zm9v YmFy", std::string("Zm9v\0mFy", 8)}) {
    SCOPED_TRACE(encoded);
    try {
      base64_decode(encoded);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), invalid_data);
    }
  }
  for (const std::string encoded : {"Z", "Zm9vY", "Zm9vYmFyZ", "Zm9v\nY"}) {
    SCOPED_TRACE(encoded);
    EXPECT_THROW(base64_decode(encoded, true), std::out_of_range);
  }
}

TEST(base64, random_bytes_survive_the_round_trip_in_every_form) {
  std::mt19937 generator(20240305);
  std::uniform_int_distribution<int> byte(0, 255);
  const std::regex standard_form("[A-Za-z0-9+/]*={0,2}");
  const std::regex url_form("[A-Za-z0-9_-]*[.]{0,2}");
  for (std::size_t length = 0; length <= 100; ++length) {
    SCOPED_TRACE(length);
    std::string input;
    for (std::size_t i = 0; i < length; ++i) {
      input += static_cast<char>(byte(generator));
    }
    const auto standard = base64_encode(input);
    const auto url = base64_encode(input, true);
    EXPECT_EQ(standard.size(), (length + 2) / 3 * 4);
    EXPECT_TRUE(std::regex_match(standard, standard_form)) << standard;
    EXPECT_TRUE(std::regex_match(url, url_form)) << url;
    EXPECT_EQ(base64_decode(standard), input);
    EXPECT_EQ(base64_decode(url), input);
    EXPECT_EQ(base64_decode(standard.substr(0, standard.find('='))), input);
    EXPECT_EQ(base64_decode(url.substr(0, url.find('.'))), input);
    EXPECT_EQ(base64_decode(base64_encode_pem(input), true), input);
    EXPECT_EQ(base64_decode(base64_encode_mime(input), true), input);
  }
}

// --- parsing and writing ---

TEST(json, try_parse_reports_bad_text_without_throwing) {
  for (const std::string text : {"", " ", "{", "{\"a\":1,", "[1,2", "{\"a\" 1}", "nul", "{'a':1}"}) {
    SCOPED_TRACE(text);
    json::parse_result parsed;
    ASSERT_NO_THROW(parsed = json::try_parse(text));
    EXPECT_FALSE(parsed.ok);
    EXPECT_FALSE(parsed.error.empty());
    // A partly read document must not leak out.
    EXPECT_TRUE(parsed.result.isNull()) << json::to_string(parsed.result);
  }
}

TEST(json, try_parse_reads_valid_text) {
  const auto parsed = json::try_parse(R"( {"b": [true, null, "x"], "a": -3} )");
  ASSERT_TRUE(parsed.ok);
  EXPECT_THAT(parsed.error, IsEmpty());
  EXPECT_EQ(parsed.result["a"].asInt(), -3);
  EXPECT_EQ(parsed.result["b"].size(), 3u);
}

TEST(json, try_parse_reads_only_the_characters_of_the_view) {
  const std::string buffer = "xx[1,2]123456";
  // The view ends before the closing bracket, which the buffer holds.
  EXPECT_FALSE(json::try_parse(boost::string_view(buffer.data() + 2, 4)).ok);

  const auto inner = json::try_parse(boost::string_view(buffer.data() + 2, 5));
  ASSERT_TRUE(inner.ok);
  EXPECT_EQ(json::to_string(inner.result), "[1,2]");

  const auto number = json::try_parse(boost::string_view(buffer.data() + 7, 2));
  ASSERT_TRUE(number.ok);
  EXPECT_EQ(number.result.asInt(), 12);
}

TEST(json, to_string_is_one_compact_line_with_sorted_keys) {
  Json::Value value(Json::objectValue);
  value["zeta"] = "line one\nline two";
  value["alpha"]["y"] = Json::Value(Json::arrayValue);
  value["alpha"]["y"].append(1);
  value["alpha"]["y"].append(Json::Value());
  value["alpha"]["x"] = true;
  value["Mid"] = -1.5;
  value["empty"] = Json::Value(Json::objectValue);
  const std::string expected = R"({"Mid":-1.5,"alpha":{"x":true,"y":[1,null]},"empty":{},"zeta":"line one\nline two"})";
  EXPECT_EQ(json::to_string(value), expected);

  const auto reparsed = json::try_parse(expected);
  ASSERT_TRUE(reparsed.ok);
  EXPECT_EQ(reparsed.result, value);
  EXPECT_EQ(json::to_string(Json::Value()), "null");
}

// --- the validator ---

class json_validator_test : public ::testing::Test {
 protected:
  json_validator_test() {
    m_logger.connect(m_receiver.endpoint());
    logged();
  }

  // The bodies of the lines logged since the last call.
  std::vector<std::string> logged() {
    static const std::regex line(R"(&svel_test:main \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ([\s\S]*))");
    const std::string marker = "marker " + std::to_string(++m_markers);
    m_logger.debug("%1%") % marker;
    std::vector<std::string> seen;
    const bool found = m_receiver.wait_for(
        [&](const std::string& _line) {
          return _line.size() >= marker.size() &&
                 _line.compare(_line.size() - marker.size(), marker.size(), marker) == 0;
        },
        seen, patience);
    EXPECT_TRUE(found) << "the marker line did not arrive";
    if (found) {
      seen.pop_back();
    }
    std::vector<std::string> bodies;
    for (const auto& text : seen) {
      std::smatch match;
      bodies.push_back(std::regex_match(text, match, line) ? match[1].str() : text);
    }
    return bodies;
  }

  static std::string at(const source_location& _location, const std::string& _message) {
    return this_file + ":" + std::to_string(_location.line()) + " " + _message;
  }

  static Json::Value document() {
    const auto parsed = json::try_parse(R"({
      "name": "anchor", "neg": -5, "count": 7, "big": 1099511627776, "ratio": 0.5,
      "obj": {"k": 1}, "arr": [1], "flag": true, "nul": "a\u0000b"})");
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.result;
  }

  testing::debug_receiver m_receiver;
  logger m_logger{"svel_test", "main"};
  int m_markers = 0;
};

TEST_F(json_validator_test, fields_of_the_right_kind_are_read_silently) {
  const auto doc = document();
  json::validator validator("check", m_logger, CORE_LOCATION);
  EXPECT_EQ(validator.get_string_view(doc, "name", "."), boost::string_view("anchor"));
  EXPECT_EQ(validator.get_string_view(doc, "nul", "."), boost::string_view("a\0b", 3));
  EXPECT_EQ(validator.get_int(doc, "neg", "."), -5);
  EXPECT_EQ(validator.get_int(doc, "count", "."), 7);
  EXPECT_EQ(validator.get_uint(doc, "count", "."), 7u);
  EXPECT_EQ(validator.get_uint64(doc, "big", "."), std::uint64_t{1099511627776});
  EXPECT_EQ(validator.get_double(doc, "ratio", "."), 0.5);
  EXPECT_EQ(validator.get_double(doc, "neg", "."), -5.0);
  EXPECT_EQ(validator.get_bool(doc, "flag", "."), true);
  const auto obj = validator.get_object(doc, "obj", ".");
  ASSERT_TRUE(obj);
  EXPECT_EQ((*obj)["k"].asInt(), 1);
  // A reference into the document, not a copy.
  EXPECT_EQ(&*obj, &doc["obj"]);
  const auto arr = validator.get_array(doc, "arr", ".");
  ASSERT_TRUE(arr);
  EXPECT_EQ(arr->size(), 1u);
  EXPECT_TRUE(validator.find_value(doc, "name", "."));
  EXPECT_TRUE(validator.ok());
  EXPECT_THAT(logged(), IsEmpty());
}

struct problem_case {
  const char* name;
  std::function<bool(json::validator&, const Json::Value&)> read;  // true when a value came back
  std::string problem;
};

TEST_F(json_validator_test, each_missing_or_mistyped_field_is_one_line_at_the_validator_location) {
  using v = json::validator;
  const std::vector<problem_case> cases = {
      {"missing", [](v& _v, const auto& _d) { return bool(_v.find_value(_d, "absent", "top")); },
       "could not find 'absent' in object 'top'"},
      {"missing int", [](v& _v, const auto& _d) { return bool(_v.get_int(_d, "absent", "top.sub[2]")); },
       "could not find 'absent' in object 'top.sub[2]'"},
      {"inside an array", [](v& _v, const auto& _d) { return bool(_v.find_value(_d["arr"], "k", "arr")); },
       "could not find 'k' in object 'arr'"},
      {"string", [](v& _v, const auto& _d) { return bool(_v.get_string_view(_d, "count", "top")); },
       "'count' in 'top' is not a string"},
      {"int from text", [](v& _v, const auto& _d) { return bool(_v.get_int(_d, "name", "top")); },
       "'name' in 'top' is not an int"},
      {"int too big", [](v& _v, const auto& _d) { return bool(_v.get_int(_d, "big", "top")); },
       "'big' in 'top' is not an int"},
      {"int from fraction", [](v& _v, const auto& _d) { return bool(_v.get_int(_d, "ratio", "top")); },
       "'ratio' in 'top' is not an int"},
      {"uint negative", [](v& _v, const auto& _d) { return bool(_v.get_uint(_d, "neg", "top")); },
       "'neg' in 'top' is not an uint"},
      {"uint too big", [](v& _v, const auto& _d) { return bool(_v.get_uint(_d, "big", "top")); },
       "'big' in 'top' is not an uint"},
      {"uint64 negative", [](v& _v, const auto& _d) { return bool(_v.get_uint64(_d, "neg", "top")); },
       "'neg' in 'top' is not an uint64"},
      {"uint64 from text", [](v& _v, const auto& _d) { return bool(_v.get_uint64(_d, "name", "top")); },
       "'name' in 'top' is not an uint64"},
      {"object", [](v& _v, const auto& _d) { return bool(_v.get_object(_d, "arr", "top")); },
       "'arr' in 'top' is not an object"},
      {"array", [](v& _v, const auto& _d) { return bool(_v.get_array(_d, "obj", "top")); },
       "'obj' in 'top' is not an array"},
      {"number", [](v& _v, const auto& _d) { return bool(_v.get_double(_d, "name", "top")); },
       "'name' in 'top' is not a number"},
      {"bool", [](v& _v, const auto& _d) { return bool(_v.get_bool(_d, "count", "top")); },
       "'count' in 'top' is not a bool"},
  };
  const auto doc = document();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto here = CORE_LOCATION;
    json::validator validator("check", m_logger, &component_logger::warning, here);
    EXPECT_FALSE(c.read(validator, doc));
    EXPECT_FALSE(validator.ok());
    EXPECT_THAT(logged(), ElementsAre(at(here, "check: " + c.problem)));
  }
}

TEST_F(json_validator_test, every_problem_is_reported_and_later_successes_do_not_clear_it) {
  const auto doc = document();
  const auto here = CORE_LOCATION;
  json::validator validator("raw_msg parse", m_logger, here);
  EXPECT_FALSE(validator.get_uint64(doc, "neg", "."));
  EXPECT_TRUE(validator.get_int(doc, "count", "."));
  EXPECT_FALSE(validator.get_string_view(doc, "mac", "."));
  EXPECT_FALSE(validator.ok());
  EXPECT_THAT(logged(), ElementsAre(at(here, "raw_msg parse: 'neg' in '.' is not an uint64"),
                                    at(here, "raw_msg parse: could not find 'mac' in object '.'")));
}

TEST_F(json_validator_test, ensure_ok_reports_a_failed_parse_and_gives_null) {
  const auto here = CORE_LOCATION;
  const auto failed = json::try_parse("{\"a\":");
  ASSERT_FALSE(failed.ok);
  json::validator validator("config", m_logger, &component_logger::error, here);
  EXPECT_TRUE(validator.ensure_ok(failed, "settings.json").isNull());
  EXPECT_FALSE(validator.ok());
  EXPECT_THAT(logged(), ElementsAre(at(here, "config: Can not parse json: settings.json, error: " + failed.error)));

  const auto parsed = json::try_parse("{\"a\":1}");
  json::validator clean("config", m_logger, here);
  EXPECT_EQ(&clean.ensure_ok(parsed, "settings.json"), &parsed.result);
  EXPECT_TRUE(clean.ok());
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(json_validator_test, the_stream_receives_each_problem_as_a_line_too) {
  const auto here = CORE_LOCATION;
  std::ostringstream stream;
  json::validator validator("settings", m_logger, stream, here);
  EXPECT_FALSE(validator.get_int(document(), "port", "server"));
  validator.message("port and socket both given");
  EXPECT_FALSE(validator.ensure_initialized(boost::optional<int>(), "timeout"));
  EXPECT_TRUE(validator.ensure_initialized(boost::optional<int>(0), "retries"));
  EXPECT_FALSE(validator.ok());
  EXPECT_EQ(stream.str(),
            "settings: could not find 'port' in object 'server'\n"
            "settings: port and socket both given\n"
            "settings: 'timeout' is not initialized\n");
  EXPECT_THAT(logged(), ElementsAre(at(here, "settings: could not find 'port' in object 'server'"),
                                    at(here, "settings: port and socket both given"),
                                    at(here, "settings: 'timeout' is not initialized")));
}

}  // namespace
}  // namespace kavo::libs::core
