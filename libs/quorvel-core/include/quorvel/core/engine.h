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
// error, unchanged, an index configuration that cannot work, or a vector
// whose length breaks a fixed dimension.
struct EngineError {
  enum class Kind {
    Storage,      // `storage` says what failed
    IndexConfig,  // `detail` says what is wrong with the HnswConfig
    Dimension,    // `detail` names the lengths that differ
  };

  Kind kind = Kind::Storage;
  StorageError storage;
  std::string detail;

  // "Storage error: " followed by the store's message, "Index config
  // error: " or "Dimension error: " followed by `detail`.
  std::string message() const;
  friend bool operator==(const EngineError&, const EngineError&) = default;
};

// The rule that every vector of a database has one length.
struct FixedDimension {
  // That length. Nothing: the length of the records stored (which must all
  // agree), or in a database without records that of the first record
  // inserted.
  std::optional<std::size_t> length;
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
  // When given, every vector must have one length, the dimension: every
  // record loaded, inserted or searched for (see check_dimension()).
  // Absent, vectors of any lengths are stored and searched side by side.
  std::optional<FixedDimension> fixed_dimension;
  // When given, told the records inserted into that index so far while
  // open() builds it, after each one. Changes nothing else.
  ProgressReport index_progress;
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
  // demoted by the factor decay^(age in days), all in 32-bit floats: a
  // Cosine or DotProduct score of at least 0 is multiplied by it, a
  // negative one and a Euclidean or Manhattan distance divided by it. With
  // a decay in (0, 1] an older record never ranks before a newer one of
  // equal score.
  std::optional<float> decay;
  std::optional<std::uint64_t> now;  // in the same seconds as the timestamps
  // With filters, no decay and an index attached: search the index's graph
  // for records that pass the filters, instead of scoring every record
  // that passes (see Engine::search). No effect otherwise.
  bool filter_through_index = false;
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
// An HNSW index may be attached. By default its node numbers are the
// positions of the record list, which has no free slots while an index is
// attached: a new record is inserted into it, and a removal (which compacts
// the list at once) or a re-insert (which changes a stored vector in place)
// rebuilds it from the list. With retire_deleted in its configuration, a
// removal or a re-insert retires the record's node instead (it stays in the
// graph as a waypoint that no search returns; a re-inserted record gets a
// new node), the engine keeps the map between nodes and positions, and the
// graph is compacted once the retired nodes pass retired_share of its
// nodes, or on compact_index(). The index serves searches without filters
// and decay, and searches with filters that ask for it.
//
// Not thread-safe: insert, insert_all, remove, attach_index,
// compact_index, set_index_ef_search and detach_index need exclusive access; the other
// members need shared access and may run concurrently with each other
// (several searches at once share the worker pool).
class Engine {
 public:
  // Opens or creates the database at `path` and loads every stored record,
  // in ascending byte order of the ids, parsing the stored values on the
  // engine's workers; then builds the index that `options` names. Fails
  // with IndexConfig, before the file is touched, for an index
  // configuration that cannot work (see attach_index); with Dimension when
  // the options fix a dimension and a stored record's length differs from
  // it (or, with no length given, from the first record's); with
  // IndexConfig, once the records are loaded, when an index is named and
  // there are more records than an index can number (kHnswMostSlots); or
  // with the store's error.
  [[nodiscard]] static std::expected<Engine, EngineError> open(const std::string& path,
                                                               const EngineOptions& options = {});

  // Writes a new database at `path`, which must not exist, holding
  // `records` as insert_all() into a new database would (of records with
  // one id, the last), in one pass without a journal, and its companion
  // beside it (see RecordStore::write_new): the fast way into a new
  // database. Write it under a name of its own and move it into place when
  // this returns. Fails as insert_all() does, and with the store's errors
  // of creating the file; the file and its companion may then be left
  // partly written, for the caller to remove. `progress`, when given, is
  // told the records written so far, every few hundred.
  [[nodiscard]] static std::expected<void, EngineError> write_new(const std::string& path,
                                                                  std::vector<Record> records,
                                                                  const EngineOptions& options = {},
                                                                  std::size_t* refused = nullptr,
                                                                  const ProgressReport& progress = {});

  // write_new() for records already in a list in the order a new file
  // holds them: no free slots, ids strictly ascending (see
  // RecordStore::write_new). Fails with the store's Storage error for a
  // list in any other order; for a refused record, its position in the
  // list goes to `*refused` when given.
  [[nodiscard]] static std::expected<void, EngineError> write_new(const std::string& path,
                                                                  const RecordList& records,
                                                                  const EngineOptions& options = {},
                                                                  std::size_t* refused = nullptr,
                                                                  const ProgressReport& progress = {});

  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  ~Engine();

  // Stores a record under `id`, replacing one stored under the same id (in
  // the file, and in place in the record list), with no timestamp, or with
  // `timestamp` (seconds) in the overload. Accepts any id, vector length
  // and metadata that the file can hold; fails with Dimension for a length
  // that check_dimension() refuses, with IndexConfig when the attached
  // index would need a node number it cannot hold (kHnswMostSlots), or with
  // the store's error, and then nothing changes. The first record stored
  // fixes a dimension that was left to it.
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata);
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata,
                                                        std::optional<std::uint64_t> timestamp);

  // Stores every record of `records` in one transaction (one commit, one
  // sync), as if each had been inserted in turn. Fails with Dimension at
  // the first record whose length check_dimension() refuses (or, while the
  // dimension is still open, that differs from the first record's), with
  // IndexConfig when the attached index would need node numbers it cannot
  // hold (kHnswMostSlots), or with the store's error, and then nothing
  // changes; for a refused record,
  // or one without a JSON form that reads back, its index goes to
  // `*refused` when given. `progress`, when given, is told the records
  // written so far (see RecordStore::insert_all).
  [[nodiscard]] std::expected<void, EngineError> insert_all(std::vector<Record> records,
                                                            std::size_t* refused = nullptr,
                                                            const ProgressReport& progress = {});

  // The record stored under `id`, as a copy with score 0.0, or nothing.
  std::optional<SearchResult> get(std::string_view id) const;

  // The whole record list, first to last, seen in place: iteration gives
  // exactly the stored records, in order (a position may be a free slot,
  // see RecordList). Valid until the next insert, remove or attach_index;
  // callers copy what they keep.
  const RecordList& get_all() const { return store_.records(); }

  // Removes the record stored under `id`; succeeds whether or not there was
  // one, and returns whether there was. Fails with the store's error, and
  // then nothing changes. Compacts the record list when its free slots are
  // due (RecordList::compaction_due) or an index that does not retire
  // deleted records is attached.
  [[nodiscard]] std::expected<bool, EngineError> remove(std::string_view id);

  // The k records closest to `query` under the engine's metric, best first:
  // the request with no filters and no decay.
  std::vector<SearchResult> search(std::span<const float> query, std::uint64_t k) const;

  // Answers `request`. With an index attached, no filters and no decay (now
  // alone does not matter), the index answers: up to k records in the order
  // it finds them, each scored with the metric value. With filters and
  // filter_through_index (and no decay), the index answers too, returning
  // only records that pass: its search goes on past records that fail until
  // it holds max(k, ef_search) that pass or has searched all it can reach;
  // but when a sample of the records (kFilterSample, spread evenly) puts
  // the records that pass below kIndexFilterPassing times max(k,
  // ef_search), the passing records are scored exhaustively instead, which
  // is then the faster way: the search through the graph visits about
  // max(k, ef_search) / share nodes to find enough that pass, the
  // exhaustive search tests every record. Otherwise
  // every record is scored (the exhaustive search): records that fail a
  // filter take no part, decay demotes the scores of records older than now,
  // and the results are min(k, taking part) records in the order of a
  // stable sort by score in the metric's direction (highest first for
  // Cosine and DotProduct, lowest first for Euclidean and Manhattan), so
  // equal scores keep record-list order; -0.0 and 0.0 are equal; NaN scores
  // rank after every number, in record-list order among themselves.
  //
  // The exhaustive search scores on the engine's workers (see
  // EngineOptions); the results do not depend on their number. Accepts any
  // length of query and of stored vectors; never fails. Copies ids and
  // metadata of the returned records only.
  std::vector<SearchResult> search(const SearchRequest& request) const;

  // Answers every request of `requests` as search() answers it, the
  // requests spread over the engine's workers: the answer at position i is
  // the one search(requests[i]) gives, whatever the number of workers.
  std::vector<std::vector<SearchResult>> search_many(std::span<const SearchRequest> requests) const;

  // The metric that search() scores and ranks with.
  Metric metric() const { return metric_; }

  // The length every vector must have: the fixed dimension once it is
  // known, else nothing (no fixed dimension, or none stored yet).
  std::optional<std::size_t> dimension() const { return dimension_; }

  // Whether a vector of `length` floats may be stored or searched for:
  // always without a fixed dimension, and with one, when its length is
  // known and equal, or still to be fixed. Fails with Dimension, naming
  // both lengths. search() checks nothing, so callers that fix a
  // dimension check each query here.
  [[nodiscard]] std::expected<void, EngineError> check_dimension(std::size_t length) const;

  // Builds an HNSW index with `config` over every record, in list order
  // (node number = position, after the list is compacted), and attaches it
  // in place of any attached before; with build_threads other than 1 the
  // records are inserted on the engine's workers (see HnswConfig). Fails
  // with IndexConfig, building nothing, when ml is NaN, infinite, negative,
  // or so large that a level could exceed kHighestIndexLevel, when
  // retired_share is not a number from 0 to 1, or when there are more
  // records than an index can number (kHnswMostSlots). Zero bounds are
  // allowed.
  [[nodiscard]] std::expected<void, EngineError> attach_index(const HnswConfig& config);

  // Compacts the attached index now: retired nodes leave the graph, the
  // lists that held them are mended, and node numbers become positions
  // again (the record list's free slots are closed first). No effect
  // without an index or without retired nodes.
  void compact_index();

  // Makes the attached index's searches use a result list of `ef_search`
  // (raised to k when k is larger) from now on; the graph stays as it is.
  // No effect without an index.
  void set_index_ef_search(std::uint64_t ef_search);

  // The ef of the attached index's searches, or nothing without an index.
  std::optional<std::uint64_t> index_ef_search() const;

  // Drops the attached index, if any; searches then score every record.
  void detach_index();

  // Whether an index is attached.
  bool has_index() const { return index_ != nullptr; }

  // The attached index, or nullptr. Its node numbers are positions of the
  // record list, but under retire_deleted only until the first removal or
  // re-insert after it was built or compacted.
  const HnswIndex* index() const;

  // The highest level that an index configuration may let a node draw.
  static constexpr std::uint64_t kHighestIndexLevel = 64;

  // How many records a filtered search through the index tests first, and
  // how many records must pass, per place in the index's result list, for
  // the index to answer it.
  static constexpr std::size_t kFilterSample = 1024;
  // Measured (bench/README.md) with a result list of 64: the two ways
  // took the same time with about 80 records a place passing at 200,000
  // records and about 105 at 1,000,000, where a node the graph search
  // meets is more often out of the cache. The rule follows the larger
  // size, where taking the graph too early cost 1.7x; at 200,000 records
  // the exhaustive search it keeps just below the rule is at most about
  // 1.4x slower than the graph would have been.
  static constexpr double kIndexFilterPassing = 100.0;

 private:
  Engine(RecordStore store, Metric metric, std::unique_ptr<WorkerPool> own_pool, WorkerPool& pool);

  // search(request) with the exhaustive scoring spread by `parallel_for`.
  std::vector<SearchResult> search_with(const SearchRequest& request, const ParallelFor& parallel_for) const;

  // Checks every loaded record against the fixed dimension of `rule` and
  // takes it; `path` is for the message.
  [[nodiscard]] std::expected<void, EngineError> fix_dimension(const FixedDimension& rule, const std::string& path);

  // Takes `length` as the dimension when a fixed dimension is still open.
  void dimension_stored(std::size_t length);

  // Brings the attached index in step after a committed insert: a new id
  // at position `position` is inserted at the level `level_word` gives, a
  // replaced one rebuilds the index. `plan`, when given, holds the new
  // node's searches, made while the change was committed.
  void index_inserted(std::size_t position, bool replaced, std::uint32_t level_word,
                      const HnswInsertPlan* plan = nullptr);

  // The level words of `count` new nodes of the attached index, drawn
  // before the commit that adds them so that the change's note can hold
  // them; none for a seeded index, whose words drawn_after_commit() draws
  // once the change is committed (a failed commit then leaves its
  // generator where a replay of the committed changes finds it).
  std::vector<std::uint32_t> drawn_before_commit(std::size_t count) const;
  void drawn_after_commit(std::vector<std::uint32_t>& words, std::size_t count) const;

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
  // and the attached index's positions along with their entries.
  void compact_records() noexcept;

  // Runs `change` on the attached index; if memory runs out meanwhile the
  // index goes, and searches score every record, which stays correct.
  template <class Change>
  void change_index(Change&& change) noexcept;

  // The threads that build or compact the attached index.
  std::size_t index_threads(const HnswConfig& config) const;

  // compact_index() when the attached index's retired share is due.
  void compact_index_if_due();
  // The compaction itself (compact_index() notes it first in the companion).
  void compact_index_now();

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
  // Whether the options fix a dimension, and its length once known.
  bool dimension_fixed_ = false;
  std::optional<std::size_t> dimension_;
};

}  // namespace quorvel
