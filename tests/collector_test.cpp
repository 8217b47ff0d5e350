#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/format.hpp>
#include <boost/optional/optional_io.hpp>

#include "support/table_rows.h"
#include "temp_directory.h"
#include "collector.h"
#include "core/logger.h"
#include "fake_timers_manager.h"
#include "internal_storage/history.h"
#include "internal_storage/internal_storage_impl.h"
#include "support/collector_doubles.h"

namespace kavo::svel {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using measurement = internal_storage::measurement;
using counter = internal_storage::counter;
using entry = history::measurement;
using request = test_doubles::recording_zan_messenger::request;
using test_doubles::table_rows;
using lqi = boost::optional<std::uint32_t>;

// The wall clock when the collector is created, in whole seconds; its ticks
// come at t0 + 1, t0 + 2, ... and the clean-up at t0 + 60, t0 + 120, ...
constexpr std::int64_t t0 = 1700000000;
constexpr std::int64_t hour = 3600;
constexpr int temporary_flag = 1;
constexpr int battery_flag = 2;

// The maximum distance plays no part in collecting.
settings make_settings(unsigned _nr, unsigned _twr, unsigned _tbr, unsigned _tbp, unsigned _nar, unsigned _det,
                       unsigned _hs) {
  return settings(_nr, _twr, _tbr, _tbp, _nar, _det, _hs, 100);
}

std::vector<std::uint8_t> encode(const std::vector<entry>& _entries) {
  std::vector<std::uint8_t> data;
  history view(data);
  for (const auto& item : _entries) {
    view.push_back(item);
  }
  return data;
}

boost::optional<std::uint8_t> adjusted_of(const std::vector<entry>& _entries) {
  auto data = encode(_entries);
  const auto average = history(data).get_adjusted_average_lqi();
  return average ? boost::optional<std::uint8_t>(static_cast<std::uint8_t>(*average)) : boost::none;
}

// "lqi@seconds after t0", "-" for an unanswered request, so that a failure
// reads as a timeline.
std::string text_of(const entry& _entry) {
  return (_entry.lqi ? std::to_string(*_entry.lqi) : std::string("-")) + "@" +
         std::to_string(static_cast<std::int64_t>(_entry.ts) - t0);
}

std::vector<std::string> texts_of(const std::vector<entry>& _entries) {
  std::vector<std::string> texts;
  for (const auto& item : _entries) {
    texts.push_back(text_of(item));
  }
  return texts;
}

std::vector<std::string> entries_of(measurement _pair) {
  history view(_pair.data);
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < view.size(); ++k) {
    texts.push_back(text_of(*view[k]));
  }
  return texts;
}

entry at(lqi _lqi, std::int64_t _seconds_after_t0) {
  return entry{_lqi, static_cast<std::uint64_t>(t0 + _seconds_after_t0)};
}

std::string mac_for(std::uint32_t _node_id) {
  return (boost::format("a1b2c3%06x") % _node_id).str();
}

// Every test builds its site in a real database file of its own, runs the
// collector on simulated time and plays the anchor network by hand.
class collector_test : public ::testing::Test {
 protected:
  void SetUp() override {
    m_database =
        std::make_unique<SQLite::Database>(m_directory.file("svel.db"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    // Every pair update is a commit of its own; without waiting for the disk
    // on each one the suite runs in a fraction of the time.
    m_database->exec("PRAGMA synchronous = OFF;");
    m_storage = std::make_unique<internal_storage_impl>(*m_database, m_log);
  }

  void TearDown() override {
    m_collector.reset();
    m_storage.reset();
    m_database.reset();
  }

  void start(const settings& _settings) {
    m_settings = _settings;
    m_collector = std::make_unique<collector>(*m_storage, m_messenger, m_timers, m_log, m_settings, m_network);
  }

  internal_storage& storage() { return *m_storage; }

  // --- the site ---

  void add_project(const std::string& _uid, bool _service_mode = false) {
    ASSERT_TRUE(storage().add_project(_uid));
    ASSERT_TRUE(storage().add_area("area-" + _uid, _uid));
    m_network.set_service_mode(_uid, _service_mode);
  }

  // Node ids count up from 100 and the MAC follows the node id unless given.
  // The neighbour table was last requested at t0, so it is not due before
  // t0 + tbp unless the test makes it so.
  int add_anchor(const std::string& _uid, const std::string& _project = "p", bool _battery = false,
                 std::uint32_t _node_id = 0, std::string _mac = {}) {
    internal_storage::anchor body;
    body.anchor_uid = _uid;
    body.project_uid = _project;
    body.area_uid = "area-" + _project;
    body.node_id = _node_id != 0 ? _node_id : 100 + static_cast<std::uint32_t>(m_uid_by_id.size());
    body.mac = _mac.empty() ? mac_for(body.node_id) : _mac;
    body.battery = _battery;
    EXPECT_TRUE(storage().add_anchor(body)) << _uid;
    EXPECT_TRUE(storage().update_anchor_last_param_req_ts(_uid, t0));
    const auto saved = storage().get_anchor(_uid);
    if (!saved) {
      ADD_FAILURE() << "anchor " << _uid << " was not stored";
      return 0;
    }
    m_uid_by_id[saved->id] = _uid;
    m_uid_by_mac[body.mac] = _uid;
    m_uid_by_responder[static_cast<std::uint16_t>(body.node_id)] = _uid;
    return saved->id;
  }

  void make_parameter_due(const std::string& _anchor_uid) {
    ASSERT_TRUE(storage().update_anchor_last_param_req_ts(_anchor_uid, 0));
  }

  // A pair as the collector leaves it after the given entries.
  void add_pair(int _id_1, int _id_2, const std::vector<entry>& _entries = {}, int _flags = 0, counter _counter = {}) {
    measurement pair;
    pair.anchor_id_1 = _id_1;
    pair.anchor_id_2 = _id_2;
    pair.temporary = (_flags & temporary_flag) != 0;
    pair.includes_battery_anchor = (_flags & battery_flag) != 0;
    pair.req_counter = _counter;
    pair.data = encode(_entries);
    pair.adjusted_average_measurement.lqi = adjusted_of(_entries);
    if (!_entries.empty()) {
      pair.adjusted_average_measurement.timestamp = static_cast<std::int64_t>(_entries.back().ts);
    }
    ASSERT_TRUE(storage().add_measurement(pair));
  }

  // --- what the storage holds ---

  internal_storage::saved_anchor anchor(const std::string& _uid) { return storage().get_anchor(_uid).value(); }
  measurement pair(int _id_1, int _id_2) { return storage().get_measurement(_id_1, _id_2).value(); }
  std::int64_t project_last_req_ts(const std::string& _uid) {
    for (const auto& project : storage().get_projects()) {
      if (project.project_uid == _uid) {
        return project.last_req_ts;
      }
    }
    ADD_FAILURE() << "no project " << _uid;
    return -1;
  }

  table_rows query(const std::string& _sql) { return test_doubles::query_rows(*m_database, _sql); }
  table_rows measurement_rows() { return test_doubles::measurement_rows(*m_database); }

  table_rows snapshot() {
    auto rows = query("SELECT * FROM projects ORDER BY project_uid;");
    const auto anchors = query("SELECT * FROM anchors ORDER BY anchor_id;");
    rows.insert(rows.end(), anchors.begin(), anchors.end());
    const auto pairs = measurement_rows();
    rows.insert(rows.end(), pairs.begin(), pairs.end());
    return rows;
  }

  // Logs every write of a whole pair row and every deletion, which a counter
  // update alone does not touch.
  void watch_pair_writes() {
    m_database->exec("CREATE TABLE pair_writes (what TEXT, anchor_id_1 INTEGER, anchor_id_2 INTEGER);");
    m_database->exec(
        "CREATE TRIGGER log_pair_updates AFTER UPDATE OF data, lqi, timestamp, flags ON measurements BEGIN "
        "INSERT INTO pair_writes VALUES ('update', NEW.anchor_id_1, NEW.anchor_id_2); END;");
    m_database->exec(
        "CREATE TRIGGER log_pair_deletes AFTER DELETE ON measurements BEGIN "
        "INSERT INTO pair_writes VALUES ('delete', OLD.anchor_id_1, OLD.anchor_id_2); END;");
  }

  std::vector<std::string> pair_writes() {
    std::vector<std::string> writes;
    for (const auto& row : query("SELECT what, anchor_id_1, anchor_id_2 FROM pair_writes ORDER BY rowid;")) {
      writes.push_back(row[0] + " " + m_uid_by_id[std::stoi(row[1])] + "-" + m_uid_by_id[std::stoi(row[2])]);
    }
    return writes;
  }

  // --- simulated time ---

  std::int64_t now() const { return m_timers.current_timestamp().get_time_since_epoch().count() / 1000; }

  void advance_to(std::int64_t _seconds_after_t0) {
    const auto target = std::chrono::milliseconds((t0 + _seconds_after_t0) * 1000);
    m_timers.advance(target - m_timers.current_timestamp().get_time_since_epoch());
  }

  // Steps the clock a second at a time up to t0 + _seconds_after_t0 and
  // tells each request as "<second> <kind> <anchor> [<responders>]", with
  // " refused" when the messenger turned it down.
  std::vector<std::string> run_until(std::int64_t _seconds_after_t0) {
    std::vector<std::string> told;
    while (now() < t0 + _seconds_after_t0) {
      const auto before = m_messenger.requests().size();
      m_timers.advance(1s);
      for (auto k = before; k < m_messenger.requests().size(); ++k) {
        told.push_back(std::to_string(now() - t0) + " " + describe(m_messenger.requests()[k]));
      }
    }
    return told;
  }

  std::string describe(const request& _request) {
    std::string text = _request.multicast ? "multicast " : "parameter ";
    text += m_uid_by_mac.count(_request.mac) ? m_uid_by_mac[_request.mac] : "?" + _request.mac;
    if (_request.multicast) {
      std::set<std::string> names;
      for (const auto responder : _request.responders) {
        names.insert(m_uid_by_responder.count(responder) ? m_uid_by_responder[responder]
                                                         : "?" + std::to_string(responder));
      }
      text += " [";
      for (const auto& name : names) {
        text += (name == *names.begin() ? "" : ",") + name;
      }
      text += "]";
    }
    return text + (_request.accepted ? "" : " refused");
  }

  libs::core::testing::temp_directory m_directory{"svel-collector"};
  libs::core::logger m_log{"svel_test", "collector"};
  libs::core::testing::fake_timers_manager m_timers{libs::core::timestamp(std::chrono::milliseconds(t0 * 1000))};
  test_doubles::recording_zan_messenger m_messenger;
  test_doubles::fake_network_settings m_network;
  settings m_settings;
  std::unique_ptr<SQLite::Database> m_database;
  std::unique_ptr<internal_storage_impl> m_storage;
  std::unique_ptr<collector> m_collector;
  std::map<int, std::string> m_uid_by_id;
  std::map<std::string, std::string> m_uid_by_mac;
  std::map<std::uint16_t, std::string> m_uid_by_responder;
};

// --- when a project is due ---

struct schedule_case {
  const char* name;
  std::int64_t project_last_req_ts;
  unsigned tbr;
  std::int64_t first_second;
};

void PrintTo(const schedule_case& _case, std::ostream* _out) {
  *_out << _case.name;
}

class collector_schedule : public collector_test, public ::testing::WithParamInterface<schedule_case> {};

// Reports never come and the pair expires at once, so the pair is due at every
// visit and only the project's pace limits the requests.
TEST_P(collector_schedule, one_multicast_per_due_project_every_tbr_seconds) {
  const auto& param = GetParam();
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b);
  ASSERT_TRUE(storage().update_project_last_req_ts("p", param.project_last_req_ts));
  start(make_settings(20, 1, param.tbr, 3600, 30, 1, 200));

  m_timers.advance(999ms);
  EXPECT_THAT(m_messenger.requests(), IsEmpty()) << "the first tick comes a second after the start";

  std::vector<std::string> expected;
  bool from_a = true;
  for (auto second = param.first_second; second <= 60; second += param.tbr, from_a = !from_a) {
    expected.push_back(std::to_string(second) + (from_a ? " multicast a [b]" : " multicast b [a]"));
  }
  EXPECT_THAT(run_until(60), ElementsAreArray(expected));
  EXPECT_EQ(pair(a, b).req_counter.timestamp, t0 + std::stoll(expected.back()));
}

INSTANTIATE_TEST_SUITE_P(
    collector, collector_schedule,
    ::testing::Values(schedule_case{"never_requested", 0, 10, 1}, schedule_case{"requested_5_s_before", t0 - 5, 10, 5},
                      schedule_case{"requested_at_start", t0, 7, 7}, schedule_case{"every_second", 0, 1, 1}),
    [](const ::testing::TestParamInfo<schedule_case>& _info) { return std::string(_info.param.name); });

// --- unanswered requests ---

TEST_F(collector_test, unanswered_pair_gets_an_entry_without_lqi_stamped_with_its_request) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b, {at(100, -7200), at(100, -7100)});
  // nr 1, twr 1, tbr 5, det 1 h, hs 2.
  start(make_settings(1, 1, 5, 3600, 30, 3600, 2));

  EXPECT_THAT(run_until(1), ElementsAre("1 multicast a [b]"));
  EXPECT_EQ(pair(a, b).req_counter.value, 1u);

  // Overripe since t0 + 2, but the project is not due again before t0 + 6.
  EXPECT_THAT(run_until(5), IsEmpty());
  EXPECT_THAT(entries_of(pair(a, b)), ElementsAre("100@-7200", "100@-7100"));

  // Aged at t0 + 6; measured "now" as far as expiry goes, so nothing is sent.
  EXPECT_THAT(run_until(6), IsEmpty());
  const auto aged = pair(a, b);
  EXPECT_THAT(entries_of(aged), ElementsAre("100@-7100", "-@1")) << "trimmed to the history size";
  const std::vector<std::uint8_t> unanswered_at_t0_plus_1{0x00, 0x00, 0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x01};
  EXPECT_THAT(std::vector<std::uint8_t>(aged.data.begin() + 9, aged.data.end()),
              ElementsAreArray(unanswered_at_t0_plus_1));
  EXPECT_EQ(aged.adjusted_average_measurement.lqi, boost::optional<std::uint8_t>(50))
      << "one answer in two halves the level";
  EXPECT_EQ(aged.adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t0 + 1));
  EXPECT_EQ(aged.req_counter.value, 0u);
  EXPECT_EQ(aged.req_counter.timestamp, t0 + 1);
  EXPECT_FALSE(aged.temporary);
  EXPECT_FALSE(aged.includes_battery_anchor);
}

TEST_F(collector_test, nr_unanswered_requests_make_one_entry_at_the_last_request) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b);
  // nr 2, twr 3, tbr 1, det 1 h.
  start(make_settings(2, 3, 1, 3600, 30, 3600, 200));

  // Both anchors are visited without work at t0 + 2 and t0 + 3, so the tie goes to a again.
  EXPECT_THAT(run_until(7), ElementsAre("1 multicast a [b]", "4 multicast a [b]"));
  const auto aged = pair(a, b);
  EXPECT_THAT(entries_of(aged), ElementsAre("-@4"));
  EXPECT_EQ(aged.adjusted_average_measurement.lqi, boost::none);
  EXPECT_EQ(aged.adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t0 + 4));
  EXPECT_EQ(aged.req_counter.value, 0u);
  EXPECT_EQ(aged.req_counter.timestamp, t0 + 4);

  EXPECT_THAT(run_until(30), IsEmpty()) << "the pair is measured as far as expiry goes";
  EXPECT_THAT(entries_of(pair(a, b)), ElementsAre("-@4"));
}

// --- nothing to do ---

TEST_F(collector_test, project_without_anchors_is_left_alone) {
  add_project("empty");
  start(make_settings(3, 1, 1, 60, 30, 1, 200));
  const auto before = snapshot();

  EXPECT_THAT(run_until(120), IsEmpty());
  EXPECT_EQ(snapshot(), before);
}

TEST_F(collector_test, anchors_without_work_go_to_the_back_and_the_project_stays_due) {
  add_project("p");
  const int lone = add_anchor("lone");
  const int m1 = add_anchor("measured-1");
  const int m2 = add_anchor("measured-2");
  const int r1 = add_anchor("requested-1");
  const int r2 = add_anchor("requested-2");
  const int p1 = add_anchor("passive-1");
  const int p2 = add_anchor("passive-2", "p", true);
  add_pair(m1, m2, {at(120, -10)});
  add_pair(r1, r2, {}, 0, counter{1, t0});
  add_pair(p1, p2, {}, battery_flag);
  // twr 60, det 1 h, tbp 1 h: nothing is due, the passive pair waits for a
  // neighbour table that is not due either.
  start(make_settings(20, 60, 10, 3600, 30, 3600, 200));
  const auto pairs_before = measurement_rows();

  for (const std::int64_t second : {1, 2}) {
    EXPECT_THAT(run_until(second), IsEmpty());
    for (const int id : {lone, m1, m2, r1, r2, p1, p2}) {
      EXPECT_EQ(storage().get_anchor(static_cast<unsigned>(id))->last_req_ts, t0 + second)
          << m_uid_by_id[id] << " at second " << second;
    }
    EXPECT_EQ(project_last_req_ts("p"), 0) << "only a sent request makes the project wait";
  }
  EXPECT_EQ(measurement_rows(), pairs_before);
}

// --- which anchor ---

TEST_F(collector_test, least_recently_requested_anchor_first_and_the_lower_id_on_ties) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  const int c = add_anchor("c");
  const int hub = add_anchor("hub");
  ASSERT_TRUE(storage().update_anchor_last_req_ts("a", t0 - 100));
  ASSERT_TRUE(storage().update_anchor_last_req_ts("hub", t0 - 50));
  for (const int id : {a, b, c}) {
    add_pair(id, hub);
  }
  // twr 60 s: a pair asked once is not asked again within the test.
  start(make_settings(20, 60, 1, 3600, 30, 3600, 200));

  EXPECT_THAT(run_until(10), ElementsAre("1 multicast b [hub]", "2 multicast c [hub]", "3 multicast a [hub]"));
  EXPECT_EQ(anchor("hub").last_req_ts, t0 + 10) << "visited without work at every later tick";
}

TEST_F(collector_test, due_neighbour_table_goes_first_then_the_multicast_in_and_out_of_service_mode) {
  for (const bool service_mode : {true, false}) {
    const std::string project = service_mode ? "service" : "normal";
    add_project(project, service_mode);
    const int first = add_anchor(project + "-a", project);
    const int second = add_anchor(project + "-b", project);
    add_pair(first, second);
    make_parameter_due(project + "-a");
  }
  start(make_settings(20, 1, 10, 30, 30, 3600, 200));

  EXPECT_THAT(run_until(1), UnorderedElementsAre("1 parameter service-a", "1 parameter normal-a"));
  for (const std::string project : {"service", "normal"}) {
    const auto asked = anchor(project + "-a");
    EXPECT_EQ(asked.last_param_req_ts, t0 + 1) << project;
    EXPECT_TRUE(asked.parameter_requested) << project;
    EXPECT_EQ(asked.last_req_ts, 0) << project;
    EXPECT_EQ(project_last_req_ts(project), 0) << project << ": due again at the next tick";
    EXPECT_EQ(pair(anchor(project + "-a").id, anchor(project + "-b").id).req_counter.value, 0u) << project;
  }

  EXPECT_THAT(run_until(2),
              UnorderedElementsAre("2 multicast service-a [service-b]", "2 multicast normal-a [normal-b]"));
  for (const std::string project : {"service", "normal"}) {
    const auto asked = anchor(project + "-a");
    EXPECT_FALSE(asked.parameter_requested) << project;
    EXPECT_EQ(asked.last_param_req_ts, t0 + 1) << project;
    EXPECT_EQ(asked.last_req_ts, t0 + 2) << project;
    EXPECT_EQ(project_last_req_ts(project), t0 + 2) << project;
    const auto requested = pair(anchor(project + "-a").id, anchor(project + "-b").id).req_counter;
    EXPECT_EQ(requested.value, 1u) << project;
    EXPECT_EQ(requested.timestamp, t0 + 2) << project;
  }
}

// An answered neighbour table request is not outstanding forever: outside
// service mode only the parameter period paces it.
TEST_F(collector_test, passive_pairs_outside_service_mode_get_neighbour_tables_every_tbp_and_no_multicast) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b", "p", true);
  add_pair(a, b, {}, battery_flag);
  make_parameter_due("a");
  make_parameter_due("b");
  start(make_settings(20, 1, 1, 10, 30, 3600, 200));

  std::vector<std::string> expected;
  for (std::int64_t second = 1; second <= 60; second += 10) {
    expected.push_back(std::to_string(second) + " parameter a");
    expected.push_back(std::to_string(second + 1) + " parameter b");
  }
  EXPECT_THAT(run_until(60), ElementsAreArray(expected));
  EXPECT_EQ(pair(a, b).req_counter.value, 0u);
  EXPECT_EQ(project_last_req_ts("p"), 0);
}

// --- what one multicast names ---

TEST_F(collector_test, service_mode_adds_passive_pairs_and_responders_are_16_bit_node_ids) {
  std::map<std::string, std::vector<int>> pairs_of;
  for (const bool service_mode : {true, false}) {
    const std::string project = service_mode ? "service" : "normal";
    add_project(project, service_mode);
    const int multicaster = add_anchor(project + "-m", project);
    const int wide = add_anchor(project + "-wide", project, false, (service_mode ? 0x1F123u : 0x2F124u));
    const int battery = add_anchor(project + "-battery", project, true);
    // Pairs with an anchor that is gone still count as asked, naming nobody.
    const int gone = service_mode ? 9001 : 9002;
    add_pair(multicaster, wide);
    add_pair(multicaster, battery, {}, battery_flag);
    add_pair(multicaster, gone);
    pairs_of[project] = {wide, battery, gone};
  }
  start(make_settings(20, 1, 10, 3600, 30, 3600, 200));

  const auto told = run_until(1);
  EXPECT_THAT(told, UnorderedElementsAre("1 multicast service-m [service-battery,service-wide]",
                                         "1 multicast normal-m [normal-wide]"));
  for (const auto& sent : m_messenger.multicasts()) {
    if (m_uid_by_mac[sent.mac] == "service-m") {
      EXPECT_EQ(sent.responders.count(0xF123), 1u);
    }
  }

  const std::map<std::string, std::vector<std::uint32_t>> expected_counts = {{"service", {1, 1, 1}},
                                                                             {"normal", {1, 0, 1}}};
  for (const auto& [project, counts] : expected_counts) {
    const int multicaster = anchor(project + "-m").id;
    for (std::size_t k = 0; k < counts.size(); ++k) {
      const auto requested = pair(multicaster, pairs_of[project][k]).req_counter;
      EXPECT_EQ(requested.value, counts[k]) << project << " pair " << k;
      EXPECT_EQ(requested.timestamp, counts[k] == 0 ? 0 : t0 + 1) << project << " pair " << k;
    }
  }
}

struct size_case {
  const char* name;
  bool service_mode;
  unsigned nar;
  int active;
  int passive;
  int named_active;
  int named_passive;
};

void PrintTo(const size_case& _case, std::ostream* _out) {
  *_out << _case.name;
}

class collector_request_size : public collector_test, public ::testing::WithParamInterface<size_case> {};

TEST_P(collector_request_size, one_request_names_at_most_255_anchors_active_pairs_first) {
  const auto& param = GetParam();
  add_project("p", param.service_mode);
  std::set<std::uint16_t> active_nodes;
  std::set<std::uint16_t> passive_nodes;
  std::map<std::uint16_t, int> id_of_node;
  int multicaster = 0;
  {
    // One commit for the whole site keeps the set-up quick.
    SQLite::Transaction transaction(*m_database);
    multicaster = add_anchor("m");
    for (int k = 0; k < param.active + param.passive; ++k) {
      const bool passive = k >= param.active;
      const auto node = static_cast<std::uint16_t>(1000 + k);
      const int id = add_anchor((passive ? "passive-" : "active-") + std::to_string(k), "p", passive, node);
      add_pair(multicaster, id, {}, passive ? battery_flag : 0);
      (passive ? passive_nodes : active_nodes).insert(node);
      id_of_node[node] = id;
    }
    transaction.commit();
  }
  start(make_settings(20, 1, 10, 3600, param.nar, 3600, 200));

  m_timers.advance(1s);
  ASSERT_EQ(m_messenger.requests().size(), 1u);
  const auto sent = m_messenger.requests().front();
  ASSERT_TRUE(sent.multicast);
  EXPECT_EQ(sent.mac, anchor("m").body.mac);
  int named_active = 0;
  int named_passive = 0;
  for (const auto node : sent.responders) {
    named_active += static_cast<int>(active_nodes.count(node));
    named_passive += static_cast<int>(passive_nodes.count(node));
  }
  EXPECT_EQ(sent.responders.size(), static_cast<std::size_t>(param.named_active + param.named_passive));
  EXPECT_EQ(named_active, param.named_active);
  EXPECT_EQ(named_passive, param.named_passive);

  // Exactly the named pairs are counted as asked.
  for (const auto& [node, id] : id_of_node) {
    const auto requested = pair(multicaster, id).req_counter;
    const bool named = sent.responders.count(node) > 0;
    EXPECT_EQ(requested.value, named ? 1u : 0u) << "node " << node;
    EXPECT_EQ(requested.timestamp, named ? t0 + 1 : 0) << "node " << node;
  }
  EXPECT_EQ(anchor("m").last_req_ts, t0 + 1);
  EXPECT_EQ(project_last_req_ts("p"), t0 + 1);
}

INSTANTIATE_TEST_SUITE_P(collector, collector_request_size,
                         ::testing::Values(size_case{"service_150_and_150_of_200", true, 200, 150, 150, 150, 105},
                                           size_case{"service_40_and_40_of_30", true, 30, 40, 40, 30, 30},
                                           size_case{"service_20_and_300_of_200", true, 200, 20, 300, 20, 200},
                                           size_case{"service_255_and_10_of_255", true, 255, 255, 10, 255, 0},
                                           size_case{"normal_40_and_40_of_30", false, 30, 40, 40, 30, 0}),
                         [](const ::testing::TestParamInfo<size_case>& _info) {
                           return std::string(_info.param.name);
                         });

// --- refused sends ---

TEST_F(collector_test, refused_multicast_records_nothing_and_the_same_anchor_is_asked_again) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b, {}, 0, counter{1, t0 - 100});
  ASSERT_TRUE(storage().update_anchor_parameter_requested("a", true));
  start(make_settings(20, 1, 10, 3600, 30, 3600, 200));
  const auto before = snapshot();

  m_messenger.refuse_sends(true);
  EXPECT_THAT(run_until(3),
              ElementsAre("1 multicast a [b] refused", "2 multicast a [b] refused", "3 multicast a [b] refused"));
  EXPECT_EQ(snapshot(), before);

  m_messenger.refuse_sends(false);
  EXPECT_THAT(run_until(20), ElementsAre("4 multicast a [b]", "14 multicast b [a]"));
  EXPECT_EQ(project_last_req_ts("p"), t0 + 14);
  EXPECT_EQ(anchor("a").last_req_ts, t0 + 4);
  EXPECT_FALSE(anchor("a").parameter_requested);
  EXPECT_EQ(pair(a, b).req_counter.value, 3u);
}

TEST_F(collector_test, refused_neighbour_table_request_records_nothing_and_is_asked_again) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b);
  make_parameter_due("a");
  start(make_settings(20, 1, 10, 3600, 30, 3600, 200));
  const auto before = snapshot();

  m_messenger.refuse_sends(true);
  EXPECT_THAT(run_until(2), ElementsAre("1 parameter a refused", "2 parameter a refused"));
  EXPECT_EQ(snapshot(), before);

  m_messenger.refuse_sends(false);
  EXPECT_THAT(run_until(4), ElementsAre("3 parameter a", "4 multicast a [b]"));
  EXPECT_EQ(anchor("a").last_param_req_ts, t0 + 3);
}

// --- multicast reports ---

TEST_F(collector_test, report_appends_its_lqi_and_keeps_the_newest_hs_entries) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  std::vector<entry> old;
  for (int k = 0; k < 200; ++k) {
    old.push_back(at(60u + static_cast<std::uint32_t>(k % 50), -1000 + k));
  }
  add_pair(a, b, old, temporary_flag | battery_flag, counter{2, t0 - 5});
  start(make_settings(3, 1, 10, 3600, 30, 3600, 200));

  zan_messenger::multicast_report report;
  report.ts = static_cast<std::uint64_t>(t0 + 5);
  report.ms = 250;
  report.mac = anchor("b").body.mac;
  report.reporter_id = anchor("b").body.node_id;
  report.multicaster_id = anchor("a").body.node_id;
  report.lqi = 140;
  m_messenger.emit_report(report);

  std::vector<entry> expected(old.begin() + 1, old.end());
  expected.push_back(at(140, 5));
  const auto answered = pair(a, b);
  EXPECT_THAT(entries_of(answered), ElementsAreArray(texts_of(expected)));
  EXPECT_EQ(answered.adjusted_average_measurement.lqi, adjusted_of(expected));
  EXPECT_NE(answered.adjusted_average_measurement.lqi, adjusted_of(old)) << "the check would not see a stale value";
  EXPECT_EQ(answered.adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t0 + 5));
  EXPECT_EQ(answered.req_counter.value, 0u);
  EXPECT_EQ(answered.req_counter.timestamp, t0 - 5);
  EXPECT_TRUE(answered.temporary);
  EXPECT_TRUE(answered.includes_battery_anchor);
}

TEST_F(collector_test, report_without_a_known_reporter_multicaster_and_pair_changes_nothing) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  const int upper = add_anchor("upper", "p", false, 0, "A1B2C3FFFF01");
  add_anchor("unpaired");
  add_pair(a, b, {at(90, -7200)}, 0, counter{1, t0 - 10});
  add_pair(upper, b, {at(90, -7200)}, 0, counter{1, t0 - 10});
  start(make_settings(3, 1, 10, 3600, 30, 3600, 200));

  struct drop_case {
    const char* name;
    std::string mac;
    std::uint32_t multicaster_id;
  };
  const std::vector<drop_case> drops = {
      {"reporter stored with an upper-case MAC", "a1b2c3ffff01", anchor("b").body.node_id},
      {"unknown reporter", "a1b2c3eeeeee", anchor("b").body.node_id},
      {"unknown multicaster", anchor("a").body.mac, 4242},
      {"known anchors without a pair", anchor("a").body.mac, anchor("unpaired").body.node_id},
  };
  const auto before = measurement_rows();
  for (const auto& drop : drops) {
    zan_messenger::multicast_report report;
    report.ts = static_cast<std::uint64_t>(t0);
    report.mac = drop.mac;
    report.multicaster_id = drop.multicaster_id;
    report.lqi = 150;
    m_messenger.emit_report(report);
    EXPECT_EQ(measurement_rows(), before) << drop.name;
  }

  // The same site does take a good report.
  zan_messenger::multicast_report good;
  good.ts = static_cast<std::uint64_t>(t0);
  good.mac = anchor("a").body.mac;
  good.multicaster_id = anchor("b").body.node_id;
  good.lqi = 150;
  m_messenger.emit_report(good);
  EXPECT_THAT(entries_of(pair(a, b)), ElementsAre("90@-7200", "150@0"));
}

// --- neighbour tables ---

enum class outcome { appended, unchanged, created, not_created };

struct neighbour_case {
  const char* name;
  bool neighbour_on_battery;
  boost::optional<std::int64_t> stored_at;  // the stored pair's newest entry, seconds before the answer; none: no pair
  std::int32_t e;
  std::int32_t lqi;
  outcome expected;
};

TEST_F(collector_test, neighbour_table_entries_newer_than_the_pair_by_tbp_are_recorded) {
  add_project("p");
  const int reporter = add_anchor("reporter");
  // The answer's time in seconds; the milliseconds are cut, not rounded.
  const std::int64_t t = t0 + 3;
  const libs::core::timestamp answer_time(std::chrono::milliseconds(t * 1000 + 999));
  const std::vector<neighbour_case> cases = {
      {"heard 5 s ago, pair 1000 s old", false, 1000, 5, 130, outcome::appended},
      {"heard exactly tbp after the pair", false, 1000, 940, 131, outcome::appended},
      {"heard 1 s short of tbp after the pair", false, 1000, 941, 132, outcome::unchanged},
      {"pair measured 30 s ago", false, 30, 0, 133, outcome::unchanged},
      {"new pair with a battery neighbour", true, boost::none, 5, 134, outcome::created},
      {"new pair, nobody on battery", false, boost::none, 0, 135, outcome::created},
      {"new pair heard before the parameter period of the epoch", false, boost::none, static_cast<std::int32_t>(t - 30),
       136, outcome::not_created},
  };
  std::vector<int> ids;
  std::vector<zan_messenger::nbrs_parameter_item> items;
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const auto& item = cases[k];
    const int id = add_anchor("n" + std::to_string(k), "p", item.neighbour_on_battery);
    if (item.stored_at) {
      add_pair(reporter, id, {at(77, t - t0 - *item.stored_at)}, 0, counter{3, t0 - 50});
    }
    ids.push_back(id);
    items.push_back({static_cast<std::int32_t>(anchor("n" + std::to_string(k)).body.node_id), item.lqi, item.e});
    if (k == 2) {
      items.push_back({4242, 99, 0});  // an anchor this service does not know
    }
  }
  // tbp 60.
  start(make_settings(3, 1, 10, 60, 30, 3600, 200));
  const auto before = measurement_rows();

  m_messenger.emit_neighbour_table(anchor("reporter").body.mac, items, answer_time);

  for (std::size_t k = 0; k < cases.size(); ++k) {
    const auto& item = cases[k];
    const auto found = storage().get_measurement(reporter, ids[k]);
    const std::string heard = std::to_string(item.lqi) + "@3";
    switch (item.expected) {
      case outcome::appended: {
        ASSERT_TRUE(found) << item.name;
        const std::string stored = "77@" + std::to_string(3 - *item.stored_at);
        EXPECT_THAT(entries_of(*found), ElementsAre(stored, heard)) << item.name;
        EXPECT_EQ(found->adjusted_average_measurement.lqi,
                  adjusted_of({at(77, 3 - *item.stored_at), at(static_cast<std::uint32_t>(item.lqi), 3)}))
            << item.name;
        EXPECT_EQ(found->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t)) << item.name;
        EXPECT_EQ(found->req_counter.value, 0u) << item.name;
        EXPECT_EQ(found->req_counter.timestamp, t0 - 50) << item.name;
        EXPECT_FALSE(found->temporary) << item.name;
        break;
      }
      case outcome::unchanged: {
        ASSERT_TRUE(found) << item.name;
        EXPECT_EQ(found->data, encode({at(77, 3 - *item.stored_at)})) << item.name;
        EXPECT_EQ(found->req_counter.value, 3u) << item.name;
        EXPECT_EQ(found->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t - *item.stored_at))
            << item.name;
        break;
      }
      case outcome::created: {
        ASSERT_TRUE(found) << item.name;
        EXPECT_THAT(entries_of(*found), ElementsAre(heard)) << item.name;
        EXPECT_TRUE(found->temporary) << item.name;
        EXPECT_EQ(found->includes_battery_anchor, item.neighbour_on_battery) << item.name;
        EXPECT_EQ(found->req_counter.value, 0u) << item.name;
        EXPECT_EQ(found->req_counter.timestamp, 0) << item.name;
        EXPECT_EQ(found->adjusted_average_measurement.lqi, adjusted_of({at(static_cast<std::uint32_t>(item.lqi), 3)}))
            << item.name;
        EXPECT_EQ(found->adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t)) << item.name;
        break;
      }
      case outcome::not_created:
        EXPECT_FALSE(found) << item.name;
        break;
    }
  }
  EXPECT_EQ(measurement_rows().size(), before.size() + 2) << "two new pairs, and nothing for the unknown node";
}

TEST_F(collector_test, neighbour_table_of_a_battery_reporter_makes_passive_pairs) {
  add_project("p");
  const int reporter = add_anchor("reporter", "p", true);
  const int neighbour = add_anchor("neighbour");
  start(make_settings(3, 1, 10, 60, 30, 3600, 200));

  m_messenger.emit_neighbour_table(anchor("reporter").body.mac,
                                   {{static_cast<std::int32_t>(anchor("neighbour").body.node_id), 120, 0}},
                                   libs::core::timestamp(std::chrono::milliseconds(t0 * 1000)));

  const auto created = storage().get_measurement(reporter, neighbour);
  ASSERT_TRUE(created);
  EXPECT_TRUE(created->temporary);
  EXPECT_TRUE(created->includes_battery_anchor);
  EXPECT_THAT(entries_of(*created), ElementsAre("120@0"));
}

TEST_F(collector_test, neighbour_table_finds_its_reporter_whatever_the_case_of_the_mac) {
  add_project("p");
  const int reporter = add_anchor("reporter", "p", false, 0, "a1b2c3d4e5f6");
  const int neighbour = add_anchor("neighbour");
  add_pair(reporter, neighbour, {at(100, -10000)});
  start(make_settings(3, 1, 10, 60, 30, 3600, 200));
  const std::vector<zan_messenger::nbrs_parameter_item> items = {
      {static_cast<std::int32_t>(anchor("neighbour").body.node_id), 120, 0}};

  std::vector<std::string> expected = {"100@-10000"};
  std::int64_t answer = 0;
  for (const std::string mac : {"A1B2C3D4E5F6", "a1b2c3d4e5f6", "A1b2C3d4E5f6"}) {
    answer += 100;  // each answer newer than the last by more than tbp
    m_messenger.emit_neighbour_table(mac, items,
                                     libs::core::timestamp(std::chrono::milliseconds((t0 + answer) * 1000)));
    expected.push_back("120@" + std::to_string(answer));
    EXPECT_THAT(entries_of(pair(reporter, neighbour)), ElementsAreArray(expected)) << mac;
  }

  const auto before = measurement_rows();
  m_messenger.emit_neighbour_table("a1b2c3d4e5f7", items,
                                   libs::core::timestamp(std::chrono::milliseconds((t0 + 1000) * 1000)));
  EXPECT_EQ(measurement_rows(), before) << "an unknown reporter";
}

// --- clean-up of temporary pairs ---

TEST_F(collector_test, cleanup_drops_temporary_entries_older_than_hs_times_det) {
  add_project("p");
  std::map<std::string, int> id;
  for (const std::string uid : {"a", "b", "c", "d", "e", "f", "g"}) {
    id[uid] = add_anchor(uid);
  }
  // hs 200 and det 1 h keep 200 h; the first clean-up runs at t0 + 60.
  const std::int64_t first = 60;
  const std::int64_t kept = 200 * hour;
  add_pair(id["a"], id["b"], {at(90, first - 260 * hour), at(95, first - 201 * hour)}, temporary_flag);
  add_pair(id["a"], id["c"], {at(boost::none, first - 250 * hour), at(100, first - 150 * hour)},
           temporary_flag | battery_flag, counter{0, t0 - 9});
  {
    // Its adjusted time apart from its newest entry, so that a clean-up restamping it shows.
    auto restamped = pair(id["a"], id["c"]);
    restamped.adjusted_average_measurement.timestamp = t0 - 7;
    ASSERT_TRUE(storage().update_measurement(restamped));
  }
  add_pair(id["a"], id["d"], {at(80, -2 * hour), at(85, -hour)}, temporary_flag);
  add_pair(id["a"], id["e"], {at(70, first - kept)}, temporary_flag);
  add_pair(id["a"], id["f"], {at(70, first - kept + 1)}, temporary_flag);
  add_pair(id["f"], id["g"], {at(70, first - 300 * hour)});
  // nr 20: no pair is aged within the test, so every write seen is the clean-up's.
  start(make_settings(20, 1, 10, 3600, 30, 3600, 200));
  watch_pair_writes();
  const auto rows = measurement_rows();
  const auto mixed_before = pair(id["a"], id["c"]);
  const auto recent_before = pair(id["a"], id["d"]);
  const auto last_kept_before = pair(id["a"], id["f"]);
  const auto permanent_before = pair(id["f"], id["g"]);

  advance_to(first - 1);
  EXPECT_THAT(pair_writes(), IsEmpty());

  advance_to(first);
  EXPECT_THAT(pair_writes(), UnorderedElementsAre("delete b-a", "update c-a", "delete e-a"));
  EXPECT_FALSE(storage().get_measurement(id["a"], id["b"])) << "newest entry 201 h old";
  EXPECT_FALSE(storage().get_measurement(id["a"], id["e"])) << "newest entry exactly 200 h old";

  const auto mixed = pair(id["a"], id["c"]);
  EXPECT_THAT(entries_of(mixed), ElementsAre("100@" + std::to_string(first - 150 * hour)));
  EXPECT_EQ(mixed.adjusted_average_measurement.lqi, adjusted_of({at(100, 0)}));
  EXPECT_NE(mixed.adjusted_average_measurement.lqi, mixed_before.adjusted_average_measurement.lqi);
  EXPECT_EQ(mixed.adjusted_average_measurement.timestamp, boost::optional<std::int64_t>(t0 - 7));
  EXPECT_TRUE(mixed.temporary);
  EXPECT_TRUE(mixed.includes_battery_anchor);
  EXPECT_EQ(mixed.req_counter.timestamp, t0 - 9);

  for (const auto& [name, before] : std::vector<std::pair<std::string, measurement>>{
           {"recent", recent_before}, {"1 s short of 200 h", last_kept_before}, {"not temporary", permanent_before}}) {
    const auto after = pair(before.anchor_id_1, before.anchor_id_2);
    EXPECT_EQ(after.data, before.data) << name;
    EXPECT_EQ(after.adjusted_average_measurement.lqi, before.adjusted_average_measurement.lqi) << name;
    EXPECT_EQ(after.adjusted_average_measurement.timestamp, before.adjusted_average_measurement.timestamp) << name;
  }
  const auto row_of = [&](int _bigger, int _smaller) {
    for (const auto& row : measurement_rows()) {
      if (row[0] == std::to_string(_bigger) && row[1] == std::to_string(_smaller)) {
        return row;
      }
    }
    return std::vector<std::string>{};
  };
  for (const auto& row : rows) {
    if (std::stoi(row[0]) == id["d"] && std::stoi(row[1]) == id["a"]) {
      EXPECT_EQ(row_of(id["d"], id["a"]), row) << "a pair with only recent entries is byte for byte the same";
    }
  }

  advance_to(2 * first);
  EXPECT_THAT(pair_writes(), UnorderedElementsAre("delete b-a", "update c-a", "delete e-a", "delete f-a"));
  EXPECT_TRUE(storage().get_measurement(id["a"], id["c"]));
  EXPECT_TRUE(storage().get_measurement(id["a"], id["d"]));
  EXPECT_TRUE(storage().get_measurement(id["f"], id["g"]));
}

// --- failures ---

TEST_F(collector_test, tick_that_cannot_read_the_storage_throws_and_the_next_one_runs) {
  add_project("p");
  const int a = add_anchor("a");
  const int b = add_anchor("b");
  add_pair(a, b);
  start(make_settings(20, 1, 10, 3600, 30, 3600, 200));
  EXPECT_THAT(run_until(1), ElementsAre("1 multicast a [b]"));

  m_database->exec("ALTER TABLE measurements RENAME TO measurements_away;");
  EXPECT_THROW(advance_to(11), SQLite::Exception);
  EXPECT_EQ(now(), t0 + 11);
  m_database->exec("ALTER TABLE measurements_away RENAME TO measurements;");

  EXPECT_THAT(run_until(21), ElementsAre("12 multicast b [a]"));
  EXPECT_EQ(pair(a, b).req_counter.value, 2u);
}

}  // namespace
}  // namespace kavo::svel
