#pragma once

// Writes benchmark databases straight into SQLite, in one transaction and in
// the store's own format (inserting through the engine would sync every
// record). The engine creates the file first, so it has the engine's page
// size.

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/storage/stored_file.h"

namespace bench_data {

// Writes `count` records to a new database file at `path`: record i has
// the id make_id(i), the vector make_vector(i) and the metadata
// make_metadata(i) (an optional JsonValue). Ends the program on a failure.
template <typename MakeId, typename MakeVector, typename MakeMetadata>
void write_database(const std::string& path, std::size_t count, MakeId make_id, MakeVector make_vector,
                    MakeMetadata make_metadata) {
  std::remove(path.c_str());
  {
    auto created = quorvel::Engine::open(path);
    if (!created) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), created.error().message().c_str());
      std::exit(1);
    }
  }
  sqlite3* db = nullptr;
  const auto check = [&](bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s: %s failed: %s\n", path.c_str(), what, sqlite3_errmsg(db));
    std::exit(1);
  };
  check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "open");
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK, "begin");
  sqlite3_stmt* put = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO records (id, value) VALUES (?1, ?2)", -1, &put, nullptr) == SQLITE_OK,
        "prepare");
  for (std::size_t i = 0; i < count; ++i) {
    const quorvel::Record record{make_id(i), make_vector(i), make_metadata(i), std::nullopt};
    const auto value = quorvel::stored_form(record);
    check(value.has_value(), "writing a record's JSON form");
    sqlite3_bind_text(put, 1, record.id.data(), static_cast<int>(record.id.size()), SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, value->data(), static_cast<int>(value->size()), SQLITE_STATIC);
    check(sqlite3_step(put) == SQLITE_DONE, "insert");
    sqlite3_reset(put);
  }
  sqlite3_finalize(put);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, "commit");
  sqlite3_close(db);
}

// "r" and `i` with nine digits: ids whose byte order is their number's.
inline std::string numbered_id(std::size_t i) {
  char id[32];
  std::snprintf(id, sizeof id, "r%09zu", i);
  return id;
}

}  // namespace bench_data
