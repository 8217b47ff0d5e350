#pragma once

#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

namespace kavo::svel::test_doubles {

// Rows of a query as text ("NULL" for NULL): what tests compare to show
// what an operation wrote, or that it wrote nothing.
using table_rows = std::vector<std::vector<std::string>>;

inline table_rows query_rows(SQLite::Database& _database, const std::string& _sql) {
  SQLite::Statement statement(_database, _sql);
  table_rows rows;
  while (statement.executeStep()) {
    std::vector<std::string> row;
    for (int column = 0; column < statement.getColumnCount(); ++column) {
      const auto value = statement.getColumn(column);
      row.push_back(value.isNull() ? "NULL" : value.getString());
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// Every pair in key order, the history blob as hex.
inline table_rows measurement_rows(SQLite::Database& _database) {
  return query_rows(_database,
                    "SELECT anchor_id_1, anchor_id_2, quote(data), lqi, timestamp, flags, req_count, req_ts FROM "
                    "measurements ORDER BY anchor_id_1, anchor_id_2;");
}

}  // namespace kavo::svel::test_doubles
