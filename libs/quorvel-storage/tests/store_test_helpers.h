#pragma once

// Helpers shared by the record store's test suites.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quorvel/storage/record_store.h"

namespace quorvel::testing {

// Runs SQL on a file through a plain SQLite connection, as another program
// (or an older version of this one) would.
inline void run_sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// The whole content of a file.
inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The ids of the store's records, in list order.
inline std::vector<std::string> ids_of(const RecordStore& store) {
  std::vector<std::string> ids;
  for (const RecordView& record : store.records()) ids.emplace_back(record.id);
  return ids;
}

}  // namespace quorvel::testing
