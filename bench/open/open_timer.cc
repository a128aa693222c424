// The C++ side of open_bench.py: writes a database file of random records,
// and times opening it, with the engine or with bare SQLite, in a fresh
// process each time (so that every first touch of memory is counted).
//
// Usage:
//   open_timer write <database> <records> <dimension> [<page size>]
//     writes <records> records of <dimension> random floats (normal
//     distribution, as stored by the engine) and metadata {"n": <i>} in
//     one transaction, in a file with the engine's page size or the one
//     given.
//   open_timer engine <database>
//     opens the engine and prints "<milliseconds> <records> <resident bytes
//     gained>".
//   open_timer engine-index <database> <m> <ef_construction>
//     opens the engine with an attached index of that configuration (the
//     rest as default_hnsw_config gives it) and prints what "engine" does;
//     the first such open builds the graph and keeps it in the companion,
//     later ones load it.
//   open_timer bare <database>
//     reads every stored value in key order with bare SQLite, without
//     parsing, and prints "<milliseconds> <bytes read>".

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>

#include "quorvel/core/engine.h"
#include "record_json.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The process's resident memory in bytes.
long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

int write(const char* path, std::size_t count, std::size_t dimension, std::size_t page_size) {
  sqlite3* db = nullptr;
  if (page_size == 0) {
    { (void)quorvel::Engine::open(path); }  // the table, with the engine's page size
    sqlite3_open(path, &db);
  } else {
    sqlite3_open(path, &db);
    const std::string pragma = "PRAGMA page_size=" + std::to_string(page_size);
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID",
                 nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* put = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO records VALUES (?1, ?2)", -1, &put, nullptr);
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::string value;
  for (std::size_t n = 0; n < count; ++n) {
    char id[32];
    std::snprintf(id, sizeof id, "r%09zu", n);
    quorvel::Record record{id, std::vector<float>(dimension), quorvel::JsonValue::make_object({{"n", quorvel::JsonValue(static_cast<std::uint64_t>(n))}}), std::nullopt};
    for (float& x : record.vector) x = normal(rng);
    value.clear();
    (void)quorvel::append_record_json(value, record);
    sqlite3_bind_text(put, 1, id, -1, SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    if (sqlite3_step(put) != SQLITE_DONE) {
      std::fprintf(stderr, "write failed: %s\n", sqlite3_errmsg(db));
      return 1;
    }
    sqlite3_reset(put);
  }
  sqlite3_finalize(put);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return 0;
}

int open_engine(const char* path, std::optional<quorvel::HnswConfig> index = std::nullopt) {
  const long before = resident_bytes();
  const auto start = Clock::now();
  quorvel::EngineOptions options;
  options.index = index;
  auto engine = quorvel::Engine::open(path, options);
  const double elapsed = milliseconds_since(start);
  if (!engine) {
    std::fprintf(stderr, "open failed: %s\n", engine.error().message().c_str());
    return 1;
  }
  std::printf("%.3f %zu %ld\n", elapsed, engine->get_all().size(), resident_bytes() - before);
  return 0;
}

int read_bare(const char* path) {
  const auto start = Clock::now();
  sqlite3* db = nullptr;
  sqlite3_open(path, &db);
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT value FROM records ORDER BY id", -1, &select, nullptr);
  std::size_t bytes = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    const void* blob = sqlite3_column_blob(select, 0);
    bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, 0)) + (blob != nullptr ? 0 : 1);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  std::printf("%.3f %zu\n", milliseconds_since(start), bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "write" && (argc == 5 || argc == 6)) {
    return write(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10),
                 argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 0);
  }
  if (mode == "engine" && argc == 3) return open_engine(argv[2]);
  if (mode == "bare" && argc == 3) return read_bare(argv[2]);
  if (mode == "engine-index" && argc == 5) {
    quorvel::HnswConfig config = quorvel::default_hnsw_config(std::strtoull(argv[3], nullptr, 10));
    config.ef_construction = std::strtoull(argv[4], nullptr, 10);
    return open_engine(argv[2], config);
  }
  std::fprintf(stderr, "usage: %s write <database> <records> <dimension> [<page size>] | engine <database> | "
               "engine-index <database> <m> <ef_construction> | bare <database>\n", argv[0]);
  return 2;
}
