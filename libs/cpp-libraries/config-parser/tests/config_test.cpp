#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <boost/optional/bad_optional_access.hpp>

#include "config_parser/config.h"

namespace kavo::libs::config {
namespace {

std::unique_ptr<config> load(const std::string& _text) {
  std::istringstream stream(_text);
  return config::create<type::json>(stream);
}

// One row per look-up: the document, the path, the wanted type and the
// expected reason (empty when the look-up must succeed).
struct path_case {
  std::string document;
  std::vector<std::string> path;
  char type;  // 's'tring, 'i'nt, 'b'ool
  std::string expected_reason;
};

std::string look_up(const config& _config, const path_case& _case) {
  // initializer_list cannot be built at run time from a vector; paths here are at most three keys.
  const auto& p = _case.path;
  const auto run = [&](auto _tag) -> std::string {
    using T = decltype(_tag);
    result<T> found = p.size() == 1   ? _config.get_by_path<T>({p[0]})
                      : p.size() == 2 ? _config.get_by_path<T>({p[0], p[1]})
                                      : _config.get_by_path<T>({p[0], p[1], p[2]});
    EXPECT_EQ(found.ok(), found.reason().empty());
    EXPECT_EQ(found.ok(), bool(found.try_get()));
    return found.reason();
  };
  switch (_case.type) {
    case 's':
      return run(std::string());
    case 'i':
      return run(int());
    default:
      return run(bool());
  }
}

class get_by_path_test : public ::testing::TestWithParam<path_case> {};

TEST_P(get_by_path_test, gives_the_exact_failure_text) {
  const auto document = load(GetParam().document);
  EXPECT_EQ(look_up(*document, GetParam()), GetParam().expected_reason);
}

INSTANTIATE_TEST_SUITE_P(
    cases, get_by_path_test,
    ::testing::Values(
        path_case{R"({"a": 5})", {"a"}, 'i', ""}, path_case{R"({"a": 5.0})", {"a"}, 'i', ""},
        path_case{R"({"a": 5.5})", {"a"}, 'i', "Can not find field <int>: a"},
        path_case{R"({"a": "5"})", {"a"}, 'i', "Can not find field <int>: a"},
        path_case{R"({"a": 1})", {"a"}, 'b', "Can not find field <bool>: a"},
        path_case{R"({"a": true})", {"a"}, 'b', ""},
        path_case{R"({"a": null})", {"a"}, 's', "Can not find field <string>: a"},
        path_case{R"({"b": "x"})", {"a"}, 's', "Can not find field <string>: a"},
        path_case{R"({"p": {}})", {"p", "q", "r"}, 's', "Can not find object <object>: p.q, path: p.q.r"},
        path_case{R"({})", {"p", "q", "r"}, 's', "Can not find object <object>: p, path: p.q.r"},
        path_case{R"({"p": {"q": {"r": 7}}})", {"p", "q", "r"}, 's', "Can not find field <string>: p.q.r"},
        path_case{R"({"p": {"q": {"r": "7"}}})", {"p", "q", "r"}, 's', ""},
        path_case{R"({"p": 3})", {"p", "q"}, 'i', "Can not find object <object>: p, path: p.q"},
        path_case{R"({"p": {"q": [1]}})", {"p", "q", "r"}, 'i', "Can not find object <object>: p.q, path: p.q.r"},
        path_case{R"({"p": {"q": -3}})", {"p", "q"}, 'i', ""},
        path_case{R"(7)", {"a"}, 'i', "Can not find field <int>: a"},
        path_case{R"("text")", {"p", "q"}, 'b', "Can not find object <object>: p, path: p.q"},
        path_case{R"({"P": {"q": true}})", {"p", "q"}, 'b', "Can not find object <object>: p, path: p.q"}));

TEST(get_by_path, returns_the_typed_values) {
  const auto document = load(R"({"s": {"name": "x", "n": -12, "flag": false}})");
  EXPECT_EQ(document->get_by_path<std::string>({"s", "name"}).value(), "x");
  EXPECT_EQ(document->get_by_path<int>({"s", "n"}).value(), -12);
  EXPECT_EQ(document->get_by_path<bool>({"s", "flag"}).value(), false);
  EXPECT_EQ(*document->get<const dictionary&>("s")->get<int>("n"), -12);
}

TEST(result, operator_plus_flattens_values_and_collects_reasons_in_order) {
  const result<int> one(1);
  const result<std::string> two(std::string("two"));
  const result<bool> three(true);
  const auto joined = one + two + three;
  static_assert(std::is_same_v<decltype(joined), const result<std::tuple<int, std::string, bool>>>);
  ASSERT_TRUE(joined.ok());
  EXPECT_EQ(joined.value(), std::make_tuple(1, std::string("two"), true));
  EXPECT_EQ(joined.reason(), "");

  const result<int> a(error_reason{"first"});
  const result<int> b(error_reason{"second"});
  const result<int> c(error_reason{"third"});
  EXPECT_EQ((a + b + c).reason(), "first\nsecond\nthird");
  EXPECT_EQ((a + one).reason(), "first");
  EXPECT_EQ((one + a + two).reason(), "first");
  EXPECT_FALSE((one + a).ok());
  EXPECT_FALSE((one + a).try_get());
  EXPECT_THROW((one + a).value(), boost::bad_optional_access);

  // A tuple value on the left is extended, never nested.
  const result<std::tuple<int, int>> pair(std::make_tuple(1, 2));
  static_assert(std::is_same_v<decltype(pair + one), result<std::tuple<int, int, int>>>);
}

TEST(config, keys_come_in_byte_order) {
  const auto document = load(R"({"b": 1, "a": 2, "B": 3})");
  EXPECT_THAT(document->get_root().get_keys(), ::testing::ElementsAre("B", "a", "b"));
}

TEST(config, values_never_coerce_between_kinds) {
  const auto document = load(R"({"i": 3, "d": 2.5, "s": "3", "b": true, "n": null, "o": {}, "a": []})");
  const auto& root = document->get_root();
  const auto& i = *root.get_value("i");
  EXPECT_EQ(*i.as_int(), 3);
  EXPECT_EQ(*i.as_double(), 3.0);
  EXPECT_FALSE(i.as_bool());
  EXPECT_FALSE(i.as_string());
  EXPECT_EQ(*root.get_value("d")->as_double(), 2.5);
  EXPECT_FALSE(root.get_value("d")->as_int());
  EXPECT_EQ(*root.get_value("s")->as_string(), "3");
  EXPECT_FALSE(root.get_value("s")->as_int());
  EXPECT_TRUE(*root.get_value("b")->as_bool());
  EXPECT_FALSE(root.get_value("b")->as_int());
  const auto& n = *root.get_value("n");
  EXPECT_FALSE(n.as_bool() || n.as_int() || n.as_double() || n.as_string() || n.as_object() || n.as_array());
  EXPECT_TRUE(root.get_value("o")->as_object());
  EXPECT_FALSE(root.get_value("o")->as_array());
  EXPECT_TRUE(root.get_value("a")->as_array());
  EXPECT_FALSE(root.get_value("a")->as_object());
  EXPECT_FALSE(root.get_value("missing"));
}

TEST(config, arrays_hold_objects_and_nested_arrays_in_order) {
  const auto document = load(R"({"list": [{"k": 1}, [2, 3], "x", {"k": 4}]})");
  const auto list = *document->get_root().get_value("list")->as_array();
  std::vector<const value*> elements;
  for (const value& element : list) {
    elements.push_back(&element);
  }
  ASSERT_EQ(elements.size(), 4u);
  EXPECT_EQ(*elements[0]->as_object()->get<int>("k"), 1);
  const auto nested = *elements[1]->as_array();
  std::vector<int> numbers;
  for (const value& element : nested) {
    numbers.push_back(*element.as_int());
  }
  EXPECT_THAT(numbers, ::testing::ElementsAre(2, 3));
  EXPECT_EQ(*elements[2]->as_string(), "x");
  EXPECT_EQ(*elements[3]->as_object()->get<int>("k"), 4);

  // Bidirectional: walk it backwards too.
  auto last = list.end();
  --last;
  EXPECT_EQ(*last->as_object()->get<int>("k"), 4);
}

TEST(config, comments_are_accepted) {
  const auto document = load("// head\n{ /* block */ \"a\": 1, // tail\n \"b\": \"x\" }\n");
  EXPECT_EQ(*document->get<int>("a"), 1);
  EXPECT_EQ(*document->get<std::string>("b"), "x");
}

TEST(config, unparsable_input_is_rejected_with_the_parser_report) {
  for (const std::string text : {"{\"a\": }", "", "{\"a\": 1", "not json"}) {
    try {
      load(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& error) {
      const std::string what = error.what();
      EXPECT_EQ(what.rfind("Cannot parse json: ", 0), 0u) << what;
      EXPECT_GT(what.size(), std::string("Cannot parse json: ").size()) << what;
    }
  }
}

TEST(config, integers_outside_int_range_raise_the_json_library_error) {
  const auto document = load(R"({"big": 3000000000, "huge": 18446744073709551615, "neg": -3000000000, "real": 1e12})");
  const auto message_of = [&](const char* _key) -> std::string {
    try {
      document->get<int>(_key);
    } catch (const Json::Exception& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(message_of("big"), "LargestInt out of Int range");
  EXPECT_EQ(message_of("huge"), "LargestUInt out of Int range");
  EXPECT_EQ(message_of("neg"), "LargestInt out of Int range");
  EXPECT_EQ(message_of("real"), "double out of Int range");
}

}  // namespace
}  // namespace kavo::libs::config
