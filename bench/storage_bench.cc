// Record storage: durable inserts and deletes, open (load) of a large file,
// and get, each beside a baseline (bare SQLite on the same bytes, or inserts).

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/json/json_value.h"
#include "quorvel/storage/record.h"
#include "record_json.h"

namespace {

constexpr std::size_t kDimensions = 384;
constexpr std::size_t kLoadRecords = 100'000;

std::filesystem::path bench_dir() {
  static const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-bench-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  return dir;
}

quorvel::Record random_record(std::mt19937& rng, std::size_t n, std::size_t dimensions = kDimensions) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  quorvel::Record record{"id-" + std::to_string(n), std::vector<float>(dimensions), {}, {}};
  for (float& x : record.vector) x = uniform(rng);
  record.metadata = quorvel::JsonValue::make_object(
      {quorvel::JsonValue::Member{"n", quorvel::JsonValue(static_cast<std::uint64_t>(n))}});
  return record;
}

std::string json_of(const quorvel::Record& record) {
  std::string out;
  (void)quorvel::append_record_json(out, record);
  return out;
}

void check(int rc, sqlite3* db, benchmark::State& state) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) state.SkipWithError(sqlite3_errmsg(db));
}

// A file of `count` records of `dimensions` floats, written once in one
// transaction through bare SQLite (the engine made the table).
std::string write_file(const std::string& name, std::size_t count, std::size_t dimensions) {
  const std::string file = (bench_dir() / name).string();
  { (void)quorvel::Engine::open(file); }
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* put = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO records VALUES (?1, ?2)", -1, &put, nullptr);
  std::mt19937 rng(7);
  for (std::size_t n = 0; n < count; ++n) {
    const quorvel::Record record = random_record(rng, n, dimensions);
    const std::string value = json_of(record);
    sqlite3_bind_text(put, 1, record.id.data(), static_cast<int>(record.id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    sqlite3_step(put);
    sqlite3_reset(put);
  }
  sqlite3_finalize(put);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ::sync();  // So that no open pays for flushing the file's creation.
  return file;
}

// A file of kLoadRecords records, written once in one transaction.
const std::string& load_file() {
  static const std::string path = write_file("load.db", kLoadRecords, kDimensions);
  return path;
}

void BM_EngineInsert(benchmark::State& state) {
  const std::string path = (bench_dir() / "insert.db").string();
  std::filesystem::remove(path);
  auto engine = quorvel::Engine::open(path);
  std::mt19937 rng(1);
  std::size_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    quorvel::Record record = random_record(rng, n++);
    state.ResumeTiming();
    if (!engine->insert(record.id, std::move(record.vector), std::move(record.metadata))) {
      state.SkipWithError("insert failed");
    }
  }
  state.counters["commits/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EngineInsert)->UseRealTime()->MinTime(2.0);

// The baseline: one row of the same bytes committed by bare SQLite with the
// same durability (synchronous=FULL, exclusive locking), in each journal
// mode and with pages of 4 KiB (SQLite's default, and the store's) to 64 KiB.
// The store uses WAL, the fastest mode; larger pages make each commit write
// more.
constexpr const char* kJournalModes[] = {"PRAGMA journal_mode=WAL", "PRAGMA journal_mode=TRUNCATE",
                                         "PRAGMA journal_mode=PERSIST", "PRAGMA journal_mode=DELETE"};

void BM_BareSqliteCommit(benchmark::State& state) {
  const char* journal_mode = kJournalModes[state.range(0)];
  const std::string page_size = "PRAGMA page_size=" + std::to_string(state.range(1));
  state.SetLabel(std::string(journal_mode + 7) + " page_size=" + std::to_string(state.range(1)));
  const std::string path = (bench_dir() / "bare.db").string();
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-journal");
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  for (const char* sql : {"PRAGMA locking_mode=EXCLUSIVE", page_size.c_str(), journal_mode, "PRAGMA synchronous=FULL",
                          "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID"}) {
    check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, state);
  }
  sqlite3_stmt *begin, *put, *commit;
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO records VALUES (?1, ?2)", -1, &put, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  std::mt19937 rng(1);
  std::size_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const quorvel::Record record = random_record(rng, n++);
    const std::string value = json_of(record);
    state.ResumeTiming();
    check(sqlite3_step(begin), db, state);
    sqlite3_reset(begin);
    sqlite3_bind_text(put, 1, record.id.data(), static_cast<int>(record.id.size()), SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    check(sqlite3_step(put), db, state);
    sqlite3_reset(put);
    check(sqlite3_step(commit), db, state);
    sqlite3_reset(commit);
  }
  sqlite3_finalize(begin);
  sqlite3_finalize(put);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  state.counters["commits/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareSqliteCommit)
    ->Args({0, 4096})
    ->Args({0, 16384})
    ->Args({0, 32768})
    ->Args({0, 65536})
    ->Args({1, 4096})
    ->Args({2, 4096})
    ->Args({3, 4096})
    ->UseRealTime()
    ->MinTime(2.0);

// The engine's insert and the bare commit of the same bytes (4 KiB pages,
// as the store makes new files), in turn, round after round: syncs on this
// disk vary from second to second, and rounds side by side see the same.
void BM_InsertVsBareCommitPaired(benchmark::State& state) {
  constexpr int kPerRound = 100;
  const std::string engine_path = (bench_dir() / "paired-engine.db").string();
  const std::string bare_path = (bench_dir() / "paired-bare.db").string();
  std::filesystem::remove(engine_path);
  std::filesystem::remove(bare_path);
  sqlite3* db = nullptr;
  sqlite3_open(bare_path.c_str(), &db);
  for (const char* sql : {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA page_size=4096", "PRAGMA journal_mode=WAL",
                          "PRAGMA synchronous=FULL",
                          "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID"}) {
    check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, state);
  }
  sqlite3_stmt *begin, *put, *commit;
  auto engine = quorvel::Engine::open(engine_path);
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO records VALUES (?1, ?2)", -1, &put, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  std::mt19937 rng(1);
  std::size_t n = 0;
  std::vector<double> engine_rates, bare_rates;
  for (auto _ : state) {
    std::vector<quorvel::Record> records;
    std::vector<std::string> values;
    for (int i = 0; i < kPerRound; ++i) {
      records.push_back(random_record(rng, n++));
      values.push_back(json_of(records.back()));
    }
    const auto time_engine = [&] {
      const auto start = std::chrono::steady_clock::now();
      for (quorvel::Record& record : records) {
        if (!engine->insert(record.id, record.vector, record.metadata)) state.SkipWithError("insert failed");
      }
      engine_rates.push_back(kPerRound /
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    const auto time_bare = [&] {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < kPerRound; ++i) {
        sqlite3_step(begin);
        sqlite3_reset(begin);
        sqlite3_bind_text(put, 1, records[i].id.data(), static_cast<int>(records[i].id.size()), SQLITE_STATIC);
        sqlite3_bind_blob(put, 2, values[i].data(), static_cast<int>(values[i].size()), SQLITE_STATIC);
        check(sqlite3_step(put), db, state);
        sqlite3_reset(put);
        check(sqlite3_step(commit), db, state);
        sqlite3_reset(commit);
      }
      bare_rates.push_back(kPerRound /
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    // Each goes first in every other round, so that neither always follows
    // the other's writes.
    if (engine_rates.size() % 2 == 0) {
      time_engine();
      time_bare();
    } else {
      time_bare();
      time_engine();
    }
  }
  sqlite3_finalize(begin);
  sqlite3_finalize(put);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["engine_commits/s"] = median(engine_rates);
  state.counters["bare_commits/s"] = median(bare_rates);
  state.counters["engine/bare"] = median(engine_rates) / median(bare_rates);
}
BENCHMARK(BM_InsertVsBareCommitPaired)->UseRealTime()->Iterations(20);

// A delete beside an insert in a database of a million records: each a
// durable commit, plus the change to the record list (and, for a delete,
// nothing in proportion to the list). In turn, round after round, each
// going first in every other round; a round inserts kPerRound new records
// and deletes kPerRound stored ones, picked at random.
void BM_DeleteVsInsertPaired1M(benchmark::State& state) {
  constexpr std::size_t kRecords = 1'000'000;
  constexpr std::size_t kChurnDimensions = 64;
  constexpr int kPerRound = 100;
  const std::string path = write_file("churn.db", kRecords, kChurnDimensions);
  auto engine = quorvel::Engine::open(path);
  if (!engine || engine->get_all().size() != kRecords) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<std::size_t> doomed(kRecords);
  for (std::size_t i = 0; i < kRecords; ++i) doomed[i] = i;
  std::mt19937 rng(3);
  std::shuffle(doomed.begin(), doomed.end(), rng);
  std::size_t next_doomed = 0;
  std::size_t next_new = kRecords;
  std::vector<double> insert_seconds, delete_seconds;
  for (auto _ : state) {
    std::vector<quorvel::Record> records;
    for (int i = 0; i < kPerRound; ++i) records.push_back(random_record(rng, next_new++, kChurnDimensions));
    std::vector<std::string> ids;
    for (int i = 0; i < kPerRound; ++i) ids.push_back("id-" + std::to_string(doomed[next_doomed++]));
    const auto time_inserts = [&] {
      const auto start = std::chrono::steady_clock::now();
      for (quorvel::Record& record : records) {
        if (!engine->insert(record.id, std::move(record.vector), std::move(record.metadata))) {
          state.SkipWithError("insert failed");
        }
      }
      insert_seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    const auto time_deletes = [&] {
      const auto start = std::chrono::steady_clock::now();
      for (const std::string& id : ids) {
        if (!engine->remove(id)) state.SkipWithError("delete failed");
      }
      delete_seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    if (insert_seconds.size() % 2 == 0) {
      time_inserts();
      time_deletes();
    } else {
      time_deletes();
      time_inserts();
    }
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["insert_ms"] = 1e3 * median(insert_seconds) / kPerRound;
  state.counters["delete_ms"] = 1e3 * median(delete_seconds) / kPerRound;
  state.counters["delete/insert"] = median(delete_seconds) / median(insert_seconds);
}
BENCHMARK(BM_DeleteVsInsertPaired1M)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_EngineOpen100k(benchmark::State& state) {
  const std::string& path = load_file();
  for (auto _ : state) {
    auto engine = quorvel::Engine::open(path);
    if (!engine || engine->get_all().size() != kLoadRecords) state.SkipWithError("open failed");
    state.PauseTiming();
    { auto dropped = std::move(engine); }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_EngineOpen100k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The baseline: reading the same rows in key order with bare SQLite,
// without parsing them.
void BM_BareSqliteReadAll100k(benchmark::State& state) {
  const std::string& path = load_file();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT value FROM records ORDER BY id", -1, &select, nullptr);
    std::size_t bytes = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(select, 0));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  }
}
BENCHMARK(BM_BareSqliteReadAll100k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Parsing one stored record of 384 floats: the work that open spreads over
// the worker pool for every stored record. The records differ, as in a file,
// so that the branches of the number reader meet varied digits.
void BM_ReadRecordJson(benchmark::State& state) {
  std::mt19937 rng(5);
  std::vector<std::string> values;
  std::size_t bytes = 0;
  for (std::size_t n = 0; n < 512; ++n) {
    values.push_back(json_of(random_record(rng, n)));
    bytes += values.back().size();
  }
  std::size_t i = 0;
  for (auto _ : state) {
    auto record = quorvel::read_record_json(values[i++ % values.size()]);
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (bytes / values.size())));
}
BENCHMARK(BM_ReadRecordJson);

void BM_EngineGet100k(benchmark::State& state) {
  auto engine = quorvel::Engine::open(load_file());
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::size_t> pick(0, kLoadRecords - 1);
  std::vector<std::string> ids;
  for (int i = 0; i < 1024; ++i) ids.push_back("id-" + std::to_string(pick(rng)));
  std::size_t i = 0;
  for (auto _ : state) {
    auto result = engine->get(ids[i++ & 1023]);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_EngineGet100k);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(bench_dir());
  return 0;
}
