#pragma once

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "core/logger.h"
#include "internal_storage/internal_storage.h"

namespace kavo::svel {

// The storage over one SQLite connection, used from the loop thread only.
// Guarded writes log a failed execution and answer false; counted writes
// answer whether a row changed; reads and counted writes let errors out.
class internal_storage_impl : public internal_storage {
 public:
  // Brings the file to the current schema before anything else.
  internal_storage_impl(SQLite::Database& _database, const libs::core::component_logger& _logger);

  bool add_project(const std::string& _project_uid) override;
  bool update_project_last_req_ts(const std::string& _project_uid, int64_t _time) override;
  bool delete_project(const std::string& _project_uid) override;
  std::set<std::string> get_projects_uids() override;
  std::vector<saved_project> get_projects() override;

  bool add_area(const std::string& _area_uid, const std::string& _project_uid) override;
  boost::optional<saved_area> get_area(const std::string& _area_uid) override;
  bool update_area(const area& _area) override;
  bool update_area_last_req_ts(const std::string& _area_uid, int64_t _time) override;
  bool delete_area(const std::string& _area_uid) override;
  std::set<std::string> get_areas_uids() override;
  std::vector<saved_area> get_areas(boost::optional<const std::string&> _project_uid) override;

  bool add_anchor(const anchor& _anchor) override;
  boost::optional<saved_anchor> get_anchor(const std::string& _anchor_uid) override;
  boost::optional<saved_anchor> get_anchor(unsigned int _anchor_id) override;
  boost::optional<saved_anchor> get_anchor_by_node_id(unsigned int _node_id) override;
  boost::optional<saved_anchor> get_anchor_by_mac(const std::string& _mac) override;
  boost::optional<saved_anchor> get_most_unrequested_anchor(const std::string& _project_uid) override;
  bool update_anchor(const anchor& _anchor) override;
  bool update_anchor_last_req_ts(const std::string& _anchor_uid, int64_t _time) override;
  bool update_anchor_last_param_req_ts(const std::string& _anchor_uid, int64_t _time) override;
  bool update_anchor_parameter_requested(const std::string& _anchor_uid, bool _requested) override;
  bool delete_anchor(const std::string& _anchor_uid) override;
  std::set<std::string> get_anchors_uids() override;
  std::set<int> get_anchors_ids(const std::string& _project_uid) override;
  std::vector<saved_anchor> get_anchors(const std::string& _project_uid, const std::set<std::string>& _anchor_uids,
                                        boost::optional<const std::string&> _area_uid) override;

  bool add_measurement(const measurement& _measurement) override;
  bool update_measurement(const measurement& _measurement) override;
  bool update_measurement_req_counter(int _anchor_id_1, int _anchor_id_2, const counter& _counter) override;
  boost::optional<measurement> get_measurement(int _anchor_id_1, int _anchor_id_2) override;
  bool delete_measurement(int _anchor_id_1, int _anchor_id_2) override;
  bool clear_measurements(int _anchor_id) override;
  bool delete_measurements(int _anchor_id) override;
  std::vector<measurement> get_measurements(const std::set<int>& _anchor_ids) override;
  std::vector<extended_measurement> get_extended_measurements(const std::vector<int>& _anchor_ids) override;
  std::vector<measurement> get_most_unrequested_measurements(int _anchor_id, int64_t _max_lqi_timestamp,
                                                             int64_t _max_req_timestamp, unsigned int _limit,
                                                             bool _includes_battery_anchor) override;
  std::vector<measurement> get_overripe_measurements(const std::string& _project_uid, int64_t _max_timestamp,
                                                     unsigned int _max_counter) override;
  std::vector<measurement> get_temporary_measurements() override;

 private:
  static anchor make_anchor(SQLite::Statement& _query);
  static saved_anchor make_saved_anchor(SQLite::Statement& _query);
  static saved_area make_saved_area(SQLite::Statement& _query, std::string _area_uid);
  static measurement make_measurement(SQLite::Statement& _query);
  bool check_for_equality(int _anchor_id_1, int _anchor_id_2) const;

  void init_schema();
  void create_tables();
  void delete_all_tables();

  // Runs the statement; a failure is logged with the operation's location.
  bool execute_guarded(SQLite::Statement& _statement, const libs::core::source_location& _location) const;
  // A guarded write of one value to the row of one uid.
  bool update_by_uid(const char* _statement, const char* _uid_parameter, const std::string& _uid,
                     const char* _value_parameter, int64_t _value, const libs::core::source_location& _location);
  static void bind_anchor(SQLite::Statement& _statement, const anchor& _anchor);
  boost::optional<saved_anchor> first_anchor(SQLite::Statement& _query);
  std::vector<measurement> read_measurements(SQLite::Statement& _query);
  void bind_measurement(SQLite::Statement& _statement, const measurement& _measurement);

  const libs::core::component_logger& m_logger;
  SQLite::Database& m_database;
};

}  // namespace kavo::svel
