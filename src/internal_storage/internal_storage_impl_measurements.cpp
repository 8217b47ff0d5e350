// The measurement operations of internal_storage_impl.
#include <algorithm>
#include <string>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/replace.hpp>

#include "internal_storage/internal_storage_impl.h"

namespace kavo::svel {

namespace {

const std::string measurement_columns =
    "\n    SELECT anchor_id_1, anchor_id_2, data, lqi, timestamp, flags, req_count, req_ts\n        FROM "
    "measurements\n";

// (a, b) and (b, a) address the same row: the larger id is always anchor_id_1.
void bind_pair(SQLite::Statement& _statement, int _anchor_id_1, int _anchor_id_2) {
  _statement.bind(":anchor_id_bigger", std::max(_anchor_id_1, _anchor_id_2));
  _statement.bind(":anchor_id_smaller", std::min(_anchor_id_1, _anchor_id_2));
}

template <typename Ids>
std::string id_list(const Ids& _ids) {
  std::vector<std::string> texts;
  texts.reserve(_ids.size());
  for (const int id : _ids) {
    texts.push_back(std::to_string(id));
  }
  return boost::algorithm::join(texts, ", ");
}

void read_adjusted(SQLite::Statement& _query, std::vector<uint8_t>& _data,
                   internal_storage::lqi_measurment& _adjusted) {
  const auto data = _query.getColumn("data");
  if (data.isBlob()) {
    const auto* bytes = static_cast<const uint8_t*>(data.getBlob());
    _data.assign(bytes, bytes + data.getBytes());
  }
  if (const auto lqi = _query.getColumn("lqi"); lqi.isInteger()) {
    _adjusted.lqi = static_cast<uint8_t>(lqi.getInt64() & 0xff);
  }
  if (const auto timestamp = _query.getColumn("timestamp"); timestamp.isInteger()) {
    _adjusted.timestamp = timestamp.getInt64();
  }
}

}  // namespace

internal_storage::measurement internal_storage_impl::make_measurement(SQLite::Statement& _query) {
  measurement result;
  const auto flags = _query.getColumn("flags").getUInt();
  result.temporary = (flags & 1u) != 0;
  result.includes_battery_anchor = (flags & 2u) != 0;
  result.anchor_id_1 = _query.getColumn("anchor_id_1").getInt();
  result.anchor_id_2 = _query.getColumn("anchor_id_2").getInt();
  result.req_counter.value = _query.getColumn("req_count").getUInt();
  result.req_counter.timestamp = _query.getColumn("req_ts").getInt64();
  read_adjusted(_query, result.data, result.adjusted_average_measurement);
  return result;
}

bool internal_storage_impl::check_for_equality(int _anchor_id_1, int _anchor_id_2) const {
  if (_anchor_id_1 == _anchor_id_2) {
    m_logger.error("anchor_id_1 and anchor_id_1 are the same anchor").location(CORE_LOCATION);
    return false;
  }
  return true;
}

std::vector<internal_storage::measurement> internal_storage_impl::read_measurements(SQLite::Statement& _query) {
  std::vector<measurement> measurements;
  while (_query.executeStep()) {
    measurements.push_back(make_measurement(_query));
  }
  return measurements;
}

void internal_storage_impl::bind_measurement(SQLite::Statement& _statement, const measurement& _measurement) {
  bind_pair(_statement, _measurement.anchor_id_1, _measurement.anchor_id_2);
  if (_measurement.data.empty()) {
    _statement.bind(":data");
  } else {
    _statement.bind(":data", _measurement.data.data(), static_cast<int>(_measurement.data.size()));
  }
  const auto& adjusted = _measurement.adjusted_average_measurement;
  if (adjusted.lqi) {
    _statement.bind(":lqi", static_cast<int32_t>(*adjusted.lqi));
  } else {
    _statement.bind(":lqi");
  }
  if (adjusted.timestamp) {
    _statement.bind(":timestamp", *adjusted.timestamp);
  } else {
    _statement.bind(":timestamp");
  }
  _statement.bind(":flags", (_measurement.includes_battery_anchor ? 2 : 0) + (_measurement.temporary ? 1 : 0));
  _statement.bind(":req_count", _measurement.req_counter.value);
  _statement.bind(":req_ts", _measurement.req_counter.timestamp);
}

bool internal_storage_impl::add_measurement(const measurement& _measurement) {
  if (!check_for_equality(_measurement.anchor_id_1, _measurement.anchor_id_2)) {
    return false;
  }
  SQLite::Statement statement(m_database, R"(
    INSERT INTO measurements (
            anchor_id_1,
            anchor_id_2,
            data,
            lqi,
            timestamp,
            flags,
            req_count,
            req_ts )
        VALUES (
            :anchor_id_bigger,
            :anchor_id_smaller,
            :data,
            :lqi,
            :timestamp,
            :flags,
            :req_count,
            :req_ts )
    ;
)");
  bind_measurement(statement, _measurement);
  return execute_guarded(statement, CORE_LOCATION);
}

bool internal_storage_impl::update_measurement(const measurement& _measurement) {
  if (!check_for_equality(_measurement.anchor_id_1, _measurement.anchor_id_2)) {
    return false;
  }
  SQLite::Statement statement(m_database, R"(
    UPDATE measurements
    SET data = :data,
        lqi = :lqi,
        timestamp = :timestamp,
        flags = :flags,
        req_count = :req_count,
        req_ts = :req_ts
    WHERE   anchor_id_1 = :anchor_id_bigger
        AND anchor_id_2 = :anchor_id_smaller;
)");
  bind_measurement(statement, _measurement);
  return execute_guarded(statement, CORE_LOCATION);
}

bool internal_storage_impl::update_measurement_req_counter(int _anchor_id_1, int _anchor_id_2,
                                                           const counter& _counter) {
  if (!check_for_equality(_anchor_id_1, _anchor_id_2)) {
    return false;
  }
  SQLite::Statement statement(m_database, R"(
    UPDATE measurements
    SET req_count = :req_count,
        req_ts = :req_ts
    WHERE   anchor_id_1 = :anchor_id_bigger
        AND anchor_id_2 = :anchor_id_smaller;
)");
  bind_pair(statement, _anchor_id_1, _anchor_id_2);
  statement.bind(":req_count", _counter.value);
  statement.bind(":req_ts", _counter.timestamp);
  return execute_guarded(statement, CORE_LOCATION);
}

boost::optional<internal_storage::measurement> internal_storage_impl::get_measurement(int _anchor_id_1,
                                                                                      int _anchor_id_2) {
  if (!check_for_equality(_anchor_id_1, _anchor_id_2)) {
    return boost::none;
  }
  SQLite::Statement query(m_database, measurement_columns + R"(
        WHERE anchor_id_1 = :anchor_id_bigger
        AND anchor_id_2 = :anchor_id_smaller;
)");
  bind_pair(query, _anchor_id_1, _anchor_id_2);
  if (!query.executeStep()) {
    return boost::none;
  }
  return make_measurement(query);
}

bool internal_storage_impl::delete_measurement(int _anchor_id_1, int _anchor_id_2) {
  if (!check_for_equality(_anchor_id_1, _anchor_id_2)) {
    return false;
  }
  SQLite::Statement statement(m_database, R"(
    DELETE FROM measurements
        WHERE anchor_id_1 = :anchor_id_bigger
        AND anchor_id_2 = :anchor_id_smaller;
)");
  bind_pair(statement, _anchor_id_1, _anchor_id_2);
  return statement.exec() > 0;
}

bool internal_storage_impl::clear_measurements(int _anchor_id) {
  SQLite::Statement statement(m_database, R"(
    UPDATE measurements
    SET data = NULL,
        lqi = NULL,
        timestamp = NULL,
        req_count = 0,
        req_ts = 0
    WHERE anchor_id_1 = :anchor_id
        OR anchor_id_2 = :anchor_id;
)");
  statement.bind(":anchor_id", _anchor_id);
  return statement.exec() > 0;
}

bool internal_storage_impl::delete_measurements(int _anchor_id) {
  SQLite::Statement statement(m_database, R"(
    DELETE FROM measurements
        WHERE anchor_id_1 = :anchor_id
        OR anchor_id_2 = :anchor_id;
)");
  statement.bind(":anchor_id", _anchor_id);
  return statement.exec() > 0;
}

std::vector<internal_storage::measurement> internal_storage_impl::get_measurements(const std::set<int>& _anchor_ids) {
  const auto list = id_list(_anchor_ids);
  SQLite::Statement query(m_database, measurement_columns + "        WHERE anchor_id_1 IN (" + list +
                                          ") OR anchor_id_2 IN (" + list + ");");
  return read_measurements(query);
}

std::vector<internal_storage::extended_measurement> internal_storage_impl::get_extended_measurements(
    const std::vector<int>& _anchor_ids) {
  std::string text = R"(
    SELECT
        anchor_1_uid,
        anchor_1_mac,
        anchor_1_node_id,
        anchors.anchor_uid AS anchor_2_uid,
        anchors.mac AS anchor_2_mac,
        anchors.node_id AS anchor_2_node_id,
        data,
        lqi,
        timestamp
    FROM
    (
        SELECT
            anchors.anchor_uid AS anchor_1_uid,
            anchors.mac AS anchor_1_mac,
            anchors.node_id AS anchor_1_node_id,
            anchor_id_2,
            data,
            lqi,
            timestamp
        FROM measurements
        INNER JOIN anchors on anchors.anchor_id = measurements.anchor_id_1
        WHERE anchor_id_1 IN (%1%) OR anchor_id_2 IN (%1%)
    )
    INNER JOIN anchors on anchors.anchor_id = anchor_id_2;
)";
  boost::algorithm::replace_all(text, "%1%", id_list(_anchor_ids));
  SQLite::Statement query(m_database, text);
  std::vector<extended_measurement> measurements;
  while (query.executeStep()) {
    extended_measurement row;
    row.anchor_1 = {query.getColumn("anchor_1_uid").getText(), query.getColumn("anchor_1_mac").getText(),
                    query.getColumn("anchor_1_node_id").getUInt()};
    row.anchor_2 = {query.getColumn("anchor_2_uid").getText(), query.getColumn("anchor_2_mac").getText(),
                    query.getColumn("anchor_2_node_id").getUInt()};
    read_adjusted(query, row.data, row.adjusted_average_measurement);
    measurements.push_back(std::move(row));
  }
  return measurements;
}

std::vector<internal_storage::measurement> internal_storage_impl::get_most_unrequested_measurements(
    int _anchor_id, int64_t _max_lqi_timestamp, int64_t _max_req_timestamp, unsigned int _limit,
    bool _includes_battery_anchor) {
  SQLite::Statement query(m_database, R"(
    SELECT anchor_id_1, anchor_id_2, data, lqi, timestamp, flags, req_count, req_ts
        FROM (
            SELECT anchor_id_1, anchor_id_2, data, lqi, timestamp, flags, req_count, req_ts
                FROM measurements
                WHERE (     (anchor_id_1 = :anchor_id OR anchor_id_2 = :anchor_id)
                        AND ((timestamp IS NULL) OR (timestamp <= :max_lqi_timestamp))
                        AND (((flags >> 0) & 1) = 0) /* not temporary */
                        AND (((flags >> 1) & 1) = :includes_battery_anchor)
                )
        )
        WHERE ( req_ts <= :max_req_timestamp )
        ORDER BY req_ts ASC
        LIMIT :limit
    ;
)");
  query.bind(":anchor_id", _anchor_id);
  query.bind(":max_lqi_timestamp", _max_lqi_timestamp);
  query.bind(":max_req_timestamp", _max_req_timestamp);
  query.bind(":includes_battery_anchor", _includes_battery_anchor ? 1 : 0);
  query.bind(":limit", static_cast<uint32_t>(_limit));
  return read_measurements(query);
}

std::vector<internal_storage::measurement> internal_storage_impl::get_overripe_measurements(
    const std::string& _project_uid, int64_t _max_timestamp, unsigned int _max_counter) {
  SQLite::Statement query(m_database, R"(
    SELECT anchor_id_1, anchor_id_2, data, lqi, timestamp, flags, req_count, req_ts
        FROM measurements
        WHERE anchor_id_1 IN (
            SELECT anchor_id
                FROM anchors
                WHERE project_uid = :project_uid
            )
            AND req_count >= :max_counter
            AND req_ts <= :max_timestamp
    ;
)");
  query.bind(":project_uid", _project_uid);
  query.bind(":max_timestamp", _max_timestamp);
  query.bind(":max_counter", static_cast<uint32_t>(_max_counter));
  return read_measurements(query);
}

std::vector<internal_storage::measurement> internal_storage_impl::get_temporary_measurements() {
  SQLite::Statement query(m_database, measurement_columns + R"(
        WHERE (flags & 1) = 1 /* temporary */
    ;
)");
  return read_measurements(query);
}

}  // namespace kavo::svel
