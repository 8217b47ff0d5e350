#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "config.h"
#include "core/exception.h"

namespace kavo::svel {
namespace {

const char* const valid_document = R"({
  // comments are fine in the service's file
  "system": {
    "pidfile": "/run/svel.pid",
    "debug_endpoint": "tcp://127.0.0.1:5555",
    "system_notifications_endpoint": "tcp://127.0.0.1:5556",
    "binary_output_endpoint": "tcp://127.0.0.1:5557",
    "rest_api_server": {"url": "http://127.0.0.1:8080", "timeout": 30},
    "sqlite_db_file": "/var/lib/svel/svel.db"
  },
  "api_service": {
    "port": 8090,
    "authorization": true,
    "cpu_throttling": {"enabled": true, "upper_threshold": 80, "lower_threshold": 60}
  },
  "collection_settings": {
    "timeout_between_requests": 5,
    "timeout_between_parameter_requests": 120,
    "number_of_anchors_in_request": 40,
    "data_expiration_timeout": 7200,
    "history_size": 50,
    "maximum_distance": 30
  },
  "debug": {"logger_debug": true, "modify_server_state": false, "proc_stat_file": "/tmp/stat"}
})";

Json::Value parse(const std::string& _text) {
  Json::Value document;
  std::istringstream stream(_text);
  Json::CharReaderBuilder builder;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, stream, &document, &errors)) << errors;
  return document;
}

// A change to the valid document: set the dotted path to a JSON value, or
// remove it when the value is the text "<remove>".
struct edit {
  std::string path;
  std::string json;
};

std::string apply(const std::vector<edit>& _edits) {
  auto document = parse(valid_document);
  for (const auto& change : _edits) {
    Json::Value* node = &document;
    std::istringstream keys(change.path);
    std::vector<std::string> path;
    for (std::string key; std::getline(keys, key, '.');) {
      path.push_back(key);
    }
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      node = &(*node)[path[i]];
    }
    if (change.json == "<remove>") {
      node->removeMember(path.back());
    } else {
      (*node)[path.back()] = parse(change.json);
    }
  }
  return Json::writeString(Json::StreamWriterBuilder(), document);
}

std::string error_of(const std::string& _document) {
  std::istringstream stream(_document);
  try {
    config loaded(stream);
  } catch (const std::exception& error) {
    if (const auto* ours = dynamic_cast<const libs::core::exception*>(&error)) {
      return ours->get_string_error();
    }
    return error.what();
  }
  return "";
}

TEST(config, reads_every_key_of_a_valid_document) {
  std::istringstream stream(valid_document);
  const config loaded(stream);
  EXPECT_EQ(loaded.system.pidfile, "/run/svel.pid");
  EXPECT_EQ(loaded.system.debug_endpoint, "tcp://127.0.0.1:5555");
  EXPECT_EQ(loaded.system.system_notifications_endpoint, "tcp://127.0.0.1:5556");
  EXPECT_EQ(loaded.system.binary_output_endpoint, "tcp://127.0.0.1:5557");
  EXPECT_EQ(loaded.system.rest_api_server.url, "http://127.0.0.1:8080");
  EXPECT_EQ(loaded.system.rest_api_server.timeout, 30);
  EXPECT_EQ(loaded.system.sqlite_db_file, "/var/lib/svel/svel.db");
  EXPECT_EQ(loaded.api_service.port, 8090);
  EXPECT_TRUE(loaded.api_service.authorization);
  EXPECT_TRUE(loaded.api_service.cpu_throttling.enabled);
  EXPECT_EQ(loaded.api_service.cpu_throttling.upper_threshold, 80);
  EXPECT_EQ(loaded.api_service.cpu_throttling.lower_threshold, 60);
  EXPECT_TRUE(loaded.debug.logger_debug);
  EXPECT_FALSE(loaded.debug.modify_server_state);
  EXPECT_EQ(loaded.debug.proc_stat_file, "/tmp/stat");

  const auto& s = loaded.global_settings;
  EXPECT_EQ(s.get_number_of_requests(), 1u);
  EXPECT_EQ(s.get_timeout_waiting_for_response(), 1u);
  EXPECT_EQ(s.get_timeout_between_requests(), 5u);
  EXPECT_EQ(s.get_timeout_between_parameter_requests(), 120u);
  EXPECT_EQ(s.get_number_of_anchors_in_request(), 40u);
  EXPECT_EQ(s.get_data_expiration_timeout(), 7200u);
  EXPECT_EQ(s.get_history_size(), 50u);
  EXPECT_EQ(s.get_maximum_distance(), 30u);
}

TEST(config, optional_keys_default_when_missing_or_mistyped) {
  for (const auto& edits : std::vector<std::vector<edit>>{
           {{"debug", "<remove>"}},
           {{"debug", R"({"logger_debug": 1, "modify_server_state": "false", "proc_stat_file": 7})"}},
           {{"debug", "[]"}}}) {
    std::istringstream stream(apply(edits));
    const config loaded(stream);
    EXPECT_FALSE(loaded.debug.logger_debug);
    EXPECT_TRUE(loaded.debug.modify_server_state);
    EXPECT_EQ(loaded.debug.proc_stat_file, "/proc/stat");
  }
}

TEST(config, a_whole_number_written_as_real_is_accepted) {
  std::istringstream stream(apply({{"collection_settings.history_size", "5.0"}}));
  EXPECT_EQ(config(stream).global_settings.get_history_size(), 5u);
}

TEST(config, distance_zero_is_accepted) {
  std::istringstream stream(apply({{"collection_settings.maximum_distance", "0"}}));
  EXPECT_EQ(config(stream).global_settings.get_maximum_distance(), 0u);
}

const std::string invalid = "Config file is invalid: ";

struct failure_case {
  std::vector<edit> edits;
  std::string expected;
};

class config_failure_test : public ::testing::TestWithParam<failure_case> {};

TEST_P(config_failure_test, reports_the_exact_message) {
  EXPECT_EQ(error_of(apply(GetParam().edits)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    documents, config_failure_test,
    ::testing::Values(
        failure_case{{{"collection_settings", "<remove>"}},
                     invalid +
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.timeout_between_requests\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.timeout_between_parameter_requests\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.number_of_anchors_in_request\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.data_expiration_timeout\n"
                         "Can not find object <object>: collection_settings, path: collection_settings.history_size\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.maximum_distance"},
        failure_case{{{"system.pidfile", "<remove>"}, {"collection_settings", "<remove>"}},
                     invalid +
                         "Can not find field <string>: system.pidfile\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.timeout_between_requests\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.timeout_between_parameter_requests\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.number_of_anchors_in_request\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.data_expiration_timeout\n"
                         "Can not find object <object>: collection_settings, path: collection_settings.history_size\n"
                         "Can not find object <object>: collection_settings, path: "
                         "collection_settings.maximum_distance"},
        failure_case{{{"api_service.port", R"("8090")"}}, invalid + "Can not find field <int>: api_service.port"},
        failure_case{{{"system.rest_api_server", "<remove>"}, {"api_service.authorization", "1"}},
                     invalid +
                         "Can not find object <object>: system.rest_api_server, path: system.rest_api_server.url\n"
                         "Can not find object <object>: system.rest_api_server, path: "
                         "system.rest_api_server.timeout\n"
                         "Can not find field <bool>: api_service.authorization"},
        failure_case{{{"system.sqlite_db_file", "null"}, {"api_service.cpu_throttling.enabled", R"("yes")"}},
                     invalid + "Can not find field <string>: system.sqlite_db_file\n"
                               "Can not find field <bool>: api_service.cpu_throttling.enabled"},
        failure_case{{{"collection_settings.history_size", "5.5"}},
                     invalid + "Can not find field <int>: collection_settings.history_size"},
        failure_case{{{"api_service.cpu_throttling.upper_threshold", "80"},
                      {"api_service.cpu_throttling.lower_threshold", "80"}},
                     "api_service.cpu_throttling.upper_threshold must be more than "
                     "api_service.cpu_throttling.lower_threshold"},
        failure_case{{{"api_service.cpu_throttling.upper_threshold", "50"},
                      {"api_service.cpu_throttling.lower_threshold", "70"}},
                     "api_service.cpu_throttling.upper_threshold must be more than "
                     "api_service.cpu_throttling.lower_threshold"},
        failure_case{
            {{"api_service.cpu_throttling.upper_threshold", "0"}, {"api_service.cpu_throttling.lower_threshold", "0"}},
            "api_service.cpu_throttling.upper_threshold must be in range [1,99]"},
        failure_case{{{"api_service.cpu_throttling.upper_threshold", "100"}},
                     "api_service.cpu_throttling.upper_threshold must be in range [1,99]"},
        failure_case{{{"api_service.cpu_throttling.lower_threshold", "0"}},
                     "api_service.cpu_throttling.lower_threshold must be in range [1,99]"},
        // Range checks apply with throttling off too.
        failure_case{{{"api_service.cpu_throttling.enabled", "false"},
                      {"api_service.cpu_throttling.lower_threshold", "99"},
                      {"api_service.cpu_throttling.upper_threshold", "99"}},
                     "api_service.cpu_throttling.upper_threshold must be more than "
                     "api_service.cpu_throttling.lower_threshold"},
        failure_case{{{"collection_settings.maximum_distance", "-1"}},
                     "collection_settings.maximum_distance must be a positive number"},
        // The threshold checks come before the distance check.
        failure_case{
            {{"collection_settings.maximum_distance", "-1"}, {"api_service.cpu_throttling.lower_threshold", "100"}},
            "api_service.cpu_throttling.lower_threshold must be in range [1,99]"},
        failure_case{
            {{"collection_settings.timeout_between_requests", "0"}, {"collection_settings.history_size", "2000"}},
            "Settings error: timeout_between_requests must be in range [1,3600], "
            "history_size must be in range [1,1000]"},
        failure_case{{{"collection_settings.number_of_anchors_in_request", "256"}},
                     "Settings error: number_of_anchors_in_request must be in range [1,255]"},
        failure_case{{{"collection_settings.data_expiration_timeout", "-1"}},
                     "Settings error: data_expiration_timeout must be in range [1,2592000(30 days)]"},
        failure_case{{{"collection_settings.timeout_between_parameter_requests", "3601"},
                      {"collection_settings.data_expiration_timeout", "2592001"}},
                     "Settings error: timeout_between_parameter_requests must be in range [1,3600], "
                     "data_expiration_timeout must be in range [1,2592000(30 days)]"}));

TEST(config, unparsable_and_unreadable_input_fail_in_the_reader) {
  EXPECT_EQ(error_of("{\"system\": ").rfind("Cannot parse json: ", 0), 0u);
  std::ifstream missing("/nonexistent/svel.json");
  std::string message;
  try {
    config loaded(missing);
  } catch (const std::runtime_error& error) {
    message = error.what();
  }
  EXPECT_EQ(message.rfind("Cannot parse json: ", 0), 0u) << message;
}

TEST(config, errors_carry_the_location_that_raised_them) {
  std::istringstream stream(apply({{"api_service.port", "true"}}));
  try {
    config loaded(stream);
    FAIL();
  } catch (const libs::core::exception& error) {
    EXPECT_EQ(error.get_source_location().short_file(), "/src/config.cpp");
    EXPECT_EQ(std::string(error.what()), "/src/config.cpp:" + std::to_string(error.get_source_location().line()) + " " +
                                             invalid + "Can not find field <int>: api_service.port");
  }
}

struct settings_case {
  unsigned int values[8];
  std::string expected;
};

class settings_test : public ::testing::TestWithParam<settings_case> {};

TEST_P(settings_test, validates_all_fields_and_joins_the_failures) {
  const auto& v = GetParam().values;
  std::string message;
  try {
    const settings checked(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    EXPECT_EQ(checked.get_number_of_requests(), v[0]);
    EXPECT_EQ(checked.get_timeout_waiting_for_response(), v[1]);
    EXPECT_EQ(checked.get_timeout_between_requests(), v[2]);
    EXPECT_EQ(checked.get_timeout_between_parameter_requests(), v[3]);
    EXPECT_EQ(checked.get_number_of_anchors_in_request(), v[4]);
    EXPECT_EQ(checked.get_data_expiration_timeout(), v[5]);
    EXPECT_EQ(checked.get_history_size(), v[6]);
    EXPECT_EQ(checked.get_maximum_distance(), v[7]);
  } catch (const libs::core::exception& error) {
    message = error.get_string_error();
  }
  EXPECT_EQ(message, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    values, settings_test,
    ::testing::Values(
        settings_case{{1, 1, 1, 1, 1, 1, 1, 0}, ""},
        settings_case{{20, 60, 3600, 3600, 255, 2592000, 1000, 4294967295u}, ""},
        settings_case{{0, 0, 0, 0, 0, 0, 0, 0},
                      "Settings error: number_of_requests must be in range [1,20], "
                      "timeout_waiting_for_response must be in range [1,60], "
                      "timeout_between_requests must be in range [1,3600], "
                      "timeout_between_parameter_requests must be in range [1,3600], "
                      "number_of_anchors_in_request must be in range [1,255], "
                      "data_expiration_timeout must be in range [1,2592000(30 days)], "
                      "history_size must be in range [1,1000]"},
        settings_case{{21, 61, 3601, 3601, 256, 2592001, 1001, 7},
                      "Settings error: number_of_requests must be in range [1,20], "
                      "timeout_waiting_for_response must be in range [1,60], "
                      "timeout_between_requests must be in range [1,3600], "
                      "timeout_between_parameter_requests must be in range [1,3600], "
                      "number_of_anchors_in_request must be in range [1,255], "
                      "data_expiration_timeout must be in range [1,2592000(30 days)], "
                      "history_size must be in range [1,1000]"},
        settings_case{{4294967295u, 1, 1, 1, 1, 1, 1, 1}, "Settings error: number_of_requests must be in range [1,20]"},
        settings_case{{1, 1, 1, 1, 1, 1, 0, 1}, "Settings error: history_size must be in range [1,1000]"}));

TEST(settings, defaults_are_unchecked_values) {
  const settings defaults;
  EXPECT_EQ(defaults.get_number_of_requests(), 3u);
  EXPECT_EQ(defaults.get_timeout_waiting_for_response(), 1u);
  EXPECT_EQ(defaults.get_timeout_between_requests(), 10u);
  EXPECT_EQ(defaults.get_timeout_between_parameter_requests(), 60u);
  EXPECT_EQ(defaults.get_number_of_anchors_in_request(), 30u);
  EXPECT_EQ(defaults.get_data_expiration_timeout(), 3600u);
  EXPECT_EQ(defaults.get_history_size(), 200u);
  EXPECT_EQ(defaults.get_maximum_distance(), 100u);
}

TEST(settings, check_functions_answer_true_and_empty_or_false_and_message) {
  EXPECT_EQ(settings::check_range_history_size(1000), std::make_pair(true, std::string()));
  EXPECT_EQ(settings::check_range_history_size(1001),
            std::make_pair(false, std::string("history_size must be in range [1,1000]")));
  EXPECT_EQ(settings::check_range_maximum_distance(0), std::make_pair(true, std::string()));
  EXPECT_EQ(settings::check_range_number_of_anchors_in_request(max_number_of_anchors_in_request).first, true);
}

}  // namespace
}  // namespace kavo::svel
