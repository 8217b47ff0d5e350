#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "support/table_rows.h"
#include "temp_directory.h"
#include "core/logger.h"
#include "debug_receiver.h"
#include "internal_storage/history.h"
#include "internal_storage/internal_storage_impl.h"

namespace kavo::svel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

using anchor = internal_storage::anchor;
using area = internal_storage::area;
using measurement = internal_storage::measurement;
using id_pair = std::pair<int, int>;
using test_doubles::table_rows;
using u32 = boost::optional<std::uint32_t>;

const std::string storage_file = "/src/internal_storage/internal_storage_impl.cpp";
const std::string measurements_file = "/src/internal_storage/internal_storage_impl_measurements.cpp";
const std::string readonly_error = "std::exception::what(): attempt to write a readonly database";
const std::string same_anchor = "anchor_id_1 and anchor_id_1 are the same anchor";

// A logged line of the storage, "<file>:<line> <text>".
::testing::Matcher<std::string> located(const std::string& _file, const std::string& _text) {
  return ::testing::MatchesRegex(std::regex_replace(_file, std::regex("\\."), "\\.") + ":[0-9]+ " + _text);
}

// _lqi_ts empty: the pair has never been measured.
measurement pair_row(int _id_1, int _id_2, boost::optional<std::int64_t> _lqi_ts = boost::none, int _flags = 0,
                     std::uint32_t _req_count = 0, std::int64_t _req_ts = 0) {
  measurement row;
  row.anchor_id_1 = _id_1;
  row.anchor_id_2 = _id_2;
  row.temporary = (_flags & 1) != 0;
  row.includes_battery_anchor = (_flags & 2) != 0;
  row.req_counter = {_req_count, _req_ts};
  if (_lqi_ts) {
    row.adjusted_average_measurement = {std::uint8_t{90}, _lqi_ts};
  }
  return row;
}

std::vector<id_pair> pairs_of(const std::vector<measurement>& _measurements) {
  std::vector<id_pair> pairs;
  for (const auto& m : _measurements) {
    pairs.emplace_back(m.anchor_id_1, m.anchor_id_2);
  }
  return pairs;
}

template <typename Saved>
std::set<std::string> uids_of(const std::vector<Saved>& _anchors) {
  std::set<std::string> uids;
  for (const auto& a : _anchors) {
    uids.insert(a.body.anchor_uid);
  }
  return uids;
}

// Every test works on a real database file in its own temporary directory and
// sees the storage's log lines through the logger's debug endpoint.
class storage_test : public ::testing::Test {
 protected:
  void SetUp() override {
    m_log.connect(m_debug.endpoint());
    logged();
    open();
  }

  void TearDown() override {
    close();
  }

  void open(const std::string& _file = "svel.db") {
    close();
    open_database(_file);
    m_storage = std::make_unique<internal_storage_impl>(*m_database, m_log);
  }

  // The bare file, without the storage bringing it to its schema.
  void open_database(const std::string& _file = "svel.db") {
    m_database =
        std::make_unique<SQLite::Database>(m_directory.file(_file), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  }

  void close() {
    m_storage.reset();
    m_database.reset();
  }

  internal_storage& storage() { return *m_storage; }

  table_rows query(const std::string& _sql) { return test_doubles::query_rows(*m_database, _sql); }
  table_rows measurement_rows() { return test_doubles::measurement_rows(*m_database); }

  // All data rows, to show that an operation changed nothing.
  table_rows snapshot() {
    table_rows all;
    for (const char* sql : {"SELECT * FROM projects ORDER BY project_uid;", "SELECT * FROM areas ORDER BY area_uid;",
                            "SELECT * FROM anchors ORDER BY anchor_id;"}) {
      const auto rows = query(sql);
      all.insert(all.end(), rows.begin(), rows.end());
      all.push_back({"--"});
    }
    const auto rows = measurement_rows();
    all.insert(all.end(), rows.begin(), rows.end());
    return all;
  }

  // Lines logged since the last call, without their prefix and time.
  std::vector<std::string> logged() {
    const std::string marker = "end of lines " + std::to_string(++m_markers);
    m_log.debug("%1%") % marker;
    std::vector<std::string> lines;
    const bool arrived = m_debug.wait_for(
        [&](const std::string& _line) {
          return _line.size() >= marker.size() &&
                 _line.compare(_line.size() - marker.size(), marker.size(), marker) == 0;
        },
        lines);
    EXPECT_TRUE(arrived) << "the marker never reached the debug endpoint";
    if (arrived) {
      lines.pop_back();
    }
    static const std::regex prefix(R"(&svel_test:storage \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*))");
    std::vector<std::string> bodies;
    for (const auto& line : lines) {
      std::smatch match;
      if (std::regex_match(line, match, prefix)) {
        bodies.push_back(match[1]);
      } else {
        ADD_FAILURE() << "unexpected line on the debug endpoint: " << line;
      }
    }
    return bodies;
  }

  // Node ids (101, 102, ...) and MACs (...:11, ...:12, ...) follow the order of creation.
  int add_anchor(const std::string& _uid, const std::string& _project = "p", const std::string& _area = "area") {
    anchor body;
    body.anchor_uid = _uid;
    body.project_uid = _project;
    body.area_uid = _area;
    body.node_id = 100 + static_cast<std::uint32_t>(++m_anchors);
    body.mac = "00:00:00:00:00:" + std::to_string(10 + m_anchors);
    EXPECT_TRUE(storage().add_anchor(body)) << _uid;
    const auto saved = storage().get_anchor(_uid);
    return saved ? saved->id : 0;
  }

  // A project with an area, two anchors (ids 1 and 2) and their pair.
  void fill() {
    ASSERT_TRUE(storage().add_project("p"));
    ASSERT_TRUE(storage().add_area("area", "p"));
    ASSERT_EQ(add_anchor("x"), 1);
    ASSERT_EQ(add_anchor("y"), 2);
    ASSERT_TRUE(storage().add_measurement(pair_row(1, 2, 1700000000, 0, 2, 1700000100)));
  }

  libs::core::testing::temp_directory m_directory{"svel-storage"};
  libs::core::testing::debug_receiver m_debug;  // outlives the logger, which flushes into it when it closes
  libs::core::logger m_log{"svel_test", "storage"};
  std::unique_ptr<SQLite::Database> m_database;
  std::unique_ptr<internal_storage_impl> m_storage;
  int m_markers = 0;
  int m_anchors = 0;
};

// --- schema ---

class storage_schema : public storage_test {};

TEST_F(storage_schema, fresh_file_gets_version_4_and_the_data_tables) {
  EXPECT_EQ(query("SELECT key, value FROM module_metadata;"), (table_rows{{"schema_version", "4"}}));
  EXPECT_EQ(query("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name;"),
            (table_rows{{"anchors"}, {"areas"}, {"measurements"}, {"module_metadata"}, {"projects"}}));
  // One row per pair: the key is the two ids.
  EXPECT_EQ(query("SELECT name, pk FROM pragma_table_info('measurements') WHERE pk > 0 ORDER BY pk;"),
            (table_rows{{"anchor_id_1", "1"}, {"anchor_id_2", "2"}}));
  EXPECT_THAT(snapshot(), ElementsAre(ElementsAre("--"), ElementsAre("--"), ElementsAre("--")));
}

TEST_F(storage_schema, version_4_file_keeps_every_row_across_reopen) {
  fill();
  ASSERT_TRUE(storage().update_anchor_last_req_ts("x", 55));
  m_database->exec("INSERT INTO module_metadata (key, value) VALUES ('site', 'north');");
  const auto before = snapshot();
  close();

  open();
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(query("SELECT key, value FROM module_metadata ORDER BY key;"),
            (table_rows{{"schema_version", "4"}, {"site", "north"}}));
  EXPECT_EQ(add_anchor("z"), 3);
}

TEST_F(storage_schema, any_other_version_rebuilds_the_data_tables_but_keeps_the_metadata) {
  struct version_case {
    const char* description;
    const char* change;
  };
  const version_case cases[] = {
      {"no version row", "DELETE FROM module_metadata WHERE key = 'schema_version';"},
      {"version 3", "UPDATE module_metadata SET value = '3' WHERE key = 'schema_version';"},
      {"version 5", "UPDATE module_metadata SET value = '5' WHERE key = 'schema_version';"},
      {"non-numeric version", "UPDATE module_metadata SET value = 'four' WHERE key = 'schema_version';"},
      {"NULL version", "UPDATE module_metadata SET value = NULL WHERE key = 'schema_version';"},
  };
  int file = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const std::string name = "case" + std::to_string(++file) + ".db";
    open(name);
    fill();
    m_database->exec("INSERT INTO module_metadata (key, value) VALUES ('site', 'north');");
    m_database->exec(c.change);
    close();

    open(name);
    EXPECT_THAT(snapshot(), ElementsAre(ElementsAre("--"), ElementsAre("--"), ElementsAre("--")));
    EXPECT_EQ(query("SELECT key, value FROM module_metadata ORDER BY key;"),
              (table_rows{{"schema_version", "4"}, {"site", "north"}}));
    // The sequence went with the old table: ids start again from 1.
    EXPECT_EQ(add_anchor("fresh"), 1);
    close();
  }
}

TEST_F(storage_schema, rebuild_replaces_tables_of_an_older_layout) {
  close();
  open_database("old.db");
  m_database->exec(R"(
    CREATE TABLE module_metadata (key TEXT PRIMARY KEY, value TEXT);
    INSERT INTO module_metadata VALUES ('schema_version', '3');
    CREATE TABLE anchors (anchor_id INTEGER PRIMARY KEY, name TEXT);
    INSERT INTO anchors VALUES (7, 'old');
    CREATE TABLE measurements (a INTEGER, b INTEGER);
    INSERT INTO measurements VALUES (7, 8);
  )");
  m_database.reset();

  open("old.db");
  EXPECT_EQ(add_anchor("x"), 1);
  ASSERT_TRUE(storage().add_measurement(pair_row(1, 2)));
  EXPECT_EQ(storage().get_anchors_uids(), (std::set<std::string>{"x"}));
  EXPECT_THAT(pairs_of(storage().get_measurements({1})), ElementsAre(id_pair(2, 1)));
}

TEST_F(storage_schema, missing_anchors_table_is_created_and_the_rest_kept) {
  fill();
  m_database->exec("DROP TABLE anchors;");
  const auto projects = query("SELECT * FROM projects;");
  const auto areas = query("SELECT * FROM areas;");
  const auto measurements = measurement_rows();
  close();

  open();
  EXPECT_TRUE(storage().get_anchors_uids().empty());
  EXPECT_EQ(query("SELECT * FROM projects;"), projects);
  EXPECT_EQ(query("SELECT * FROM areas;"), areas);
  EXPECT_EQ(measurement_rows(), measurements);
  EXPECT_EQ(measurements.size(), 1u);
  EXPECT_GT(add_anchor("z"), 0);
}

// --- projects and areas ---

class storage_projects_and_areas : public storage_test {};

TEST_F(storage_projects_and_areas, adding_a_project_twice_keeps_one_row_and_its_time) {
  EXPECT_TRUE(storage().add_project("p"));
  EXPECT_TRUE(storage().update_project_last_req_ts("p", 77));
  EXPECT_TRUE(storage().add_project("p"));
  EXPECT_TRUE(storage().add_project("q"));

  const auto projects = storage().get_projects();
  ASSERT_EQ(projects.size(), 2u);
  for (const auto& project : projects) {
    EXPECT_EQ(project.last_req_ts, project.project_uid == "p" ? 77 : 0) << project.project_uid;
  }
  EXPECT_EQ(storage().get_projects_uids(), (std::set<std::string>{"p", "q"}));
  EXPECT_THAT(logged(), IsEmpty());

  EXPECT_TRUE(storage().delete_project("p"));
  EXPECT_FALSE(storage().delete_project("p"));
  EXPECT_EQ(storage().get_projects_uids(), (std::set<std::string>{"q"}));
}

TEST_F(storage_projects_and_areas, fresh_area_has_no_settings_of_its_own) {
  EXPECT_FALSE(storage().get_area("a"));
  ASSERT_TRUE(storage().add_area("a", "p"));

  const auto saved = storage().get_area("a");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->body.area_uid, "a");
  EXPECT_EQ(saved->body.project_uid, "p");
  EXPECT_EQ(saved->last_req_ts, 0);
  EXPECT_FALSE(saved->body.disabled);
  EXPECT_FALSE(saved->body.expiration_timeout);
  EXPECT_FALSE(saved->body.number_of_requests);
  EXPECT_FALSE(saved->body.timeout_waiting_for_response);
  EXPECT_FALSE(saved->body.timeout_between_requests);
  EXPECT_FALSE(saved->body.number_of_anchors_in_request);
  EXPECT_FALSE(saved->body.history_size);
}

TEST_F(storage_projects_and_areas, adding_an_area_twice_is_refused_and_logged) {
  ASSERT_TRUE(storage().add_area("a", "p"));
  ASSERT_TRUE(storage().update_area_last_req_ts("a", 12));
  EXPECT_FALSE(storage().add_area("a", "q"));
  EXPECT_THAT(logged(), ElementsAre(located(storage_file, "Caught exeption"),
                                    "std::exception::what(): UNIQUE constraint failed: areas.area_uid"));

  const auto saved = storage().get_area("a");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->body.project_uid, "p");
  EXPECT_EQ(saved->last_req_ts, 12);
}

TEST_F(storage_projects_and_areas, update_area_writes_every_setting_and_keeps_the_request_time) {
  ASSERT_TRUE(storage().add_area("a", "p"));
  ASSERT_TRUE(storage().update_area_last_req_ts("a", 900));
  ASSERT_TRUE(storage().update_area(area("a", "p", false, 11u, 12u, 13u, 14u, 15u, 4000000000u)));

  auto saved = storage().get_area("a");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->body.disabled, boost::optional<bool>(false));  // false is a value, not "unset"
  EXPECT_EQ(saved->body.expiration_timeout, u32(11u));
  EXPECT_EQ(saved->body.number_of_requests, u32(12u));
  EXPECT_EQ(saved->body.timeout_waiting_for_response, u32(13u));
  EXPECT_EQ(saved->body.timeout_between_requests, u32(14u));
  EXPECT_EQ(saved->body.number_of_anchors_in_request, u32(15u));
  EXPECT_EQ(saved->body.history_size, u32(4000000000u));
  EXPECT_EQ(saved->last_req_ts, 900);

  area partial("a", "p", boost::none, boost::none, boost::none, boost::none, boost::none, boost::none, 5u);
  ASSERT_TRUE(storage().update_area(partial));
  EXPECT_EQ(query("SELECT typeof(disabled), typeof(expiration_timeout), history_size FROM areas;"),
            (table_rows{{"null", "null", "5"}}));
  saved = storage().get_area("a");
  ASSERT_TRUE(saved);
  EXPECT_FALSE(saved->body.disabled);
  EXPECT_FALSE(saved->body.expiration_timeout);
  EXPECT_FALSE(saved->body.number_of_anchors_in_request);
  EXPECT_EQ(saved->body.history_size, u32(5u));
  EXPECT_EQ(saved->last_req_ts, 900);

  ASSERT_TRUE(storage().update_area(
      area("a", "p", true, boost::none, boost::none, boost::none, boost::none, boost::none, boost::none)));
  EXPECT_EQ(storage().get_area("a")->body.disabled, boost::optional<bool>(true));
}

TEST_F(storage_projects_and_areas, settings_are_read_only_from_integer_columns) {
  struct column_case {
    const char* stored;
    boost::optional<bool> disabled;
    u32 expiration_timeout;
  };
  const column_case cases[] = {
      {"NULL", boost::none, boost::none},
      {"0", false, 0u},
      {"7", true, 7u},
      {"'soon'", boost::none, boost::none},
      {"2.5", boost::none, boost::none},
      {"x'01'", boost::none, boost::none},
  };
  ASSERT_TRUE(storage().add_area("a", "p"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    m_database->exec(std::string("UPDATE areas SET disabled = ") + c.stored + ", expiration_timeout = " + c.stored +
                     ";");
    const auto saved = storage().get_area("a");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->body.disabled, c.disabled);
    EXPECT_EQ(saved->body.expiration_timeout, c.expiration_timeout);
  }
}

TEST_F(storage_projects_and_areas, areas_are_listed_by_project_and_deleted_by_uid) {
  ASSERT_TRUE(storage().add_area("a1", "p"));
  ASSERT_TRUE(storage().add_area("a2", "p"));
  ASSERT_TRUE(storage().add_area("b1", "q"));
  ASSERT_TRUE(storage().update_area_last_req_ts("a2", 5));

  const std::string p = "p";
  const auto of_p = storage().get_areas(p);
  ASSERT_EQ(of_p.size(), 2u);
  for (const auto& saved : of_p) {
    EXPECT_EQ(saved.body.project_uid, "p");
    EXPECT_EQ(saved.last_req_ts, saved.body.area_uid == "a2" ? 5 : 0);
  }
  EXPECT_EQ(storage().get_areas(boost::none).size(), 3u);
  const std::string none = "none";
  EXPECT_THAT(storage().get_areas(none), IsEmpty());

  EXPECT_TRUE(storage().delete_area("a1"));
  EXPECT_FALSE(storage().delete_area("a1"));
  EXPECT_EQ(storage().get_areas_uids(), (std::set<std::string>{"a2", "b1"}));
}

// --- anchors ---

class storage_anchors : public storage_test {
 protected:
  static anchor full_anchor() {
    anchor body;
    body.anchor_uid = "anchor-1";
    body.project_uid = "p";
    body.mac = "0a:1b:2c:3d:4e:5f";
    body.node_id = 4000000000u;
    body.area_uid = "area";
    body.x = -123456789012;
    body.y = 42;
    body.z = 3000;
    body.battery = true;
    return body;
  }

  static void expect_body(const internal_storage::saved_anchor& _saved, const anchor& _expected) {
    EXPECT_EQ(_saved.body.anchor_uid, _expected.anchor_uid);
    EXPECT_EQ(_saved.body.project_uid, _expected.project_uid);
    EXPECT_EQ(_saved.body.mac, _expected.mac);
    EXPECT_EQ(_saved.body.node_id, _expected.node_id);
    EXPECT_EQ(_saved.body.area_uid, _expected.area_uid);
    EXPECT_EQ(_saved.body.x, _expected.x);
    EXPECT_EQ(_saved.body.y, _expected.y);
    EXPECT_EQ(_saved.body.z, _expected.z);
    EXPECT_EQ(_saved.body.battery, _expected.battery);
  }
};

TEST_F(storage_anchors, every_lookup_returns_the_whole_anchor) {
  const auto body = full_anchor();
  ASSERT_TRUE(storage().add_anchor(body));

  const std::vector<std::pair<const char*, boost::optional<internal_storage::saved_anchor>>> lookups = {
      {"by uid", storage().get_anchor(body.anchor_uid)},
      {"by id", storage().get_anchor(1u)},
      {"by node id", storage().get_anchor_by_node_id(body.node_id)},
      {"by mac", storage().get_anchor_by_mac(body.mac)},
  };
  for (const auto& [how, saved] : lookups) {
    SCOPED_TRACE(how);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->id, 1);
    EXPECT_EQ(saved->last_req_ts, 0);
    EXPECT_EQ(saved->last_param_req_ts, 0);
    EXPECT_FALSE(saved->parameter_requested);
    expect_body(*saved, body);
  }
  EXPECT_FALSE(storage().get_anchor("other"));
  EXPECT_FALSE(storage().get_anchor(2u));
  EXPECT_FALSE(storage().get_anchor_by_node_id(7));
  EXPECT_EQ(storage().get_anchors_uids(), (std::set<std::string>{"anchor-1"}));
  EXPECT_EQ(storage().get_anchors_ids("p"), (std::set<int>{1}));
  EXPECT_TRUE(storage().get_anchors_ids("q").empty());
}

TEST_F(storage_anchors, macs_are_compared_as_stored) {
  const auto body = full_anchor();
  ASSERT_TRUE(storage().add_anchor(body));
  EXPECT_FALSE(storage().get_anchor_by_mac("0A:1B:2C:3D:4E:5F"));
  EXPECT_TRUE(storage().get_anchor_by_mac("0a:1b:2c:3d:4e:5f"));
}

TEST_F(storage_anchors, shared_node_id_finds_the_lowest_anchor_id) {
  auto body = full_anchor();
  for (const char* uid : {"first", "second", "third"}) {
    body.anchor_uid = uid;
    ASSERT_TRUE(storage().add_anchor(body));
  }
  // The first one's row moves last in the file's physical order, not in id order.
  ASSERT_TRUE(storage().delete_anchor("first"));
  body.anchor_uid = "fourth";
  ASSERT_TRUE(storage().add_anchor(body));

  const auto found = storage().get_anchor_by_node_id(body.node_id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, 2);
  EXPECT_EQ(found->body.anchor_uid, "second");
}

TEST_F(storage_anchors, duplicate_uid_is_refused_and_logged) {
  auto body = full_anchor();
  ASSERT_TRUE(storage().add_anchor(body));
  body.mac = "ff:ff:ff:ff:ff:ff";
  EXPECT_FALSE(storage().add_anchor(body));
  EXPECT_THAT(logged(), ElementsAre(located(storage_file, "Caught exeption"),
                                    "std::exception::what(): UNIQUE constraint failed: anchors.anchor_uid"));
  EXPECT_EQ(storage().get_anchor("anchor-1")->body.mac, "0a:1b:2c:3d:4e:5f");
  EXPECT_EQ(storage().get_anchors_ids("p"), (std::set<int>{1}));
}

TEST_F(storage_anchors, update_replaces_the_body_and_keeps_the_request_state) {
  auto body = full_anchor();
  EXPECT_FALSE(storage().update_anchor(body));
  EXPECT_TRUE(storage().get_anchors_uids().empty());

  ASSERT_TRUE(storage().add_anchor(body));
  ASSERT_TRUE(storage().update_anchor_last_req_ts(body.anchor_uid, 1700000001));
  ASSERT_TRUE(storage().update_anchor_last_param_req_ts(body.anchor_uid, 1700000002));
  ASSERT_TRUE(storage().update_anchor_parameter_requested(body.anchor_uid, true));

  body.project_uid = "q";
  body.mac = "11:22:33:44:55:66";
  body.node_id = 9;
  body.area_uid = "other";
  body.x = 1;
  body.y = -2;
  body.z = 3;
  body.battery = false;
  EXPECT_TRUE(storage().update_anchor(body));

  const auto saved = storage().get_anchor(body.anchor_uid);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->id, 1);
  EXPECT_EQ(saved->last_req_ts, 1700000001);
  EXPECT_EQ(saved->last_param_req_ts, 1700000002);
  EXPECT_TRUE(saved->parameter_requested);
  expect_body(*saved, body);

  ASSERT_TRUE(storage().update_anchor_parameter_requested(body.anchor_uid, false));
  EXPECT_FALSE(storage().get_anchor(1u)->parameter_requested);
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(storage_anchors, get_anchors_filters_by_project_area_and_uids) {
  add_anchor("a", "p", "x");
  add_anchor("b", "p", "y");
  add_anchor("c", "p", "x");
  add_anchor("d", "q", "x");

  struct filter_case {
    const char* description;
    std::string project;
    std::set<std::string> uids;
    boost::optional<std::string> area;
    std::set<std::string> expected;
  };
  const filter_case cases[] = {
      {"whole project", "p", {}, boost::none, {"a", "b", "c"}},
      {"one area", "p", {}, std::string("x"), {"a", "c"}},
      {"chosen uids", "p", {"b", "a"}, boost::none, {"a", "b"}},
      {"chosen uids of one area", "p", {"b", "a"}, std::string("x"), {"a"}},
      {"uid of another project", "p", {"d"}, boost::none, {}},
      {"unknown uid", "p", {"zzz"}, boost::none, {}},
      {"project without anchors", "r", {}, boost::none, {}},
      {"other project", "q", {}, boost::none, {"d"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const auto found = c.area ? storage().get_anchors(c.project, c.uids, *c.area)
                              : storage().get_anchors(c.project, c.uids, boost::none);
    EXPECT_EQ(uids_of(found), c.expected);
    EXPECT_EQ(found.size(), c.expected.size());
  }

  const auto b = storage().get_anchors("p", {"b"}, boost::none);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].id, 2);
  EXPECT_EQ(b[0].body.area_uid, "y");
  EXPECT_EQ(b[0].body.node_id, 102u);
}

TEST_F(storage_anchors, most_unrequested_anchor_is_the_first_with_the_oldest_request) {
  EXPECT_FALSE(storage().get_most_unrequested_anchor("p"));

  add_anchor("a", "p");
  add_anchor("b", "p");
  add_anchor("c", "p");
  add_anchor("other", "q");
  ASSERT_TRUE(storage().update_anchor_last_req_ts("a", 30));
  ASSERT_TRUE(storage().update_anchor_last_req_ts("b", 10));
  ASSERT_TRUE(storage().update_anchor_last_req_ts("c", 10));
  ASSERT_TRUE(storage().update_anchor_last_param_req_ts("b", 77));
  ASSERT_TRUE(storage().update_anchor_parameter_requested("b", true));

  const auto found = storage().get_most_unrequested_anchor("p");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, 2);
  EXPECT_EQ(found->last_req_ts, 10);
  // Every column comes from that one row.
  EXPECT_EQ(found->body.anchor_uid, "b");
  EXPECT_EQ(found->body.node_id, 102u);
  EXPECT_EQ(found->last_param_req_ts, 77);
  EXPECT_TRUE(found->parameter_requested);

  EXPECT_FALSE(storage().get_most_unrequested_anchor("r"));
  EXPECT_EQ(storage().get_most_unrequested_anchor("q")->body.anchor_uid, "other");
}

TEST_F(storage_anchors, ids_of_deleted_anchors_are_never_reused) {
  // Measurements outlive their anchors, so a reused id would adopt a stranger's pairs.
  EXPECT_EQ(add_anchor("a"), 1);
  EXPECT_EQ(add_anchor("b"), 2);
  ASSERT_TRUE(storage().delete_anchor("b"));
  EXPECT_EQ(add_anchor("c"), 3);
  close();
  open();
  ASSERT_TRUE(storage().delete_anchor("c"));
  EXPECT_EQ(add_anchor("d"), 4);
}

TEST_F(storage_anchors, deletes_never_cascade) {
  fill();
  EXPECT_FALSE(storage().delete_anchor("unknown"));
  EXPECT_TRUE(storage().delete_anchor("x"));
  EXPECT_FALSE(storage().delete_anchor("x"));
  EXPECT_FALSE(storage().get_anchor("x"));
  EXPECT_TRUE(storage().get_measurement(1, 2));

  EXPECT_TRUE(storage().delete_area("area"));
  EXPECT_TRUE(storage().delete_project("p"));
  EXPECT_TRUE(storage().get_anchor("y"));
  EXPECT_EQ(storage().get_measurements({1, 2}).size(), 1u);
}

// --- measurements ---

class storage_measurements : public storage_test {};

TEST_F(storage_measurements, pair_is_kept_with_the_larger_id_first) {
  ASSERT_TRUE(storage().add_measurement(pair_row(3, 7, 1700000000, 0, 1, 1700000050)));
  EXPECT_EQ(query("SELECT anchor_id_1, anchor_id_2 FROM measurements;"), (table_rows{{"7", "3"}}));

  for (const auto& [id_1, id_2] : {id_pair(3, 7), id_pair(7, 3)}) {
    const auto found = storage().get_measurement(id_1, id_2);
    ASSERT_TRUE(found) << id_1 << "," << id_2;
    EXPECT_EQ(found->anchor_id_1, 7);
    EXPECT_EQ(found->anchor_id_2, 3);
    EXPECT_EQ(found->req_counter.value, 1u);
  }

  // Either order addresses the same row for every write.
  ASSERT_TRUE(storage().update_measurement_req_counter(3, 7, {4, 1700000060}));
  ASSERT_TRUE(storage().update_measurement(pair_row(3, 7, 1700000070, 0, 5, 1700000080)));
  EXPECT_EQ(query("SELECT anchor_id_1, anchor_id_2, req_count, timestamp FROM measurements;"),
            (table_rows{{"7", "3", "5", "1700000070"}}));
  EXPECT_TRUE(storage().delete_measurement(3, 7));
  EXPECT_FALSE(storage().get_measurement(7, 3));
}

TEST_F(storage_measurements, history_and_adjusted_average_round_trip) {
  std::vector<std::uint8_t> data;
  history entries(data);
  entries.push_back({200u, 1700000000});
  entries.push_back({boost::none, 1700000010});
  entries.push_back({3u, 1700000020});
  const auto average = entries.get_adjusted_average_lqi();
  ASSERT_TRUE(average);

  const measurement stored(9, 4, false, true, {4000000000u, 1700000030}, data,
                           {static_cast<std::uint8_t>(*average), std::int64_t{1700000020}});
  ASSERT_TRUE(storage().add_measurement(stored));

  auto found = storage().get_measurement(4, 9);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->data, data);
  EXPECT_EQ(found->adjusted_average_measurement.lqi, stored.adjusted_average_measurement.lqi);
  EXPECT_EQ(found->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(1700000020));
  EXPECT_EQ(found->req_counter.value, 4000000000u);
  EXPECT_EQ(found->req_counter.timestamp, 1700000030);
  EXPECT_FALSE(found->temporary);
  EXPECT_TRUE(found->includes_battery_anchor);

  // A report: one more entry, the average recomputed, the whole record written back.
  history view(found->data);
  view.push_back({255u, std::uint64_t{1} << 40});
  found->adjusted_average_measurement = {static_cast<std::uint8_t>(*view.get_adjusted_average_lqi()),
                                         std::int64_t{1} << 40};
  found->req_counter = {0, 0};
  ASSERT_TRUE(storage().update_measurement(*found));

  const auto updated = storage().get_measurement(9, 4);
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->data.size(), 4 * history::entry_size);
  auto bytes = updated->data;
  const history reread(bytes);
  ASSERT_TRUE(reread[3]);
  EXPECT_EQ(reread[3]->lqi, u32(255u));
  EXPECT_EQ(reread[3]->ts, std::uint64_t{1} << 40);
  EXPECT_FALSE(reread[1]->lqi);
  EXPECT_EQ(updated->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(std::int64_t{1} << 40));
  EXPECT_EQ(updated->req_counter.value, 0u);
  EXPECT_TRUE(updated->includes_battery_anchor);
}

TEST_F(storage_measurements, lqi_keeps_the_whole_byte) {
  for (const int lqi : {0, 1, 127, 128, 255}) {
    SCOPED_TRACE(lqi);
    const measurement stored(2, 1, false, false, {}, {}, {static_cast<std::uint8_t>(lqi), std::int64_t{5}});
    ASSERT_TRUE(storage().add_measurement(stored));
    EXPECT_EQ(query("SELECT lqi FROM measurements;"), (table_rows{{std::to_string(lqi)}}));
    EXPECT_EQ(storage().get_measurement(1, 2)->adjusted_average_measurement.lqi,
              boost::optional<std::uint8_t>(static_cast<std::uint8_t>(lqi)));
    ASSERT_TRUE(storage().delete_measurement(1, 2));
  }
}

TEST_F(storage_measurements, unmeasured_pair_is_stored_as_null) {
  ASSERT_TRUE(storage().add_measurement(pair_row(1, 2)));
  EXPECT_EQ(query("SELECT typeof(data), typeof(lqi), typeof(timestamp) FROM measurements;"),
            (table_rows{{"null", "null", "null"}}));
  const auto found = storage().get_measurement(1, 2);
  ASSERT_TRUE(found);
  EXPECT_THAT(found->data, IsEmpty());
  EXPECT_FALSE(found->adjusted_average_measurement.lqi);
  EXPECT_FALSE(found->adjusted_average_measurement.timestamp);
}

TEST_F(storage_measurements, flags_hold_temporary_and_battery_bits) {
  struct flags_case {
    bool temporary;
    bool battery;
    const char* flags;
  };
  const flags_case cases[] = {{false, false, "0"}, {true, false, "1"}, {false, true, "2"}, {true, true, "3"}};
  int partner = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    ++partner;
    ASSERT_TRUE(storage().add_measurement(measurement(1, partner, c.temporary, c.battery, {}, {}, {})));
    EXPECT_EQ(query("SELECT flags FROM measurements WHERE anchor_id_1 = " + std::to_string(partner) + ";"),
              (table_rows{{c.flags}}));
    const auto found = storage().get_measurement(1, partner);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->temporary, c.temporary);
    EXPECT_EQ(found->includes_battery_anchor, c.battery);
  }

  EXPECT_THAT(pairs_of(storage().get_temporary_measurements()),
              UnorderedElementsAreArray({id_pair(3, 1), id_pair(5, 1)}));
  for (const bool battery : {false, true}) {
    EXPECT_THAT(pairs_of(storage().get_most_unrequested_measurements(1, 1 << 30, 1 << 30, 30, battery)),
                ElementsAre(battery ? id_pair(4, 1) : id_pair(2, 1)));
  }
}

TEST_F(storage_measurements, adding_a_pair_twice_is_refused_and_logged) {
  ASSERT_TRUE(storage().add_measurement(pair_row(1, 2, 100, 0, 3, 200)));
  const auto before = measurement_rows();
  for (const auto& [id_1, id_2] : {id_pair(1, 2), id_pair(2, 1)}) {
    EXPECT_FALSE(storage().add_measurement(pair_row(id_1, id_2, 999, 3, 9, 999)));
    EXPECT_THAT(logged(), ElementsAre(located(measurements_file, "Caught exeption"),
                                      "std::exception::what(): UNIQUE constraint failed: measurements.anchor_id_1, "
                                      "measurements.anchor_id_2"));
  }
  EXPECT_EQ(measurement_rows(), before);
}

TEST_F(storage_measurements, equal_ids_are_refused_before_touching_the_table) {
  // A row the guard must keep every operation away from.
  m_database->exec("INSERT INTO measurements (anchor_id_1, anchor_id_2, req_count) VALUES (5, 5, 9);");
  const auto before = measurement_rows();

  struct guard_case {
    const char* operation;
    std::function<bool(internal_storage&)> run;
  };
  const guard_case cases[] = {
      {"add_measurement", [](internal_storage& s) { return s.add_measurement(pair_row(5, 5)); }},
      {"update_measurement", [](internal_storage& s) { return s.update_measurement(pair_row(5, 5, 1, 3, 1, 1)); }},
      {"update_measurement_req_counter",
       [](internal_storage& s) {
         return s.update_measurement_req_counter(5, 5, {1, 1});
       }},
      {"get_measurement", [](internal_storage& s) { return bool(s.get_measurement(5, 5)); }},
      {"delete_measurement", [](internal_storage& s) { return s.delete_measurement(5, 5); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_FALSE(c.run(storage()));
    EXPECT_THAT(logged(), ElementsAre(located(measurements_file, same_anchor)));
    EXPECT_EQ(measurement_rows(), before);
  }
}

TEST_F(storage_measurements, clearing_forgets_the_values_of_every_pair_of_the_anchor) {
  std::vector<std::uint8_t> data;
  history(data).push_back({80u, 1000});
  const auto measured = [&](int _id_1, int _id_2, bool _temporary) {
    return measurement(_id_1, _id_2, _temporary, true, {6, 1500}, data, {std::uint8_t{80}, std::int64_t{1000}});
  };
  ASSERT_TRUE(storage().add_measurement(measured(2, 1, false)));
  ASSERT_TRUE(storage().add_measurement(measured(3, 2, true)));
  ASSERT_TRUE(storage().add_measurement(measured(3, 1, false)));

  EXPECT_FALSE(storage().clear_measurements(4));
  EXPECT_TRUE(storage().clear_measurements(2));
  EXPECT_EQ(measurement_rows(), (table_rows{
                                    {"2", "1", "NULL", "NULL", "NULL", "2", "0", "0"},
                                    {"3", "1", "X'5001000000000003E8'", "80", "1000", "2", "6", "1500"},
                                    {"3", "2", "NULL", "NULL", "NULL", "3", "0", "0"},
                                }));
}

TEST_F(storage_measurements, deleting_by_anchor_takes_its_pairs_on_either_side) {
  for (const auto& [id_1, id_2] : {id_pair(2, 1), id_pair(3, 2), id_pair(3, 1), id_pair(4, 3)}) {
    ASSERT_TRUE(storage().add_measurement(pair_row(id_1, id_2)));
  }
  EXPECT_FALSE(storage().delete_measurements(5));
  EXPECT_TRUE(storage().delete_measurements(2));
  EXPECT_FALSE(storage().delete_measurements(2));
  EXPECT_EQ(query("SELECT anchor_id_1, anchor_id_2 FROM measurements ORDER BY 1, 2;"),
            (table_rows{{"3", "1"}, {"4", "3"}}));
  EXPECT_FALSE(storage().delete_measurement(2, 1));
  EXPECT_TRUE(storage().delete_measurement(1, 3));
}

TEST_F(storage_measurements, get_measurements_takes_pairs_with_any_of_the_ids) {
  for (const auto& [id_1, id_2] : {id_pair(2, 1), id_pair(5, 3), id_pair(4, 3), id_pair(6, 2), id_pair(5, 2)}) {
    ASSERT_TRUE(storage().add_measurement(pair_row(id_1, id_2)));
  }
  EXPECT_THAT(storage().get_measurements({}), IsEmpty());
  EXPECT_THAT(pairs_of(storage().get_measurements({2, 5})),
              UnorderedElementsAreArray({id_pair(2, 1), id_pair(5, 3), id_pair(6, 2), id_pair(5, 2)}));
  EXPECT_THAT(pairs_of(storage().get_measurements({3})), UnorderedElementsAreArray({id_pair(5, 3), id_pair(4, 3)}));
  EXPECT_THAT(storage().get_measurements({7}), IsEmpty());
}

TEST_F(storage_measurements, extended_measurements_name_both_anchors) {
  for (const char* uid : {"a", "b", "c", "d"}) {
    add_anchor(uid);
  }
  const measurement measured(1, 4, false, false, {}, {1, 2, 3}, {std::uint8_t{77}, std::int64_t{1700000000}});
  ASSERT_TRUE(storage().add_measurement(measured));
  for (const auto& [id_1, id_2] : {id_pair(3, 1), id_pair(4, 3), id_pair(2, 1), id_pair(3, 2)}) {
    ASSERT_TRUE(storage().add_measurement(pair_row(id_1, id_2)));
  }
  // Pairs with a missing anchor on either side drop out.
  ASSERT_TRUE(storage().delete_anchor("b"));

  const auto named = [&](const std::vector<int>& _ids) {
    std::vector<std::pair<std::string, std::string>> uids;
    for (const auto& m : storage().get_extended_measurements(_ids)) {
      uids.emplace_back(m.anchor_1.uid, m.anchor_2.uid);
    }
    return uids;
  };
  using uid_pair = std::pair<std::string, std::string>;
  EXPECT_THAT(named({1}), UnorderedElementsAreArray({uid_pair("d", "a"), uid_pair("c", "a")}));
  EXPECT_THAT(named({3}), UnorderedElementsAreArray({uid_pair("c", "a"), uid_pair("d", "c")}));
  const std::vector<uid_pair> one_and_four = {{"d", "a"}, {"c", "a"}, {"d", "c"}};
  EXPECT_THAT(named({1, 4}), UnorderedElementsAreArray(one_and_four));
  EXPECT_THAT(named({4, 1}), UnorderedElementsAreArray(one_and_four));
  EXPECT_THAT(named({2}), IsEmpty());
  EXPECT_THAT(named({}), IsEmpty());

  const auto found = storage().get_extended_measurements({4});
  const auto full = std::find_if(found.begin(), found.end(), [](const auto& m) { return m.anchor_2.uid == "a"; });
  ASSERT_NE(full, found.end());
  EXPECT_EQ(full->anchor_1.uid, "d");
  EXPECT_EQ(full->anchor_1.mac, "00:00:00:00:00:14");
  EXPECT_EQ(full->anchor_1.node_id, 104u);
  EXPECT_EQ(full->anchor_2.mac, "00:00:00:00:00:11");
  EXPECT_EQ(full->anchor_2.node_id, 101u);
  EXPECT_EQ(full->data, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(full->adjusted_average_measurement.lqi, boost::optional<std::uint8_t>(77));
  EXPECT_EQ(full->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(1700000000));
}

// --- scheduling queries ---

class storage_queries : public storage_test {};

TEST_F(storage_queries, due_pairs_of_an_anchor) {
  // Pairs of anchor 5 on both sides, with distinct request times so the order is defined.
  const measurement rows[] = {
      pair_row(5, 1, boost::none, 0, 0, 50),  // never measured
      pair_row(5, 2, 100, 0, 0, 10),          // due
      pair_row(8, 5, 300, 0, 0, 20),          // measured recently
      pair_row(9, 5, 100, 2, 0, 5),           // battery
      pair_row(6, 5, boost::none, 1, 0, 0),   // temporary
      pair_row(7, 5, 100, 3, 0, 1),           // temporary, battery
      pair_row(5, 3, 150, 0, 0, 400),         // requested recently
      pair_row(4, 3, boost::none, 0, 0, 0),   // not anchor 5's
      pair_row(10, 5, 200, 0, 0, 30),         // measured at the limit
      pair_row(5, 4, 100, 0, 0, 300),         // requested at the limit
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(storage().add_measurement(row));
  }

  struct due_case {
    const char* description;
    std::int64_t max_lqi_timestamp;
    std::int64_t max_req_timestamp;
    unsigned limit;
    bool battery;
    std::vector<id_pair> expected;  // in order
  };
  const due_case cases[] = {
      {"due, least recently requested first", 200, 300, 30, false, {{5, 2}, {10, 5}, {5, 1}, {5, 4}}},
      {"limit keeps the head", 200, 300, 2, false, {{5, 2}, {10, 5}}},
      {"limit 0", 200, 300, 0, false, {}},
      {"battery pairs only", 200, 300, 30, true, {{9, 5}}},
      {"never measured qualifies for any time", -1, 1000, 30, false, {{5, 1}}},
      {"request time limit is inclusive", 1000, 20, 30, false, {{5, 2}, {8, 5}}},
      {"requested after the limit", 1000, 9, 30, false, {}},
      {"everything but temporary", 1000, 1000, 30, false, {{5, 2}, {8, 5}, {10, 5}, {5, 1}, {5, 4}, {5, 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const auto due =
        storage().get_most_unrequested_measurements(5, c.max_lqi_timestamp, c.max_req_timestamp, c.limit, c.battery);
    EXPECT_THAT(pairs_of(due), ElementsAreArray(c.expected));
    for (const auto& m : due) {
      EXPECT_FALSE(m.temporary);
      EXPECT_EQ(m.includes_battery_anchor, c.battery);
    }
  }
  EXPECT_THAT(storage().get_most_unrequested_measurements(11, 1000, 1000, 30, false), IsEmpty());
}

TEST_F(storage_queries, overripe_pairs_of_a_project) {
  for (const char* uid : {"a1", "a2", "a3", "a4"}) {
    add_anchor(uid, "p");
  }
  for (const char* uid : {"b5", "b6"}) {
    add_anchor(uid, "q");
  }
  const measurement rows[] = {
      pair_row(2, 1, 100, 0, 3, 100),  // requested 3 times, last at 100
      pair_row(3, 1, 100, 0, 5, 200),  // 5 times, at 200
      pair_row(4, 2, 100, 0, 2, 50),   // 2 times
      pair_row(5, 1, 100, 0, 9, 10),   // the larger id is q's
      pair_row(6, 5, 100, 0, 4, 100),  // q's
      pair_row(4, 3, 100, 0, 3, 300),  // 3 times, at 300
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(storage().add_measurement(row));
  }

  struct overripe_case {
    const char* description;
    std::string project;
    std::int64_t max_timestamp;
    unsigned max_counter;
    std::vector<id_pair> expected;
  };
  const overripe_case cases[] = {
      {"limits are inclusive", "p", 200, 3, {{2, 1}, {3, 1}}},
      {"by the larger id's project", "q", 200, 3, {{5, 1}, {6, 5}}},
      {"no counter limit", "p", 1000, 0, {{2, 1}, {3, 1}, {4, 2}, {4, 3}}},
      {"requested too recently", "p", 99, 3, {}},
      {"counter too high", "p", 1000, 6, {}},
      {"unknown project", "r", 1000, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_THAT(pairs_of(storage().get_overripe_measurements(c.project, c.max_timestamp, c.max_counter)),
                UnorderedElementsAreArray(c.expected));
  }
}

// --- failures ---

class storage_failures : public storage_test {};

TEST_F(storage_failures, guarded_writes_log_a_failed_execution_and_answer_false) {
  fill();
  m_database->exec("PRAGMA query_only = ON;");

  struct guarded_case {
    const char* operation;
    const std::string& file;
    std::function<bool(internal_storage&)> write;
  };
  const guarded_case cases[] = {
      {"add_project", storage_file, [](internal_storage& s) { return s.add_project("q"); }},
      {"update_project_last_req_ts", storage_file,
       [](internal_storage& s) { return s.update_project_last_req_ts("p", 5); }},
      {"add_area", storage_file, [](internal_storage& s) { return s.add_area("b", "p"); }},
      {"update_area", storage_file,
       [](internal_storage& s) { return s.update_area(area("area", "p", true, 1u, 2u, 3u, 4u, 5u, 6u)); }},
      {"update_area_last_req_ts", storage_file,
       [](internal_storage& s) { return s.update_area_last_req_ts("area", 5); }},
      {"add_anchor", storage_file,
       [](internal_storage& s) {
         anchor body;
         body.anchor_uid = "z";
         return s.add_anchor(body);
       }},
      {"update_anchor_last_req_ts", storage_file,
       [](internal_storage& s) { return s.update_anchor_last_req_ts("x", 5); }},
      {"update_anchor_last_param_req_ts", storage_file,
       [](internal_storage& s) { return s.update_anchor_last_param_req_ts("x", 5); }},
      {"update_anchor_parameter_requested", storage_file,
       [](internal_storage& s) { return s.update_anchor_parameter_requested("x", true); }},
      {"add_measurement", measurements_file, [](internal_storage& s) { return s.add_measurement(pair_row(4, 3)); }},
      {"update_measurement", measurements_file,
       [](internal_storage& s) { return s.update_measurement(pair_row(1, 2)); }},
      {"update_measurement_req_counter", measurements_file,
       [](internal_storage& s) {
         return s.update_measurement_req_counter(1, 2, {1, 1});
       }},
  };
  std::set<std::string> locations;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_FALSE(c.write(storage()));
    const auto lines = logged();
    EXPECT_THAT(lines, ElementsAre(located(c.file, "Caught exeption"), readonly_error));
    if (!lines.empty()) {
      locations.insert(lines[0].substr(0, lines[0].find(' ')));
    }
  }
  // Each names its own operation, not a shared helper.
  EXPECT_EQ(locations.size(), std::size(cases));
}

TEST_F(storage_failures, counted_writes_let_errors_out) {
  fill();
  m_database->exec("PRAGMA query_only = ON;");

  struct counted_case {
    const char* operation;
    std::function<bool(internal_storage&)> write;
  };
  const counted_case cases[] = {
      {"delete_project", [](internal_storage& s) { return s.delete_project("p"); }},
      {"delete_area", [](internal_storage& s) { return s.delete_area("area"); }},
      {"update_anchor",
       [](internal_storage& s) {
         anchor body;
         body.anchor_uid = "x";
         return s.update_anchor(body);
       }},
      {"delete_anchor", [](internal_storage& s) { return s.delete_anchor("x"); }},
      {"delete_measurement", [](internal_storage& s) { return s.delete_measurement(1, 2); }},
      {"clear_measurements", [](internal_storage& s) { return s.clear_measurements(1); }},
      {"delete_measurements", [](internal_storage& s) { return s.delete_measurements(1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_THROW(c.write(storage()), SQLite::Exception);
  }
  EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(storage_failures, reads_let_errors_out) {
  fill();
  for (const char* table : {"projects", "areas", "anchors", "measurements"}) {
    m_database->exec(std::string("DROP TABLE ") + table + ";");
  }
  const std::string p = "p";
  struct read_case {
    const char* operation;
    std::function<void(internal_storage&)> read;
  };
  const read_case cases[] = {
      {"get_projects_uids", [](internal_storage& s) { s.get_projects_uids(); }},
      {"get_projects", [](internal_storage& s) { s.get_projects(); }},
      {"get_area", [](internal_storage& s) { s.get_area("area"); }},
      {"get_areas_uids", [](internal_storage& s) { s.get_areas_uids(); }},
      {"get_areas", [&](internal_storage& s) { s.get_areas(p); }},
      {"get_anchor by uid", [](internal_storage& s) { s.get_anchor("x"); }},
      {"get_anchor by id", [](internal_storage& s) { s.get_anchor(1u); }},
      {"get_anchor_by_node_id", [](internal_storage& s) { s.get_anchor_by_node_id(101); }},
      {"get_anchor_by_mac", [](internal_storage& s) { s.get_anchor_by_mac("00:00:00:00:00:11"); }},
      {"get_most_unrequested_anchor", [](internal_storage& s) { s.get_most_unrequested_anchor("p"); }},
      {"get_anchors_uids", [](internal_storage& s) { s.get_anchors_uids(); }},
      {"get_anchors_ids", [](internal_storage& s) { s.get_anchors_ids("p"); }},
      {"get_anchors", [](internal_storage& s) { s.get_anchors("p", {}, boost::none); }},
      {"get_measurement", [](internal_storage& s) { s.get_measurement(1, 2); }},
      {"get_measurements", [](internal_storage& s) { s.get_measurements({1}); }},
      {"get_extended_measurements", [](internal_storage& s) { s.get_extended_measurements({1}); }},
      {"get_most_unrequested_measurements",
       [](internal_storage& s) { s.get_most_unrequested_measurements(1, 0, 0, 30, false); }},
      {"get_overripe_measurements", [](internal_storage& s) { s.get_overripe_measurements("p", 0, 0); }},
      {"get_temporary_measurements", [](internal_storage& s) { s.get_temporary_measurements(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_THROW(c.read(storage()), SQLite::Exception);
  }
}

TEST_F(storage_failures, writes_that_find_no_row) {
  fill();
  const auto before = snapshot();

  struct guarded_case {
    const char* operation;
    std::function<bool(internal_storage&)> write;
  };
  // Guarded writes succeed without a row to change.
  const guarded_case guarded[] = {
      {"update_project_last_req_ts", [](internal_storage& s) { return s.update_project_last_req_ts("none", 5); }},
      {"update_area",
       [](internal_storage& s) { return s.update_area(area("none", "p", true, 1u, 2u, 3u, 4u, 5u, 6u)); }},
      {"update_area_last_req_ts", [](internal_storage& s) { return s.update_area_last_req_ts("none", 5); }},
      {"update_anchor_last_req_ts", [](internal_storage& s) { return s.update_anchor_last_req_ts("none", 5); }},
      {"update_anchor_last_param_req_ts",
       [](internal_storage& s) { return s.update_anchor_last_param_req_ts("none", 5); }},
      {"update_anchor_parameter_requested",
       [](internal_storage& s) { return s.update_anchor_parameter_requested("none", true); }},
      {"update_measurement", [](internal_storage& s) { return s.update_measurement(pair_row(9, 8, 5, 0, 1, 1)); }},
      {"update_measurement_req_counter",
       [](internal_storage& s) {
         return s.update_measurement_req_counter(9, 8, {1, 1});
       }},
  };
  for (const auto& c : guarded) {
    SCOPED_TRACE(c.operation);
    EXPECT_TRUE(c.write(storage()));
    EXPECT_EQ(snapshot(), before);
  }

  // Counted writes tell that nothing changed.
  const guarded_case counted[] = {
      {"delete_project", [](internal_storage& s) { return s.delete_project("none"); }},
      {"delete_area", [](internal_storage& s) { return s.delete_area("none"); }},
      {"update_anchor",
       [](internal_storage& s) {
         anchor body;
         body.anchor_uid = "none";
         return s.update_anchor(body);
       }},
      {"delete_anchor", [](internal_storage& s) { return s.delete_anchor("none"); }},
      {"delete_measurement", [](internal_storage& s) { return s.delete_measurement(9, 8); }},
      {"clear_measurements", [](internal_storage& s) { return s.clear_measurements(9); }},
      {"delete_measurements", [](internal_storage& s) { return s.delete_measurements(9); }},
  };
  for (const auto& c : counted) {
    SCOPED_TRACE(c.operation);
    EXPECT_FALSE(c.write(storage()));
    EXPECT_EQ(snapshot(), before);
  }
  EXPECT_THAT(logged(), IsEmpty());
}

}  // namespace
}  // namespace kavo::svel
