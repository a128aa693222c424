// Exhaustive search against its two yardsticks, in one run, for N records of
// 384 floats and k = 10:
//   EngineSearch    Engine::search on the process-wide worker pool;
//   BandwidthFloor  reading the same vector bytes once with all worker
//                   threads: in place in the record list, and as one
//                   contiguous buffer of the same size;
//   PlainReference  the algorithm as written, done plainly: a scalar metric
//                   loop compiled for baseline x86-64 (this file has no
//                   -mavx), scored on the same pool into a SearchResult per
//                   record with copies of id and metadata, std::stable_sort,
//                   truncate;
//   SearchVsFloorPaired, PlainVsSearchPaired  the search and its yardsticks
//                   in turn, round after round, so that they meet the same
//                   load from whatever else runs on the machine.
// The database is written straight into SQLite in one transaction (inserting
// through the engine would sync every record), then opened by the engine.
// At the end the program prints the ratios of the paired medians.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "worker_pool.h"

namespace quorvel {
namespace {

constexpr std::size_t kDimension = 384;
constexpr std::uint64_t kK = 10;
constexpr const char* kLabels[] = {"tshirt", "trouser", "pullover", "dress", "coat",
                                   "sandal", "shirt", "sneaker", "bag", "boot"};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "search_bench: %s failed\n", what);
    std::exit(1);
  }
}

// Writes n records straight into a database file of the engine's format:
// vectors of small integers (short JSON text, so that writing and loading a
// million records stays quick; the search's speed does not depend on the
// values) and a small metadata object.
void write_database(const std::string& path, std::size_t n) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "open");
  check(sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; "
                     "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
                     "WITHOUT ROWID; BEGIN",
                     nullptr, nullptr, nullptr) == SQLITE_OK,
        "create");
  sqlite3_stmt* put = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO records (id, value) VALUES (?1, ?2)", -1, &put, nullptr) == SQLITE_OK,
        "prepare");
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> coordinate(-9, 9);
  std::string value;
  char id[32];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(id, sizeof id, "r%08zu", i);
    value = "{\"id\":\"";
    value += id;
    value += "\",\"vector\":[";
    for (std::size_t d = 0; d < kDimension; ++d) {
      if (d > 0) value += ',';
      value += std::to_string(coordinate(rng));
    }
    value += "],\"metadata\":{\"label\":\"";
    value += kLabels[i % 10];
    value += "\",\"n\":" + std::to_string(i) + "},\"timestamp\":null}";
    sqlite3_bind_text(put, 1, id, -1, SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    check(sqlite3_step(put) == SQLITE_DONE, "insert");
    sqlite3_reset(put);
  }
  sqlite3_finalize(put);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, "commit");
  sqlite3_close(db);
}

// One open engine of n records in a temporary directory, kept while the
// benchmarks of that n run.
struct Dataset {
  explicit Dataset(std::size_t n) : size(n) {
    char pattern[] = "/tmp/quorvel-search-bench-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    directory = pattern;
    const std::string path = directory + "/search.db";
    const auto start = std::chrono::steady_clock::now();
    write_database(path, n);
    const auto written = std::chrono::steady_clock::now();
    auto opened = Engine::open(path);
    check(opened.has_value(), "Engine::open");
    engine = std::make_unique<Engine>(std::move(*opened));
    std::fprintf(stderr, "%zu records: written in %.1f s, opened (loaded on %zu threads) in %.1f s\n", n,
                 std::chrono::duration<double>(written - start).count(), worker_pool().size(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - written).count());
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> coordinate(-9.0f, 9.0f);
    query.resize(kDimension);
    for (float& x : query) x = coordinate(rng);
  }
  ~Dataset() {
    engine.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  std::size_t size;
  std::string directory;
  std::unique_ptr<Engine> engine;
  std::vector<float> query;
};

Dataset& dataset(std::size_t n) {
  static std::unique_ptr<Dataset> current;
  if (!current || current->size != n) {
    current.reset();  // Free the previous one first.
    current = std::make_unique<Dataset>(n);
  }
  return *current;
}

// Mean wall time per iteration of each benchmark, for the closing ratios.
std::map<std::string, double>& mean_seconds() {
  static std::map<std::string, double> means;
  return means;
}

template <typename Body>
void timed(benchmark::State& state, const std::string& name, Body body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  mean_seconds()[name + "/" + std::to_string(state.range(0))] = seconds / static_cast<double>(state.iterations());
}

double seconds_of(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void BM_EngineSearch(benchmark::State& state) {
  Dataset& data = dataset(static_cast<std::size_t>(state.range(0)));
  timed(state, "EngineSearch", [&] {
    auto results = data.engine->search(data.query, kK);
    benchmark::DoNotOptimize(results);
  });
  state.SetBytesProcessed(state.iterations() * state.range(0) * kDimension * sizeof(float));
}

// Sums the bytes as 64-bit integers: integer addition may be reordered, so
// the loop vectorises and is limited by memory alone.
std::uint64_t sum_words(const float* data, std::size_t floats) {
  const auto* words = reinterpret_cast<const std::uint64_t*>(data);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < floats / 2; ++i) sum += words[i];
  return sum;
}

// Reads every record's vector once, in place, on the worker pool.
class InPlaceReader {
 public:
  explicit InPlaceReader(const RecordList& records) : records_(records), sums_(records.size()) {}
  void operator()() {
    run_on_worker_pool(records_.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) sums_[i] = sum_words(records_.vector(i).data(), records_.vector(i).size());
    });
    benchmark::DoNotOptimize(sums_.data());
  }

 private:
  const RecordList& records_;
  std::vector<std::uint64_t> sums_;
};

// Reads one contiguous buffer of the same size once, on the worker pool.
class ContiguousReader {
 public:
  explicit ContiguousReader(std::size_t floats)
      : buffer_(floats, 1.0f), sums_((floats + kChunk - 1) / kChunk) {}
  void operator()() {
    run_on_worker_pool(sums_.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t p = begin; p < end; ++p) {
        const std::size_t first = p * kChunk;
        sums_[p] = sum_words(buffer_.data() + first, std::min(kChunk, buffer_.size() - first));
      }
    });
    benchmark::DoNotOptimize(sums_.data());
  }

 private:
  static constexpr std::size_t kChunk = 4096;  // floats per part
  std::vector<float> buffer_;
  std::vector<std::uint64_t> sums_;
};

void BM_BandwidthFloorInPlace(benchmark::State& state) {
  Dataset& data = dataset(static_cast<std::size_t>(state.range(0)));
  InPlaceReader read(data.engine->get_all());
  timed(state, "BandwidthFloorInPlace", read);
  state.SetBytesProcessed(state.iterations() * state.range(0) * kDimension * sizeof(float));
}

void BM_BandwidthFloorContiguous(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  dataset(n);  // Same memory pressure as the other benchmarks of this n.
  ContiguousReader read(n * kDimension);
  timed(state, "BandwidthFloorContiguous", read);
  state.SetBytesProcessed(state.iterations() * state.range(0) * kDimension * sizeof(float));
}

// The search and both floors in turn, round after round, so that all three
// see the same load from whatever else runs on the machine; the medians
// give the ratios printed at the end.
void BM_SearchVsFloorPaired(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  Dataset& data = dataset(n);
  InPlaceReader read_in_place(data.engine->get_all());
  ContiguousReader read_contiguous(n * kDimension);
  std::vector<double> search, in_place, contiguous;
  for (auto _ : state) {
    search.push_back(seconds_of([&] { benchmark::DoNotOptimize(data.engine->search(data.query, kK)); }));
    in_place.push_back(seconds_of(std::ref(read_in_place)));
    contiguous.push_back(seconds_of(std::ref(read_contiguous)));
  }
  const std::string suffix = "/" + std::to_string(n);
  mean_seconds()["PairedSearch" + suffix] = median(search);
  mean_seconds()["PairedFloorInPlace" + suffix] = median(in_place);
  mean_seconds()["PairedFloorContiguous" + suffix] = median(contiguous);
  state.counters["search_ms"] = median(search) * 1e3;
  state.counters["floor_in_place_ms"] = median(in_place) * 1e3;
  state.counters["floor_contiguous_ms"] = median(contiguous) * 1e3;
}

// The cosine as written: eight running sums over blocks of eight, combined,
// then the tail; plain scalar code.
float plain_cosine(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t blocks_end = n - n % 8;
  float dot[8] = {}, aa[8] = {}, bb[8] = {};
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    for (std::size_t p = 0; p < 8; ++p) {
      dot[p] += a[i + p] * b[i + p];
      aa[p] += a[i + p] * a[i + p];
      bb[p] += b[i + p] * b[i + p];
    }
  }
  auto combine = [](const float* s) { return (((s[0] + s[1]) + s[2]) + s[3]) + (((s[4] + s[5]) + s[6]) + s[7]); };
  float d = combine(dot), x = combine(aa), y = combine(bb);
  for (std::size_t i = blocks_end; i < n; ++i) {
    d += a[i] * b[i];
    x += a[i] * a[i];
    y += b[i] * b[i];
  }
  if (x == 0.0f || y == 0.0f) return 0.0f;
  return d / (std::sqrt(x) * std::sqrt(y));
}

// The written algorithm done plainly: a result with copies of id and
// metadata for every record, scored on the pool, stable sort, truncate.
std::vector<SearchResult> plain_search(const RecordList& records, const std::vector<float>& query) {
  std::vector<SearchResult> all(records.size());
  run_on_worker_pool(records.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      all[i] = SearchResult{std::string(records.id(i)), records.metadata(i), plain_cosine(query, records.vector(i))};
    }
  });
  std::stable_sort(all.begin(), all.end(),
                   [](const SearchResult& x, const SearchResult& y) { return x.score > y.score; });
  all.resize(std::min<std::size_t>(kK, all.size()));
  return all;
}

void BM_PlainReference(benchmark::State& state) {
  Dataset& data = dataset(static_cast<std::size_t>(state.range(0)));
  std::vector<SearchResult> kept;
  timed(state, "PlainReference", [&] {
    kept = plain_search(data.engine->get_all(), data.query);
    benchmark::DoNotOptimize(kept);
  });
  // Both ways must agree, or the comparison means nothing.
  check(kept == data.engine->search(data.query, kK), "comparing the plain reference with Engine::search");
  state.SetBytesProcessed(state.iterations() * state.range(0) * kDimension * sizeof(float));
}

// The plain reference and the search in turn, round after round, like the
// floors above.
void BM_PlainVsSearchPaired(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  Dataset& data = dataset(n);
  std::vector<double> plain, search;
  for (auto _ : state) {
    plain.push_back(seconds_of([&] { benchmark::DoNotOptimize(plain_search(data.engine->get_all(), data.query)); }));
    search.push_back(seconds_of([&] { benchmark::DoNotOptimize(data.engine->search(data.query, kK)); }));
  }
  const std::string suffix = "/" + std::to_string(n);
  mean_seconds()["PairedPlain" + suffix] = median(plain);
  mean_seconds()["PairedSearchAgainstPlain" + suffix] = median(search);
  state.counters["plain_ms"] = median(plain) * 1e3;
  state.counters["search_ms"] = median(search) * 1e3;
}

void register_all() {
  for (std::int64_t n : {100'000, 1'000'000}) {
    for (auto [name, function] : {std::pair{"EngineSearch", &BM_EngineSearch},
                                  std::pair{"BandwidthFloorInPlace", &BM_BandwidthFloorInPlace},
                                  std::pair{"BandwidthFloorContiguous", &BM_BandwidthFloorContiguous},
                                  std::pair{"PlainReference", &BM_PlainReference}}) {
      benchmark::RegisterBenchmark(name, function)->Arg(n)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
    }
    benchmark::RegisterBenchmark("SearchVsFloorPaired", &BM_SearchVsFloorPaired)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(15);
    benchmark::RegisterBenchmark("PlainVsSearchPaired", &BM_PlainVsSearchPaired)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(5);
  }
}

// The ratios of the paired medians.
void print_ratios() {
  const auto& means = mean_seconds();
  const auto ratio = [&](const std::string& x, const std::string& y, std::int64_t n) {
    const auto a = means.find(x + "/" + std::to_string(n));
    const auto b = means.find(y + "/" + std::to_string(n));
    if (a == means.end() || b == means.end()) return;
    std::printf("N=%-8lld %s / %s = %.2f\n", static_cast<long long>(n), x.c_str(), y.c_str(), a->second / b->second);
  };
  std::printf("worker threads: %zu\n", worker_pool().size());
  for (std::int64_t n : {100'000, 1'000'000}) {
    ratio("PairedSearch", "PairedFloorContiguous", n);
    ratio("PairedSearch", "PairedFloorInPlace", n);
    ratio("PairedPlain", "PairedSearchAgainstPlain", n);
  }
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quorvel::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  quorvel::print_ratios();
  return 0;
}
