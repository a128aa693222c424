#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"
#include "quorvel/json/json_value.h"
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
// error, unchanged, or an index configuration that cannot work.
struct EngineError {
  enum class Kind {
    Storage,      // `storage` says what failed
    IndexConfig,  // `detail` says what is wrong with the HnswConfig
  };

  Kind kind = Kind::Storage;
  StorageError storage;
  std::string detail;

  // "Storage error: " followed by the store's message, or "Index config
  // error: " followed by `detail`.
  std::string message() const;
  friend bool operator==(const EngineError&, const EngineError&) = default;
};

// How an engine is opened. The defaults are what the Python module uses.
struct EngineOptions {
  // The metric that search() scores and ranks with, and the attached index
  // too, for the engine's life.
  Metric metric = Metric::Cosine;
  // The threads that parse the file at open and score each exhaustive
  // search, the caller's included (at least 1, at most 1024). Nothing means
  // the process-wide pool, sized from RAYON_NUM_THREADS, else
  // RAYON_RS_NUM_CPUS, else the hardware thread count. Results never depend
  // on it.
  std::optional<std::size_t> worker_threads;
  // When given, an HNSW index with this configuration is built over the
  // loaded records and kept in step with them (see attach_index()).
  std::optional<HnswConfig> index;
};

// A metadata condition of a search: the record's metadata must be a JSON
// object that holds `key` with a value equal to `value` (same kind, equal
// value; the integer 1 never equals the float 1.0).
struct MetadataFilter {
  std::string key;
  JsonValue value;
};

// The full input of Engine::search.
struct SearchRequest {
  std::vector<float> query;
  std::uint64_t k = 0;
  // Conditions every result must meet; empty: every record takes part.
  std::vector<MetadataFilter> filters;
  // With `now` and a record's timestamp before it, the record's score is
  // multiplied by decay^(age in days), all in 32-bit floats.
  std::optional<float> decay;
  std::optional<std::uint64_t> now;  // in the same seconds as the timestamps
};

class AttachedIndex;
class WorkerPool;

// One open database file. Reads are answered from the in-memory record list;
// every change is committed to the file before the list changes. The engine
// holds the file locked for its life; only the process that opened it
// changes it (a forked child can read), and only while the path still names
// the file that was opened (see RecordStore).
//
// A removal costs one commit and work for that record alone: it frees the
// record's slot in the record list (see RecordList), and the list is
// compacted once free slots pass their share, so that compaction's linear
// cost is spread over many removals.
//
// An HNSW index may be attached. Its node numbers are the positions of the
// record list, which has no free slots while an index is attached: a new
// record is inserted into it, and a removal (which compacts the list at
// once) or a re-insert (which changes a stored vector in place) rebuilds it
// from the list. The index serves searches without filters and decay.
//
// Not thread-safe: insert, remove, attach_index and detach_index need
// exclusive access; the other members need shared access and may run
// concurrently with each other.
class Engine {
 public:
  // Opens or creates the database at `path` and loads every stored record,
  // in ascending byte order of the ids, parsing the stored values on the
  // engine's workers; then builds the index that `options` names. Fails
  // with IndexConfig, before the file is touched, for an index
  // configuration that cannot work (see attach_index), or with the store's
  // error.
  [[nodiscard]] static std::expected<Engine, EngineError> open(const std::string& path,
                                                               const EngineOptions& options = {});

  // Writes a new database at `path`, which must not exist, holding
  // `records` as insert_all() into a new database would (of records with
  // one id, the last), in one pass without a journal, and its companion
  // beside it (see RecordStore::write_new): the fast way into a new
  // database. Write it under a name of its own and move it into place when
  // this returns. Fails as insert_all() does, and with the store's errors
  // of creating the file; the file and its companion may then be left
  // partly written, for the caller to remove.
  [[nodiscard]] static std::expected<void, EngineError> write_new(const std::string& path,
                                                                  std::vector<Record> records,
                                                                  const EngineOptions& options = {},
                                                                  std::size_t* refused = nullptr);

  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  ~Engine();

  // Stores a record under `id`, replacing one stored under the same id (in
  // the file, and in place in the record list), with no timestamp, or with
  // `timestamp` (seconds) in the overload. Accepts any id, vector length
  // and metadata that the file can hold; fails with the store's error, and
  // then nothing changes.
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata);
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata,
                                                        std::optional<std::uint64_t> timestamp);

  // Stores every record of `records` in one transaction (one commit, one
  // sync), as if each had been inserted in turn. Fails with the store's
  // error, and then nothing changes; for a record without a JSON form that
  // reads back its index goes to `*refused` when given.
  [[nodiscard]] std::expected<void, EngineError> insert_all(std::vector<Record> records,
                                                            std::size_t* refused = nullptr);

  // The record stored under `id`, as a copy with score 0.0, or nothing.
  std::optional<SearchResult> get(std::string_view id) const;

  // The whole record list, first to last, seen in place: iteration gives
  // exactly the stored records, in order (a position may be a free slot,
  // see RecordList). Valid until the next insert, remove or attach_index;
  // callers copy what they keep.
  const RecordList& get_all() const { return store_.records(); }

  // Removes the record stored under `id`; succeeds whether or not there was
  // one. Fails with the store's error, and then nothing changes. Compacts
  // the record list when its free slots are due (RecordList::compaction_due)
  // or an index is attached.
  [[nodiscard]] std::expected<void, EngineError> remove(std::string_view id);

  // The k records closest to `query` under the engine's metric, best first:
  // the request with no filters and no decay.
  std::vector<SearchResult> search(std::span<const float> query, std::uint64_t k) const;

  // Answers `request`. With an index attached, no filters and no decay (now
  // alone does not matter), the index answers: up to k records in the order
  // it finds them, each scored with the metric value. Otherwise every
  // record is scored (the exhaustive search): records that fail a filter
  // take no part, decay lowers the scores of records older than now, and
  // the results are min(k, taking part) records in the order of a stable
  // sort by score in the metric's direction (highest first for Cosine and
  // DotProduct, lowest first for Euclidean and Manhattan), so equal scores
  // keep record-list order; -0.0 and 0.0 are equal; NaN scores rank after
  // every number, in record-list order among themselves.
  //
  // The exhaustive search scores on the engine's workers (see
  // EngineOptions); the results do not depend on their number. Accepts any
  // length of query and of stored vectors; never fails. Copies ids and
  // metadata of the returned records only.
  std::vector<SearchResult> search(const SearchRequest& request) const;

  // The metric that search() scores and ranks with.
  Metric metric() const { return metric_; }

  // Builds an HNSW index with `config` over every record, in list order
  // (node number = position, after the list is compacted), and attaches it
  // in place of any attached before. Fails with IndexConfig, building nothing, when ml is NaN,
  // infinite, negative, or so large that a level could exceed
  // kHighestIndexLevel. Zero bounds are allowed.
  [[nodiscard]] std::expected<void, EngineError> attach_index(const HnswConfig& config);

  // Makes the attached index's searches use a result list of `ef_search`
  // (raised to k when k is larger) from now on; the graph stays as it is.
  // No effect without an index.
  void set_index_ef_search(std::uint64_t ef_search);

  // Drops the attached index, if any; searches then score every record.
  void detach_index();

  // Whether an index is attached.
  bool has_index() const { return index_ != nullptr; }

  // The attached index, or nullptr.
  const HnswIndex* index() const;

  // The highest level that an index configuration may let a node draw.
  static constexpr std::uint64_t kHighestIndexLevel = 64;

 private:
  Engine(RecordStore store, Metric metric, std::unique_ptr<WorkerPool> own_pool, WorkerPool& pool);

  // Brings the attached index in step after a committed insert: a new id
  // at position `position` is inserted at the level `level_word` gives, a
  // replaced one rebuilds the index.
  void index_inserted(std::size_t position, bool replaced, std::uint32_t level_word);

  // Writes the companion file afresh, with the engine's sections.
  void write_snapshot();
  // Ends the companion's upkeep as the engine is dropped: writes it afresh
  // when it is due, or when the graph was built again since it was written.
  void close_snapshot() noexcept;

  // Brings the cached sums of squares in step after a committed change: the
  // entry at `position` when given, else every entry. If memory runs short
  // the cache goes, and searches compute every sum again.
  void squares_changed(std::optional<std::size_t> position);

  // Closes the record list's free slots, moving the cached sums of squares
  // along with their entries.
  void compact_records() noexcept;

  RecordStore store_;
  Metric metric_;
  std::unique_ptr<WorkerPool> own_pool_;  // when the options name a worker count
  WorkerPool* pool_;                      // own_pool_, or the process-wide pool
  std::unique_ptr<AttachedIndex> index_;
  // Under Cosine, every stored vector's sum of squares, by position (free
  // slots included, their values unused), so that a search computes one sum
  // per record instead of three (same bits).
  std::vector<float> squares_;
  // The attached graph was built again (or attached) since the companion
  // was last written whole: its stored graph no longer serves.
  bool graph_rebuilt_ = false;
};

}  // namespace quorvel
