#include "internal_storage/internal_storage_impl.h"

#include <string>

namespace kavo::svel {

namespace {

constexpr int schema_version = 4;

const char* const create_module_metadata = R"(
    CREATE TABLE IF NOT EXISTS module_metadata (
        key TEXT PRIMARY KEY,
        value TEXT
    )
)";

const char* const create_data_tables[] = {
    R"(
    CREATE TABLE IF NOT EXISTS projects (
        project_uid TEXT PRIMARY KEY,
        last_req_ts INTEGER NOT NULL DEFAULT 0
    )
)",
    R"(
    CREATE TABLE IF NOT EXISTS areas (
        area_uid TEXT PRIMARY KEY,
        project_uid TEXT NOT NULL,
        disabled INTEGER,
        expiration_timeout INTEGER,
        number_of_requests INTEGER,
        timeout_waiting_for_response INTEGER,
        timeout_between_requests INTEGER,
        number_of_anchors_in_request INTEGER,
        history_size INTEGER,
        last_req_ts INTEGER NOT NULL DEFAULT 0
    )
)",
    R"(
    CREATE TABLE IF NOT EXISTS anchors (
        anchor_id INTEGER PRIMARY KEY AUTOINCREMENT,
        anchor_uid TEXT UNIQUE NOT NULL,
        project_uid TEXT NOT NULL,
        mac TEXT NOT NULL,
        node_id INTEGER NOT NULL,
        area_uid TEXT NOT NULL,
        x INTEGER NOT NULL,
        y INTEGER NOT NULL,
        z INTEGER NOT NULL,
        battery INTEGER NOT NULL,
        last_req_ts INTEGER NOT NULL DEFAULT 0,
        last_param_req_ts INTEGER NOT NULL DEFAULT 0,
        parameter_requested INTEGER NOT NULL DEFAULT 0,
        FOREIGN KEY (project_uid)
            REFERENCES projects (project_uid)
                ON DELETE CASCADE
        FOREIGN KEY (area_uid)
            REFERENCES areas (area_uid)
                ON DELETE CASCADE
    )
)",
    R"(
    CREATE TABLE IF NOT EXISTS measurements (
        anchor_id_1 INTEGER NOT NULL,
        anchor_id_2 INTEGER NOT NULL,
        data BLOB,
        lqi INTEGER,
        timestamp INTEGER,
        flags INTEGER NOT NULL DEFAULT 0, /* bit 0 - temporary, bit 1 - includes_battery_anchor */
        req_count INTEGER NOT NULL DEFAULT 0,
        req_ts INTEGER NOT NULL DEFAULT 0,
        PRIMARY KEY (anchor_id_1, anchor_id_2),
        FOREIGN KEY (anchor_id_1)
            REFERENCES anchors (anchor_id)
            ON DELETE CASCADE,
        FOREIGN KEY (anchor_id_2)
            REFERENCES anchors (anchor_id)
            ON DELETE CASCADE
    )
)",
};

// Pairs are looked up by either anchor: the primary key serves anchor_id_1,
// this serves anchor_id_2 (without it every such query scans all pairs).
const char* const create_measurements_index =
    "CREATE INDEX IF NOT EXISTS measurements_anchor_id_2 ON measurements (anchor_id_2);";

const char* const drop_data_tables[] = {
    "DROP TABLE IF EXISTS projects;",
    "DROP TABLE IF EXISTS areas;",
    "DROP TABLE IF EXISTS anchors;",
    "DROP TABLE IF EXISTS measurements;",
};

const std::string anchor_query = R"(
    SELECT anchor_id, anchor_uid, project_uid, mac, node_id, area_uid,
           last_req_ts, last_param_req_ts, parameter_requested, x, y, z, battery
        FROM anchors
)";

const std::string area_columns = R"(
    disabled, expiration_timeout,
           number_of_requests, timeout_waiting_for_response,
           timeout_between_requests, number_of_anchors_in_request,
           history_size, last_req_ts
        FROM areas
)";

boost::optional<uint32_t> optional_unsigned(const SQLite::Column& _column) {
  if (!_column.isInteger()) {
    return boost::none;
  }
  return _column.getUInt();
}

template <typename T>
void bind_optional(SQLite::Statement& _statement, const char* _name, const boost::optional<T>& _value) {
  if (_value) {
    _statement.bind(_name, static_cast<uint32_t>(*_value));
  } else {
    _statement.bind(_name);
  }
}

template <typename T, typename Read>
T read_set(SQLite::Statement& _query, Read _read) {
  T values;
  while (_query.executeStep()) {
    values.insert(_read(_query.getColumn(0)));
  }
  return values;
}

}  // namespace

internal_storage_impl::internal_storage_impl(SQLite::Database& _database, const libs::core::component_logger& _logger)
    : m_logger(_logger), m_database(_database) {
  init_schema();
}

// --- schema ---

void internal_storage_impl::init_schema() {
  m_database.exec(create_module_metadata);
  SQLite::Statement version_query(m_database, "SELECT value FROM module_metadata WHERE key = 'schema_version';");
  // A missing, NULL or non-numeric version reads as 0: rebuild.
  const int stored_version = version_query.executeStep() ? version_query.getColumn(0).getInt() : 0;
  version_query.reset();  // a read still in progress makes DROP TABLE fail with "database table is locked"
  if (stored_version != schema_version) {
    delete_all_tables();
  }
  create_tables();
  SQLite::Statement record_version(m_database, R"(
    INSERT OR REPLACE INTO module_metadata (key, value)
    VALUES ('schema_version', :version);
)");
  record_version.bind(":version", schema_version);
  record_version.exec();
}

void internal_storage_impl::create_tables() {
  for (const char* statement : create_data_tables) {
    m_database.exec(statement);
  }
  m_database.exec(create_measurements_index);
}

void internal_storage_impl::delete_all_tables() {
  for (const char* statement : drop_data_tables) {
    m_database.exec(statement);
  }
}

// --- helpers ---

bool internal_storage_impl::execute_guarded(SQLite::Statement& _statement,
                                            const libs::core::source_location& _location) const {
  try {
    _statement.exec();
    return true;
  } catch (...) {
    m_logger.log_exception(_location);
    return false;
  }
}

internal_storage::anchor internal_storage_impl::make_anchor(SQLite::Statement& _query) {
  anchor result;
  result.anchor_uid = _query.getColumn("anchor_uid").getText();
  result.project_uid = _query.getColumn("project_uid").getText();
  result.mac = _query.getColumn("mac").getText();
  result.node_id = _query.getColumn("node_id").getUInt();
  result.area_uid = _query.getColumn("area_uid").getText();
  result.x = _query.getColumn("x").getInt64();
  result.y = _query.getColumn("y").getInt64();
  result.z = _query.getColumn("z").getInt64();
  result.battery = _query.getColumn("battery").getUInt() != 0;
  return result;
}

internal_storage::saved_anchor internal_storage_impl::make_saved_anchor(SQLite::Statement& _query) {
  saved_anchor result;
  result.id = _query.getColumn("anchor_id").getInt();
  result.last_req_ts = _query.getColumn("last_req_ts").getInt64();
  result.last_param_req_ts = _query.getColumn("last_param_req_ts").getInt64();
  result.parameter_requested = _query.getColumn("parameter_requested").getUInt() != 0;
  result.body = make_anchor(_query);
  return result;
}

internal_storage::saved_area internal_storage_impl::make_saved_area(SQLite::Statement& _query, std::string _area_uid) {
  saved_area result;
  result.body.area_uid = std::move(_area_uid);
  result.body.project_uid = _query.getColumn("project_uid").getText();
  if (const auto disabled = _query.getColumn("disabled"); disabled.isInteger()) {
    result.body.disabled = disabled.getInt64() != 0;
  }
  result.body.expiration_timeout = optional_unsigned(_query.getColumn("expiration_timeout"));
  result.body.number_of_requests = optional_unsigned(_query.getColumn("number_of_requests"));
  result.body.timeout_waiting_for_response = optional_unsigned(_query.getColumn("timeout_waiting_for_response"));
  result.body.timeout_between_requests = optional_unsigned(_query.getColumn("timeout_between_requests"));
  result.body.number_of_anchors_in_request = optional_unsigned(_query.getColumn("number_of_anchors_in_request"));
  result.body.history_size = optional_unsigned(_query.getColumn("history_size"));
  result.last_req_ts = _query.getColumn("last_req_ts").getInt64();
  return result;
}

bool internal_storage_impl::update_by_uid(const char* _statement, const char* _uid_parameter, const std::string& _uid,
                                          const char* _value_parameter, int64_t _value,
                                          const libs::core::source_location& _location) {
  SQLite::Statement statement(m_database, _statement);
  statement.bind(_uid_parameter, _uid);
  statement.bind(_value_parameter, _value);
  return execute_guarded(statement, _location);
}

void internal_storage_impl::bind_anchor(SQLite::Statement& _statement, const anchor& _anchor) {
  _statement.bind(":anchor_uid", _anchor.anchor_uid);
  _statement.bind(":project_uid", _anchor.project_uid);
  _statement.bind(":mac", _anchor.mac);
  _statement.bind(":node_id", _anchor.node_id);
  _statement.bind(":area_uid", _anchor.area_uid);
  _statement.bind(":x", _anchor.x);
  _statement.bind(":y", _anchor.y);
  _statement.bind(":z", _anchor.z);
  _statement.bind(":battery", _anchor.battery ? 1 : 0);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::first_anchor(SQLite::Statement& _query) {
  if (!_query.executeStep()) {
    return boost::none;
  }
  return make_saved_anchor(_query);
}

// --- projects ---

bool internal_storage_impl::add_project(const std::string& _project_uid) {
  SQLite::Statement statement(m_database, "INSERT OR IGNORE INTO projects ( project_uid ) VALUES ( :project_uid );");
  statement.bind(":project_uid", _project_uid);
  return execute_guarded(statement, CORE_LOCATION);
}

bool internal_storage_impl::update_project_last_req_ts(const std::string& _project_uid, int64_t _time) {
  return update_by_uid("UPDATE projects SET last_req_ts = :last_req_ts WHERE project_uid = :project_uid;",
                       ":project_uid", _project_uid, ":last_req_ts", _time, CORE_LOCATION);
}

bool internal_storage_impl::delete_project(const std::string& _project_uid) {
  SQLite::Statement statement(m_database, "DELETE FROM projects WHERE project_uid = :project_uid;");
  statement.bind(":project_uid", _project_uid);
  return statement.exec() > 0;
}

std::set<std::string> internal_storage_impl::get_projects_uids() {
  SQLite::Statement query(m_database, "SELECT project_uid FROM projects;");
  return read_set<std::set<std::string>>(query, [](const SQLite::Column& _c) { return std::string(_c.getText()); });
}

std::vector<internal_storage::saved_project> internal_storage_impl::get_projects() {
  SQLite::Statement query(m_database, "SELECT project_uid, last_req_ts FROM projects;");
  std::vector<saved_project> projects;
  while (query.executeStep()) {
    projects.push_back(
        saved_project{query.getColumn("last_req_ts").getInt64(), query.getColumn("project_uid").getText()});
  }
  return projects;
}

// --- areas ---

bool internal_storage_impl::add_area(const std::string& _area_uid, const std::string& _project_uid) {
  SQLite::Statement statement(m_database,
                              "INSERT INTO areas ( area_uid, project_uid ) VALUES ( :area_uid, :project_uid );");
  statement.bind(":area_uid", _area_uid);
  statement.bind(":project_uid", _project_uid);
  return execute_guarded(statement, CORE_LOCATION);
}

boost::optional<internal_storage::saved_area> internal_storage_impl::get_area(const std::string& _area_uid) {
  SQLite::Statement query(m_database,
                          "\n    SELECT project_uid," + area_columns + "        WHERE area_uid = :area_uid;\n");
  query.bind(":area_uid", _area_uid);
  if (!query.executeStep()) {
    return boost::none;
  }
  return make_saved_area(query, _area_uid);
}

bool internal_storage_impl::update_area(const area& _area) {
  SQLite::Statement statement(m_database, R"(
    UPDATE areas
    SET disabled = :disabled,
        expiration_timeout = :expiration_timeout,
        number_of_requests = :number_of_requests,
        timeout_waiting_for_response = :timeout_waiting_for_response,
        timeout_between_requests = :timeout_between_requests,
        number_of_anchors_in_request = :number_of_anchors_in_request,
        history_size = :history_size
    WHERE area_uid = :area_uid;
)");
  bind_optional(statement, ":disabled", _area.disabled);
  bind_optional(statement, ":expiration_timeout", _area.expiration_timeout);
  bind_optional(statement, ":number_of_requests", _area.number_of_requests);
  bind_optional(statement, ":timeout_waiting_for_response", _area.timeout_waiting_for_response);
  bind_optional(statement, ":timeout_between_requests", _area.timeout_between_requests);
  bind_optional(statement, ":number_of_anchors_in_request", _area.number_of_anchors_in_request);
  bind_optional(statement, ":history_size", _area.history_size);
  statement.bind(":area_uid", _area.area_uid);
  return execute_guarded(statement, CORE_LOCATION);
}

bool internal_storage_impl::update_area_last_req_ts(const std::string& _area_uid, int64_t _time) {
  return update_by_uid("UPDATE areas SET last_req_ts = :last_req_ts WHERE area_uid = :area_uid;", ":area_uid",
                       _area_uid, ":last_req_ts", _time, CORE_LOCATION);
}

bool internal_storage_impl::delete_area(const std::string& _area_uid) {
  SQLite::Statement statement(m_database, "DELETE FROM areas WHERE area_uid = :area_uid;");
  statement.bind(":area_uid", _area_uid);
  return statement.exec() > 0;
}

std::set<std::string> internal_storage_impl::get_areas_uids() {
  SQLite::Statement query(m_database, "SELECT area_uid FROM areas;");
  return read_set<std::set<std::string>>(query, [](const SQLite::Column& _c) { return std::string(_c.getText()); });
}

std::vector<internal_storage::saved_area> internal_storage_impl::get_areas(
    boost::optional<const std::string&> _project_uid) {
  std::string text = "\n    SELECT area_uid, project_uid," + area_columns;
  if (_project_uid) {
    text += "WHERE project_uid = :project_uid\n";
  }
  text += ";";
  SQLite::Statement query(m_database, text);
  if (_project_uid) {
    query.bind(":project_uid", *_project_uid);
  }
  std::vector<saved_area> areas;
  while (query.executeStep()) {
    areas.push_back(make_saved_area(query, query.getColumn("area_uid").getText()));
  }
  return areas;
}

// --- anchors ---

bool internal_storage_impl::add_anchor(const anchor& _anchor) {
  SQLite::Statement statement(
      m_database,
      "INSERT INTO anchors ( anchor_uid, project_uid, mac, node_id, area_uid, x, y, z, battery ) "
      "VALUES ( :anchor_uid, :project_uid, :mac, :node_id, :area_uid, :x, :y, :z, :battery );");
  bind_anchor(statement, _anchor);
  return execute_guarded(statement, CORE_LOCATION);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::get_anchor(const std::string& _anchor_uid) {
  SQLite::Statement query(m_database, anchor_query + "        WHERE anchor_uid = :anchor_uid;");
  query.bind(":anchor_uid", _anchor_uid);
  return first_anchor(query);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::get_anchor(unsigned int _anchor_id) {
  SQLite::Statement query(m_database, anchor_query + "        WHERE anchor_id = :anchor_id;");
  query.bind(":anchor_id", static_cast<uint32_t>(_anchor_id));
  return first_anchor(query);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::get_anchor_by_node_id(unsigned int _node_id) {
  SQLite::Statement query(m_database, anchor_query + "        WHERE node_id = :node_id;");
  query.bind(":node_id", static_cast<uint32_t>(_node_id));
  return first_anchor(query);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::get_anchor_by_mac(const std::string& _mac) {
  SQLite::Statement query(m_database, anchor_query + "        WHERE mac = :mac;");
  query.bind(":mac", _mac);
  return first_anchor(query);
}

boost::optional<internal_storage::saved_anchor> internal_storage_impl::get_most_unrequested_anchor(
    const std::string& _project_uid) {
  // SQLite takes the bare columns of an aggregate query from the row that
  // holds the minimum; without anchors it returns one row of NULLs.
  SQLite::Statement query(m_database, R"(
    SELECT anchor_id, anchor_uid, project_uid, mac, node_id, area_uid,
           min(last_req_ts) as last_req_ts, last_param_req_ts, parameter_requested, x, y, z, battery
        FROM anchors
        WHERE project_uid = :project_uid;
)");
  query.bind(":project_uid", _project_uid);
  if (!query.executeStep() || !query.getColumn("anchor_id").isInteger()) {
    return boost::none;
  }
  return make_saved_anchor(query);
}

bool internal_storage_impl::update_anchor(const anchor& _anchor) {
  SQLite::Statement statement(m_database, R"(
    UPDATE anchors
    SET project_uid = :project_uid,
        mac = :mac,
        node_id = :node_id,
        area_uid = :area_uid,
        x = :x,
        y = :y,
        z = :z,
        battery = :battery
    WHERE anchor_uid = :anchor_uid;
)");
  bind_anchor(statement, _anchor);
  return statement.exec() > 0;
}

bool internal_storage_impl::update_anchor_last_req_ts(const std::string& _anchor_uid, int64_t _time) {
  return update_by_uid("UPDATE anchors SET last_req_ts = :last_req_ts WHERE anchor_uid = :anchor_uid;", ":anchor_uid",
                       _anchor_uid, ":last_req_ts", _time, CORE_LOCATION);
}

bool internal_storage_impl::update_anchor_last_param_req_ts(const std::string& _anchor_uid, int64_t _time) {
  return update_by_uid("UPDATE anchors SET last_param_req_ts = :last_param_req_ts WHERE anchor_uid = :anchor_uid;",
                       ":anchor_uid", _anchor_uid, ":last_param_req_ts", _time, CORE_LOCATION);
}

bool internal_storage_impl::update_anchor_parameter_requested(const std::string& _anchor_uid, bool _requested) {
  return update_by_uid("UPDATE anchors SET parameter_requested = :parameter_requested WHERE anchor_uid = :anchor_uid;",
                       ":anchor_uid", _anchor_uid, ":parameter_requested", _requested ? 1 : 0, CORE_LOCATION);
}

bool internal_storage_impl::delete_anchor(const std::string& _anchor_uid) {
  SQLite::Statement statement(m_database, "DELETE FROM anchors WHERE anchor_uid = :anchor_uid;");
  statement.bind(":anchor_uid", _anchor_uid);
  return statement.exec() > 0;
}

std::set<std::string> internal_storage_impl::get_anchors_uids() {
  SQLite::Statement query(m_database, "SELECT anchor_uid FROM anchors;");
  return read_set<std::set<std::string>>(query, [](const SQLite::Column& _c) { return std::string(_c.getText()); });
}

std::set<int> internal_storage_impl::get_anchors_ids(const std::string& _project_uid) {
  SQLite::Statement query(m_database, "SELECT anchor_id FROM anchors WHERE project_uid = :project_uid;");
  query.bind(":project_uid", _project_uid);
  return read_set<std::set<int>>(query, [](const SQLite::Column& _c) { return _c.getInt(); });
}

std::vector<internal_storage::saved_anchor> internal_storage_impl::get_anchors(
    const std::string& _project_uid, const std::set<std::string>& _anchor_uids,
    boost::optional<const std::string&> _area_uid) {
  std::string text = anchor_query + "WHERE project_uid = :project_uid\n";
  if (_area_uid) {
    text += " AND area_uid = :area_uid";
  }
  if (!_anchor_uids.empty()) {
    text += " AND (";
    for (std::size_t k = 0; k < _anchor_uids.size(); ++k) {
      text += (k == 0 ? "" : " OR ") + std::string("anchor_uid = :anchor_uid") + std::to_string(k);
    }
    text += ")";
  }
  text += ";";

  SQLite::Statement query(m_database, text);
  query.bind(":project_uid", _project_uid);
  if (_area_uid) {
    query.bind(":area_uid", *_area_uid);
  }
  std::size_t k = 0;
  for (const auto& uid : _anchor_uids) {
    query.bind(":anchor_uid" + std::to_string(k++), uid);
  }
  std::vector<saved_anchor> anchors;
  while (query.executeStep()) {
    anchors.push_back(make_saved_anchor(query));
  }
  return anchors;
}

}  // namespace kavo::svel
