// The storage's hot paths on a large site: 20 projects of 100 anchors and one
// of 2,000, every two anchors of a project within the maximum distance
// forming a pair, many pairs with a history and request counters.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Transaction.h>
#include <benchmark/benchmark.h>

#include "core/logger.h"
#include "internal_storage/history.h"
#include "internal_storage/internal_storage_impl.h"

namespace kavo::svel {
namespace {

using anchor = internal_storage::anchor;
using measurement = internal_storage::measurement;
using id_pair = std::pair<int, int>;

constexpr int small_projects = 20;
constexpr int small_side = 10;  // 10 x 10 anchors
constexpr int big_columns = 50;
constexpr int big_rows = 40;
constexpr std::int64_t grid_spacing = 950;
constexpr std::int64_t maximum_distance = 3;  // as configured; coordinates are compared in thousandths
constexpr std::int64_t now = 1700000000;
constexpr std::uint32_t history_size = 200;
const std::string big_project = "big";

libs::core::logger& bench_logger() {
  static libs::core::logger logger("svel_bench", "storage");
  return logger;
}

std::string make_temp_directory() {
  char directory[] = "/tmp/svel-bench-XXXXXX";
  if (mkdtemp(directory) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return directory;
}

struct planned_project {
  std::string uid;
  std::vector<anchor> anchors;  // ids follow on from the previous project's
  int first_id = 0;
  std::vector<id_pair> pairs;
};

// Deterministic site: the same seed gives the same anchors, pairs and histories.
class site_plan {
 public:
  site_plan() {
    int next_id = 1;
    add_project(big_project, big_columns, big_rows, next_id);
    for (int p = 0; p < small_projects; ++p) {
      char uid[16];
      std::snprintf(uid, sizeof(uid), "p%02d", p);
      add_project(uid, small_side, small_side, next_id);
    }
  }

  const std::vector<planned_project>& projects() const { return m_projects; }
  const planned_project& big() const { return m_projects.front(); }
  std::size_t anchor_count() const {
    std::size_t count = 0;
    for (const auto& project : m_projects) {
      count += project.anchors.size();
    }
    return count;
  }
  std::size_t pair_count() const {
    std::size_t count = 0;
    for (const auto& project : m_projects) {
      count += project.pairs.size();
    }
    return count;
  }
  bool battery(int _id) const { return m_battery[static_cast<std::size_t>(_id)]; }

  // A pair as the service keeps it once it has been watched for a while.
  measurement history_of(const id_pair& _pair) {
    measurement row(_pair.first, _pair.second, chance(0.01), battery(_pair.first) || battery(_pair.second), {}, {}, {});
    if (chance(0.7)) {
      history view(row.data);
      const int entries = uniform(10, 60);
      std::int64_t ts = now - 86400 + uniform(0, 3600);
      const int level = uniform(40, 200);
      for (int e = 0; e < entries; ++e) {
        ts += uniform(60, 1200);
        if (chance(0.9)) {
          view.push_back({static_cast<std::uint32_t>(std::clamp(level + uniform(-15, 15), 0, 255)),
                          static_cast<std::uint64_t>(ts)});
        } else {
          view.push_back({boost::none, static_cast<std::uint64_t>(ts)});
        }
      }
      if (const auto average = view.get_adjusted_average_lqi()) {
        row.adjusted_average_measurement.lqi = static_cast<std::uint8_t>(*average);
      }
      row.adjusted_average_measurement.timestamp = ts;
    }
    if (chance(0.8)) {
      row.req_counter = {static_cast<std::uint32_t>(uniform(0, 5)), now - uniform(0, 7200)};
    }
    return row;
  }

 private:
  bool chance(double _p) { return std::uniform_real_distribution<double>(0, 1)(m_random) < _p; }
  int uniform(int _low, int _high) { return std::uniform_int_distribution<int>(_low, _high)(m_random); }

  std::string unique_mac() {
    while (true) {
      int bytes[6];
      for (int& byte : bytes) {
        byte = uniform(0, 255);  // drawn in order: the same seed gives the same MACs with any compiler
      }
      char text[18];
      std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                    bytes[4], bytes[5]);
      if (m_macs.insert(text).second) {
        return text;
      }
    }
  }

  std::uint32_t unique_node_id() {
    while (true) {
      const auto id = static_cast<std::uint32_t>(uniform(1, 0xffffff));
      if (m_node_ids.insert(id).second) {
        return id;
      }
    }
  }

  void add_project(const std::string& _uid, int _columns, int _rows, int& _next_id) {
    planned_project project;
    project.uid = _uid;
    project.first_id = _next_id;
    if (m_battery.empty()) {
      m_battery.push_back(false);  // ids start at 1
    }
    for (int column = 0; column < _columns; ++column) {
      for (int row = 0; row < _rows; ++row) {
        anchor body;
        body.anchor_uid = _uid + "-" + std::to_string(_next_id);
        body.project_uid = _uid;
        body.mac = unique_mac();
        body.node_id = unique_node_id();
        body.area_uid = _uid + "-area";
        body.x = column * grid_spacing + uniform(-100, 100);
        body.y = row * grid_spacing + uniform(-100, 100);
        body.z = uniform(2600, 3000);
        body.battery = chance(0.1);
        m_battery.push_back(body.battery);
        project.anchors.push_back(std::move(body));
        ++_next_id;
      }
    }
    const std::int64_t limit = maximum_distance * 1000;
    for (std::size_t i = 0; i < project.anchors.size(); ++i) {
      for (std::size_t j = i + 1; j < project.anchors.size(); ++j) {
        const auto& a = project.anchors[i];
        const auto& b = project.anchors[j];
        const std::int64_t dx = a.x - b.x;
        const std::int64_t dy = a.y - b.y;
        const std::int64_t dz = a.z - b.z;
        if (dx * dx + dy * dy + dz * dz <= limit * limit) {
          project.pairs.emplace_back(project.first_id + static_cast<int>(j), project.first_id + static_cast<int>(i));
        }
      }
    }
    m_projects.push_back(std::move(project));
  }

  std::mt19937 m_random{20240305};
  std::set<std::string> m_macs;
  std::set<std::uint32_t> m_node_ids;
  std::vector<bool> m_battery;  // by anchor id
  std::vector<planned_project> m_projects;
};

// One database file with the anchors of the plan and nothing else.
class database_file {
 public:
  explicit database_file(const std::vector<const planned_project*>& _projects)
      : m_directory(make_temp_directory()),
        m_database(m_directory + "/svel.db", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE),
        m_storage(m_database, bench_logger()) {
    SQLite::Transaction transaction(m_database);
    for (const auto* project : _projects) {
      m_storage.add_project(project->uid);
      m_storage.add_area(project->uid + "-area", project->uid);
      for (const auto& body : project->anchors) {
        if (!m_storage.add_anchor(body)) {
          throw std::runtime_error("anchor refused: " + body.anchor_uid);
        }
      }
    }
    transaction.commit();
  }
  ~database_file() { std::filesystem::remove_all(m_directory); }

  SQLite::Database& database() { return m_database; }
  internal_storage& storage() { return m_storage; }

 private:
  std::string m_directory;
  SQLite::Database m_database;
  internal_storage_impl m_storage;
};

std::vector<const planned_project*> all_of(const site_plan& _plan) {
  std::vector<const planned_project*> projects;
  for (const auto& project : _plan.projects()) {
    projects.push_back(&project);
  }
  return projects;
}

// The whole site with its measurements, built on first use and shared.
struct site {
  site() : file(all_of(plan)) {
    const auto start = std::chrono::steady_clock::now();
    SQLite::Transaction transaction(file.database());
    for (const auto& project : plan.projects()) {
      for (const auto& pair : project.pairs) {
        if (!file.storage().add_measurement(plan.history_of(pair))) {
          throw std::runtime_error("pair refused");
        }
      }
    }
    transaction.commit();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const auto& big = plan.big();
    std::fprintf(stderr,
                 "site: %zu projects, %zu anchors, %zu pairs; project '%s': %zu anchors, %zu pairs, %.1f neighbours "
                 "per anchor; pairs written in %.1f s\n",
                 plan.projects().size(), plan.anchor_count(), plan.pair_count(), big.uid.c_str(), big.anchors.size(),
                 big.pairs.size(),
                 2.0 * static_cast<double>(big.pairs.size()) / static_cast<double>(big.anchors.size()), took.count());
  }

  site_plan plan;
  database_file file;
};

site& shared_site() {
  static site s;
  return s;
}

void most_unrequested_anchor(benchmark::State& _state) {
  auto& storage = shared_site().file.storage();
  for (auto _ : _state) {
    benchmark::DoNotOptimize(storage.get_most_unrequested_anchor(big_project));
  }
}

void most_unrequested_measurements(benchmark::State& _state) {
  auto& s = shared_site();
  const auto& big = s.plan.big();
  static std::size_t next = 0;
  std::size_t returned = 0;
  for (auto _ : _state) {
    const int id = big.first_id + static_cast<int>(next++ % big.anchors.size());
    const auto due = s.file.storage().get_most_unrequested_measurements(id, now - 3600, now - 600, 30, false);
    returned += due.size();
  }
  _state.counters["pairs_returned"] =
      benchmark::Counter(static_cast<double>(returned), benchmark::Counter::kAvgIterations);
}

void overripe_measurements(benchmark::State& _state) {
  auto& storage = shared_site().file.storage();
  std::size_t returned = 0;
  for (auto _ : _state) {
    returned += storage.get_overripe_measurements(big_project, now - 1800, 3).size();
  }
  _state.counters["pairs_returned"] =
      benchmark::Counter(static_cast<double>(returned), benchmark::Counter::kAvgIterations);
}

template <typename Lookup>
void each_anchor(benchmark::State& _state, Lookup _lookup) {
  auto& s = shared_site();
  std::vector<const anchor*> anchors;
  for (const auto& project : s.plan.projects()) {
    for (const auto& body : project.anchors) {
      anchors.push_back(&body);
    }
  }
  std::shuffle(anchors.begin(), anchors.end(), std::mt19937(7));
  std::size_t next = 0;
  for (auto _ : _state) {
    auto found = _lookup(s.file.storage(), *anchors[next++ % anchors.size()]);
    if (!found) {
      _state.SkipWithError("anchor not found");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
}

void anchor_by_mac(benchmark::State& _state) {
  each_anchor(_state, [](internal_storage& _storage, const anchor& _a) { return _storage.get_anchor_by_mac(_a.mac); });
}

void anchor_by_node_id(benchmark::State& _state) {
  each_anchor(_state,
              [](internal_storage& _storage, const anchor& _a) { return _storage.get_anchor_by_node_id(_a.node_id); });
}

// A neighbour report arriving for one pair: read, append, trim, average, write.
void report_measurement(benchmark::State& _state) {
  auto& s = shared_site();
  const auto& pairs = s.plan.big().pairs;
  static std::size_t next = 0;
  static std::int64_t ts = now;
  for (auto _ : _state) {
    const auto& pair = pairs[next++ % pairs.size()];
    auto row = s.file.storage().get_measurement(pair.first, pair.second);
    if (!row) {
      _state.SkipWithError("pair not found");
      break;
    }
    history view(row->data);
    view.push_back({static_cast<std::uint32_t>(100 + next % 50), static_cast<std::uint64_t>(++ts)});
    view.cut_down_to_size(history_size);
    const auto average = view.get_adjusted_average_lqi();
    row->adjusted_average_measurement.lqi =
        average ? boost::optional<std::uint8_t>(static_cast<std::uint8_t>(*average)) : boost::none;
    row->adjusted_average_measurement.timestamp = ts;
    row->req_counter = {0, ts};
    if (!s.file.storage().update_measurement(*row)) {
      _state.SkipWithError("update refused");
      break;
    }
  }
}

void extended_measurements_of_one_anchor(benchmark::State& _state) {
  auto& s = shared_site();
  const auto& big = s.plan.big();
  static std::size_t next = 0;
  std::size_t returned = 0;
  for (auto _ : _state) {
    const int id = big.first_id + static_cast<int>(next++ % big.anchors.size());
    returned += s.file.storage().get_extended_measurements({id}).size();
  }
  _state.counters["pairs_returned"] =
      benchmark::Counter(static_cast<double>(returned), benchmark::Counter::kAvgIterations);
}

void extended_measurements_of_a_project(benchmark::State& _state) {
  auto& s = shared_site();
  const auto& project = s.plan.projects()[1];  // 100 anchors
  std::vector<int> ids;
  for (std::size_t i = 0; i < project.anchors.size(); ++i) {
    ids.push_back(project.first_id + static_cast<int>(i));
  }
  std::size_t returned = 0;
  for (auto _ : _state) {
    returned += s.file.storage().get_extended_measurements(ids).size();
  }
  _state.counters["pairs_returned"] =
      benchmark::Counter(static_cast<double>(returned), benchmark::Counter::kAvgIterations);
}

// Start-up on a fresh file: every pair of the big project written as the
// storage writes it, one statement (and one commit) at a time. The second
// argument wraps them all in one transaction, for comparison.
void build_pairs(benchmark::State& _state) {
  static site_plan plan;
  const auto& big = plan.big();
  const bool one_transaction = _state.range(0) != 0;
  for (auto _ : _state) {
    _state.PauseTiming();
    auto file = std::make_unique<database_file>(std::vector<const planned_project*>{&big});
    std::unique_ptr<SQLite::Transaction> transaction;
    _state.ResumeTiming();
    if (one_transaction) {
      transaction = std::make_unique<SQLite::Transaction>(file->database());
    }
    for (const auto& pair : big.pairs) {
      const measurement row(pair.first, pair.second, false, plan.battery(pair.first) || plan.battery(pair.second), {},
                            {}, {});
      if (!file->storage().add_measurement(row)) {
        _state.SkipWithError("pair refused");
        break;
      }
    }
    if (transaction) {
      transaction->commit();
    }
    _state.PauseTiming();
    file.reset();
    _state.ResumeTiming();
  }
  _state.SetItemsProcessed(_state.iterations() * static_cast<std::int64_t>(big.pairs.size()));
  _state.counters["pairs"] = static_cast<double>(big.pairs.size());
}

BENCHMARK(most_unrequested_anchor)->Unit(benchmark::kMicrosecond);
BENCHMARK(most_unrequested_measurements)->Unit(benchmark::kMicrosecond);
BENCHMARK(overripe_measurements)->Unit(benchmark::kMicrosecond);
BENCHMARK(anchor_by_mac)->Unit(benchmark::kMicrosecond);
BENCHMARK(anchor_by_node_id)->Unit(benchmark::kMicrosecond);
// Writes wait for the disk: wall time is what the loop loses.
BENCHMARK(report_measurement)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(extended_measurements_of_one_anchor)->Unit(benchmark::kMicrosecond);
BENCHMARK(extended_measurements_of_a_project)->Unit(benchmark::kMicrosecond);
BENCHMARK(build_pairs)->ArgName("one_transaction")->Arg(0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(build_pairs)->ArgName("one_transaction")->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavo::svel

BENCHMARK_MAIN();
