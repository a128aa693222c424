#pragma once

#include <cstdint>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvel/index/metric.h"
#include "quorvel/storage/json_value.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/record_store.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

// One record as the engine hands it out: copies of its id and metadata, and
// its score against a query (0.0 from get()).
struct SearchResult {
  std::string id;
  std::optional<JsonValue> metadata;
  float score = 0.0f;

  friend bool operator==(const SearchResult&, const SearchResult&) = default;
};

// The error value of every fallible engine operation: the record store's
// error, unchanged.
struct EngineError {
  StorageError storage;

  // "Storage error: " followed by the store's message.
  std::string message() const;
  friend bool operator==(const EngineError&, const EngineError&) = default;
};

// How an engine is opened. The defaults are what the Python module uses.
struct EngineOptions {
  // The metric that search() scores and ranks with, for the engine's life.
  Metric metric = Metric::Cosine;
  // The threads that parse the file at open and score each search, the
  // caller's included (at least 1, at most 1024). Nothing means the
  // process-wide pool, sized from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS,
  // else the hardware thread count. Results never depend on it.
  std::optional<std::size_t> worker_threads;
};

class WorkerPool;

// One open database file. Reads are answered from the in-memory record list;
// every change is committed to the file before the list changes. The engine
// holds the file locked for its life; only the process that opened it
// changes it (a forked child can read), and only while the path still names
// the file that was opened (see RecordStore).
//
// Not thread-safe: insert and remove need exclusive access; get, get_all and
// search need shared access and may run concurrently with each other.
class Engine {
 public:
  // Opens or creates the database at `path` and loads every stored record,
  // in ascending byte order of the ids, parsing the stored values on the
  // engine's workers. Fails with the store's error.
  [[nodiscard]] static std::expected<Engine, EngineError> open(const std::string& path,
                                                               const EngineOptions& options = {});

  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  ~Engine();

  // Stores a record without timestamp under `id`, replacing one stored under
  // the same id (in the file, and in place in the record list). Accepts any
  // id, vector length and metadata that the file can hold; fails with the
  // store's error, and then nothing changes.
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata);

  // The record stored under `id`, as a copy with score 0.0, or nothing.
  std::optional<SearchResult> get(std::string_view id) const;

  // The whole record list, first to last, seen in place. Valid until the
  // next insert or remove; callers copy what they keep.
  const RecordList& get_all() const { return store_.records(); }

  // Removes the record stored under `id`; succeeds whether or not there was
  // one. Fails with the store's error, and then nothing changes.
  [[nodiscard]] std::expected<void, EngineError> remove(std::string_view id);

  // The k records closest to `query` under the engine's metric, best first:
  // min(k, number of records) results, each with copies of the record's id
  // and metadata and its score, metric_value(metric(), query, vector).
  //
  // The order is that of a stable sort of all records by score in the
  // metric's direction (highest first for Cosine and DotProduct, lowest
  // first for Euclidean and Manhattan), so equal scores keep record-list
  // order; -0.0 and 0.0 are equal. NaN scores rank after every number, in
  // record-list order among themselves.
  //
  // Scores every record on the engine's workers (see EngineOptions); the
  // results do not depend on their number. Reads `query` only; accepts any
  // length of query and of stored vectors; never fails. Copies ids and
  // metadata of the returned records only.
  std::vector<SearchResult> search(std::span<const float> query, std::uint64_t k) const;

  // The metric that search() scores and ranks with.
  Metric metric() const { return metric_; }

 private:
  Engine(RecordStore store, Metric metric, std::unique_ptr<WorkerPool> own_pool, WorkerPool& pool);

  RecordStore store_;
  Metric metric_;
  std::unique_ptr<WorkerPool> own_pool_;  // when the options name a worker count
  WorkerPool* pool_;                      // own_pool_, or the process-wide pool
};

}  // namespace quorvel
