#include "quorvel/core/engine.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>

#include "attached_index.h"
#include "engine_snapshot.h"
#include "quorvel/json/json_writer.h"
#include "messages.h"
#include "search.h"
#include "worker_pool.h"

namespace quorvel {
namespace {

namespace messages = core::messages;

std::unexpected<EngineError> wrap(StorageError error) {
  return std::unexpected(EngineError{EngineError::Kind::Storage, std::move(error), {}});
}

std::unexpected<EngineError> config_error(std::string detail) {
  return std::unexpected(EngineError{EngineError::Kind::IndexConfig, {}, std::move(detail)});
}

std::unexpected<EngineError> dimension_error(std::string detail) {
  return std::unexpected(EngineError{EngineError::Kind::Dimension, {}, std::move(detail)});
}

// `record "id" has N floats`, the id in its JSON form.
std::string record_length(std::string_view id, std::size_t length) {
  std::string out(messages::kRecord);
  append_json_string(out, id);
  out += messages::kHas;
  out += std::to_string(length);
  return out;
}

ParallelFor on(WorkerPool& pool) {
  return [&pool](std::size_t count, const auto& body) { pool.parallel_for(count, body); };
}

ParallelParts parts_on(WorkerPool& pool) {
  return [&pool](std::size_t parts, const std::function<void(std::size_t)>& body) {
    pool.parallel_for(parts, [&body](std::size_t begin, std::size_t end) {
      for (std::size_t part = begin; part < end; ++part) body(part);
    });
  };
}

// A copy of the vector at `position`, for an index that retires the node.
std::vector<float> vector_copy(const RecordList& records, std::size_t position) {
  const std::span<const float> vector = records.vector(position);
  return {vector.begin(), vector.end()};
}

// The searches of a new node of a retiring index, run on a worker while the
// change that adds the node is committed. They read the graph and the
// record list as they stand before the change and find what searches made
// after it would find: the change reaches the list only at the replaced
// entry (or as a new one at its end), whose node is retired by then and
// reads its kept copy of the same old vector, and the new node, not yet
// linked, is read by no search. Dropping the object waits for the worker.
class EarlySearch {
 public:
  EarlySearch() = default;
  EarlySearch(const EarlySearch&) = delete;
  EarlySearch& operator=(const EarlySearch&) = delete;
  ~EarlySearch() { wait(); }

  // Starts plan_change() on a worker of `pool`; nothing when none is free
  // to take it.
  void start(WorkerPool& pool, const AttachedIndex& index, const RecordList& records,
             std::optional<std::size_t> replacing, std::vector<float> vector, Metric metric,
             std::uint32_t level_word) {
    vector_ = std::move(vector);
    level_word_ = level_word;
    running_ = pool.start_beside([this, &index, &records, replacing, metric, level_word] {
      try {
        plan_ = index.plan_change(records, replacing, vector_, metric, level_word);
      } catch (...) {
        // Without a plan the insertion searches again after the commit.
      }
    });
  }

  void wait() {
    if (running_.valid()) running_.wait();
  }

  // The plan found, once wait() has returned, when it was made for the
  // level of `level_word`; nothing otherwise.
  const HnswInsertPlan* plan(std::uint32_t level_word) const {
    return plan_ && level_word == level_word_ ? &*plan_ : nullptr;
  }

 private:
  std::vector<float> vector_;
  std::uint32_t level_word_ = 0;
  std::optional<HnswInsertPlan> plan_;
  std::future<void> running_;
};

}  // namespace

std::string EngineError::message() const {
  switch (kind) {
    case Kind::Storage: return std::string(messages::kStoragePrefix) + storage.message();
    case Kind::IndexConfig: return std::string(messages::kIndexConfigPrefix) + detail;
    case Kind::Dimension: return std::string(messages::kDimensionPrefix) + detail;
  }
  return detail;
}

std::expected<Engine, EngineError> Engine::open(const std::string& path, const EngineOptions& options) {
  if (options.index) {
    if (auto problem = index_config_problem(*options.index, kHighestIndexLevel)) return config_error(*problem);
  }
  std::unique_ptr<WorkerPool> own_pool;
  if (options.worker_threads) own_pool = std::make_unique<WorkerPool>(*options.worker_threads);
  WorkerPool& pool = own_pool ? *own_pool : worker_pool();
  auto store = RecordStore::open(path, on(pool));
  if (!store) return wrap(std::move(store.error()));
  Engine engine(std::move(*store), options.metric, std::move(own_pool), pool);
  if (options.fixed_dimension) {
    if (auto fixed = engine.fix_dimension(*options.fixed_dimension, path); !fixed) {
      return std::unexpected(std::move(fixed.error()));
    }
  }
  const RecordList& records = engine.get_all();
  // What the companion file holds beside the records: the sums of squares
  // and the graph, used when they fit what this open asks for.
  std::optional<SnapshotLoad> load = engine.store_.take_snapshot_load();
  std::optional<std::vector<float>> squares;
  if (load && engine.metric_ == Metric::Cosine) squares = loaded_squares(*load, records);
  if (squares) {
    engine.squares_ = std::move(*squares);
  } else {
    engine.squares_changed(std::nullopt);
  }
  bool graph_built = false;
  if (options.index) {
    if (auto problem = hnsw_slots_problem(records.slot_count())) return config_error(std::move(*problem));
    if (load) {
      engine.index_ = loaded_index(*load, *options.index, engine.metric_, records, kHighestIndexLevel, parts_on(pool),
                                   engine.index_threads(*options.index));
    }
    if (!engine.index_) {
      engine.index_ = std::make_unique<AttachedIndex>(*options.index, records, engine.metric_, parts_on(pool),
                                                      engine.index_threads(*options.index), options.index_progress);
      graph_built = true;
    }
  }
  // A stale companion, or one without this graph, is written afresh now,
  // so that the next open loads what this one had to make.
  if (graph_built || engine.store_.snapshot_due()) engine.write_snapshot();
  return engine;
}

namespace {

// Runs `write` (one of RecordStore::write_new's forms) on the options'
// workers, with the engine's sections of the companion.
template <typename Write>
std::expected<void, EngineError> write_new_with(const EngineOptions& options, Write write) {
  std::unique_ptr<WorkerPool> own_pool;
  if (options.worker_threads) own_pool = std::make_unique<WorkerPool>(*options.worker_threads);
  WorkerPool& pool = own_pool ? *own_pool : worker_pool();
  const ParallelFor parallel_for = on(pool);
  auto written = write(parallel_for, [&](const RecordList& list) {
    return new_list_annex(list, options.metric, parallel_for);
  });
  if (!written) return wrap(std::move(written.error()));
  return {};
}

}  // namespace

std::expected<void, EngineError> Engine::write_new(const std::string& path, std::vector<Record> records,
                                                  const EngineOptions& options, std::size_t* refused,
                                                  const ProgressReport& progress) {
  return write_new_with(options, [&](const ParallelFor& parallel_for, const auto& annex_of) {
    return RecordStore::write_new(path, std::move(records), parallel_for, annex_of, refused, progress);
  });
}

std::expected<void, EngineError> Engine::write_new(const std::string& path, const RecordList& records,
                                                  const EngineOptions& options, std::size_t* refused,
                                                  const ProgressReport& progress) {
  return write_new_with(options, [&](const ParallelFor& parallel_for, const auto& annex_of) {
    return RecordStore::write_new(path, records, parallel_for, annex_of, refused, progress);
  });
}

Engine::Engine(RecordStore store, Metric metric, std::unique_ptr<WorkerPool> own_pool, WorkerPool& pool)
    : store_(std::move(store)), metric_(metric), own_pool_(std::move(own_pool)), pool_(&pool) {}

Engine::Engine(Engine&&) noexcept = default;

Engine& Engine::operator=(Engine&& other) noexcept {
  if (this != &other) {
    close_snapshot();
    store_ = std::move(other.store_);
    metric_ = other.metric_;
    own_pool_ = std::move(other.own_pool_);
    pool_ = other.pool_;
    index_ = std::move(other.index_);
    squares_ = std::move(other.squares_);
    graph_rebuilt_ = other.graph_rebuilt_;
    dimension_fixed_ = other.dimension_fixed_;
    dimension_ = other.dimension_;
  }
  return *this;
}

Engine::~Engine() { close_snapshot(); }

void Engine::write_snapshot() {
  const EngineAnnex annex(get_all(), metric_, squares_, index_.get());
  store_.write_snapshot(&annex);
  graph_rebuilt_ = false;
}

void Engine::close_snapshot() noexcept {
  // A graph built afresh since the companion was written is written with
  // it now, so that the next open loads it rather than builds it. Memory
  // running short here costs the next open time only.
  try {
    const EngineAnnex annex(get_all(), metric_, squares_, index_.get());
    store_.close_snapshot(&annex, graph_rebuilt_ && index_ != nullptr);
  } catch (const std::bad_alloc&) {
  }
}

std::expected<void, EngineError> Engine::insert(std::string_view id, std::vector<float> vector,
                                                std::optional<JsonValue> metadata) {
  return insert(id, std::move(vector), std::move(metadata), std::nullopt);
}

std::expected<void, EngineError> Engine::fix_dimension(const FixedDimension& rule, const std::string& path) {
  dimension_fixed_ = true;
  dimension_ = rule.length;
  std::string_view first_id;
  for (const RecordView record : get_all()) {
    const std::size_t length = record.vector.size();
    if (!dimension_) {
      dimension_ = length;
      first_id = record.id;
    }
    if (length == *dimension_) continue;
    std::string detail = path + ": " + record_length(record.id, length);
    if (rule.length) {
      detail += std::string(messages::kFloatsGivenIs) + std::to_string(*rule.length);
    } else {
      detail += std::string(messages::kFloatsComma) + record_length(first_id, *dimension_) +
                std::string(messages::kOneLengthNeeded);
    }
    return dimension_error(std::move(detail));
  }
  return {};
}

std::expected<void, EngineError> Engine::check_dimension(std::size_t length) const {
  if (!dimension_ || length == *dimension_) return {};
  return dimension_error(std::string(messages::kVectorHas) + std::to_string(length) +
                         std::string(messages::kFloatsDimensionIs) + std::to_string(*dimension_));
}

void Engine::dimension_stored(std::size_t length) {
  if (dimension_fixed_ && !dimension_) dimension_ = length;
}

std::expected<void, EngineError> Engine::insert(std::string_view id, std::vector<float> vector,
                                                std::optional<JsonValue> metadata,
                                                std::optional<std::uint64_t> timestamp) {
  if (auto fits = check_dimension(vector.size()); !fits) return fits;
  const std::size_t length = vector.size();
  const std::optional<std::size_t> stored_at = get_all().find(id);
  const std::size_t new_position = get_all().slot_count();
  // The levels of new nodes are drawn before the commit, so that the
  // change's note in the companion can say them (a seeded index draws them
  // after it: its generator says them again at a replay). A retired node
  // stays a waypoint, so its vector must outlive the replacement in place.
  std::vector<std::uint32_t> level_words;
  std::string note;
  std::vector<float> old_vector;
  if (index_) {
    // A new node, unless a replacement rebuilds the graph in place.
    const bool rebuilds = stored_at && !index_->retires();
    if (auto problem = index_->growth_problem(rebuilds ? 0 : 1)) return config_error(std::move(*problem));
    if (rebuilds) {
      note = graph_rebuilt_note();
    } else {
      level_words = drawn_before_commit(1);
      note = inserted_note(level_words);
      if (stored_at) old_vector = vector_copy(get_all(), *stored_at);
    }
  }
  // A retiring index finds the new node's neighbours on a worker while the
  // commit waits for the disk (a seeded one with the word its generator
  // will give after the commit); the links are made once it has succeeded.
  EarlySearch early;
  CommitOverlap overlap;
  if (index_ && index_->retires()) {
    const std::optional<std::uint32_t> word =
        level_words.empty() ? index_->peek_level_word() : std::optional<std::uint32_t>(level_words[0]);
    if (word) {
      overlap.start = [&, word = *word, query = vector]() mutable {
        early.start(*pool_, *index_, get_all(), stored_at, std::move(query), metric_, word);
      };
      overlap.finish = [&] { early.wait(); };
    }
  }
  Record record{std::string(id), std::move(vector), std::move(metadata), timestamp};
  if (auto ok = store_.insert(std::move(record), note, overlap); !ok) return wrap(std::move(ok.error()));
  dimension_stored(length);
  squares_changed(stored_at.value_or(new_position));
  if (!index_) return {};
  if (note != graph_rebuilt_note()) drawn_after_commit(level_words, 1);
  if (stored_at && index_->retires()) {
    change_index([&] {
      index_->replaced(get_all(), *stored_at, std::move(old_vector), metric_, level_words[0],
                       early.plan(level_words[0]));
    });
    compact_index_if_due();
  } else {
    const std::uint32_t word = level_words.empty() ? 0 : level_words[0];
    index_inserted(stored_at.value_or(new_position), stored_at.has_value(), word, early.plan(word));
  }
  return {};
}

std::vector<std::uint32_t> Engine::drawn_before_commit(std::size_t count) const {
  std::vector<std::uint32_t> words;
  if (index_->index().config().seed) return words;
  words.reserve(count);
  for (std::size_t i = 0; i < count; ++i) words.push_back(index_->next_level_word());
  return words;
}

void Engine::drawn_after_commit(std::vector<std::uint32_t>& words, std::size_t count) const {
  if (!index_->index().config().seed) return;
  for (std::size_t i = 0; i < count; ++i) words.push_back(index_->next_level_word());
}

template <class Change>
void Engine::change_index(Change&& change) noexcept {
  try {
    change();
  } catch (const std::bad_alloc&) {
    index_.reset();
  }
}

std::size_t Engine::index_threads(const HnswConfig& config) const {
  if (config.build_threads == 1) return 1;
  const std::size_t workers = pool_->size();
  return config.build_threads == 0 ? workers : static_cast<std::size_t>(std::min<std::uint64_t>(config.build_threads, workers));
}

void Engine::compact_index_if_due() {
  if (index_ && index_->compaction_due()) compact_index_now();
}

void Engine::compact_index() {
  if (!index_ || !index_->retires() || index_->index().retired_count() == 0) return;
  // A compaction that no change calls for is noted, so that a replay of
  // the changes compacts here too.
  store_.add_note(index_compacted_note());
  compact_index_now();
}

void Engine::compact_index_now() {
  if (!index_ || !index_->retires() || index_->index().retired_count() == 0) return;
  compact_records();
  change_index([&] {
    index_->compact(get_all(), metric_, parts_on(*pool_), index_threads(index_->index().config()));
  });
}

void Engine::squares_changed(std::optional<std::size_t> position) {
  if (metric_ != Metric::Cosine) return;
  const RecordList& records = get_all();
  try {
    if (!position) {
      squares_ = squares_of(records, on(*pool_));
    } else if (*position < squares_.size()) {
      squares_[*position] = sum_of_squares(records.vector(*position));
    } else if (*position == squares_.size()) {
      squares_.push_back(sum_of_squares(records.vector(*position)));
    }
  } catch (const std::bad_alloc&) {
    squares_.clear();  // a search uses the cache only while it has a value per record
  }
}

std::expected<void, EngineError> Engine::insert_all(std::vector<Record> records, std::size_t* refused,
                                                    const ProgressReport& progress) {
  const std::size_t before = get_all().slot_count();
  const std::size_t count = records.size();
  if (dimension_fixed_ && !records.empty()) {
    // While the dimension is open, the first record proposes it.
    const std::size_t expected = dimension_.value_or(records.front().vector.size());
    for (std::size_t i = 0; i < count; ++i) {
      if (records[i].vector.size() == expected) continue;
      if (refused != nullptr) *refused = i;
      return dimension_error(std::string(messages::kVectorHas) + std::to_string(records[i].vector.size()) +
                             std::string(messages::kFloatsDimensionIs) + std::to_string(expected));
    }
  }
  // With an index, the batch's new ids become one node each and, when the
  // index retires nodes, so do the records it replaces (in the batch's
  // order, their old vectors kept); their levels are drawn as insert()
  // draws them. Without retiring, a batch that replaces any record
  // rebuilds the graph.
  std::vector<std::pair<std::size_t, std::vector<float>>> old_vectors;
  std::vector<std::uint32_t> level_words;
  std::size_t new_nodes = 0;
  std::string note;
  if (index_) {
    std::unordered_set<std::string_view> ids;
    for (const Record& record : records) {
      if (!ids.insert(record.id).second) continue;
      if (const std::optional<std::size_t> stored_at = get_all().find(record.id)) {
        old_vectors.emplace_back(*stored_at, index_->retires() ? vector_copy(get_all(), *stored_at) : std::vector<float>());
      }
    }
    new_nodes = ids.size() - old_vectors.size() + (index_->retires() ? old_vectors.size() : 0);
    if (auto problem = index_->growth_problem(new_nodes)) return config_error(std::move(*problem));
    if (!index_->retires() && !old_vectors.empty()) {
      note = graph_rebuilt_note();
    } else {
      level_words = drawn_before_commit(new_nodes);
      note = inserted_note(level_words);
    }
  }
  const std::optional<std::size_t> length =
      records.empty() ? std::nullopt : std::optional<std::size_t>(records.front().vector.size());
  if (auto ok = store_.insert_all(std::move(records), refused, note, progress); !ok) return wrap(std::move(ok.error()));
  if (length) dimension_stored(*length);
  squares_changed(std::nullopt);
  if (!index_) return {};
  if (note != graph_rebuilt_note()) drawn_after_commit(level_words, new_nodes);
  if (index_->retires()) {
    // Each replaced record's node retires and the record gets a new one;
    // new records get a node each, in order.
    change_index([&] {
      std::size_t word = 0;
      for (auto& [position, old_vector] : old_vectors) {
        index_->replaced(get_all(), position, std::move(old_vector), metric_, level_words[word++]);
      }
      for (std::size_t position = before; position < get_all().slot_count(); ++position) {
        index_->insert(get_all(), position, metric_, level_words[word++]);
      }
    });
    compact_index_if_due();
  } else if (old_vectors.empty()) {
    // Every record was new: one node each, in order.
    for (std::size_t i = 0; before + i < get_all().slot_count() && index_; ++i) {
      index_inserted(before + i, false, level_words[i]);
    }
  } else {
    index_inserted(0, true, 0);  // some replaced a stored vector in place
  }
  return {};
}

void Engine::index_inserted(std::size_t position, bool replaced, std::uint32_t level_word,
                            const HnswInsertPlan* plan) {
  // The change is committed; if memory runs out while the index follows it,
  // the index goes, and searches score every record, which stays correct.
  change_index([&] {
    if (replaced) {
      // The entry changed its vector in place: links made for the old one
      // would mislead every search that passes the node.
      graph_rebuilt_ = true;
      index_->rebuild(get_all(), metric_, parts_on(*pool_), index_threads(index_->index().config()));
    } else {
      index_->insert(get_all(), position, metric_, level_word, plan);
    }
  });
}

std::optional<SearchResult> Engine::get(std::string_view id) const {
  const RecordList& records = get_all();
  const auto position = records.find(id);
  if (!position) return std::nullopt;
  return SearchResult{std::string(records.id(*position)), records.metadata(*position), 0.0f};
}

std::expected<bool, EngineError> Engine::remove(std::string_view id) {
  const std::optional<std::size_t> stored_at = get_all().find(id);
  std::vector<float> old_vector;
  std::string note;
  if (index_ && index_->retires()) {
    if (stored_at) old_vector = vector_copy(get_all(), *stored_at);
    note = inserted_note({});
  } else if (index_) {
    note = graph_rebuilt_note();
  }
  auto removed = store_.remove(id, note);
  if (!removed) return wrap(std::move(removed.error()));
  if (!*removed) return false;
  // The entry's slot is free; its sum of squares stays unused until a
  // compaction drops both.
  if (index_ && index_->retires()) {
    change_index([&] { index_->removed(*stored_at, std::move(old_vector)); });
    if (get_all().compaction_due()) compact_records();
    compact_index_if_due();
  } else if (index_) {
    // The index numbers nodes by position and is rebuilt from the list
    // anyway, so the list is compacted first: the numbering stays dense.
    compact_records();
    graph_rebuilt_ = true;
    change_index([&] {
      index_->rebuild(get_all(), metric_, parts_on(*pool_), index_threads(index_->index().config()));
    });
  } else if (get_all().compaction_due()) {
    compact_records();
  }
  return *removed;
}

void Engine::compact_records() noexcept {
  const RecordList& records = get_all();
  if (records.free_slots() == 0) return;
  if (squares_.size() == records.slot_count()) {
    std::size_t kept = 0;
    for (std::size_t position = 0; position < squares_.size(); ++position) {
      if (!records.is_free(position)) squares_[kept++] = squares_[position];
    }
    squares_.resize(kept);
  }
  if (index_) index_->before_compaction(records);
  store_.compact();
}

std::vector<SearchResult> Engine::search(std::span<const float> query, std::uint64_t k) const {
  if (index_) return search(SearchRequest{std::vector<float>(query.begin(), query.end()), k, {}, {}, {}});
  return search_records(get_all(), metric_, query, k, on(*pool_), squares_);
}

std::vector<SearchResult> Engine::search(const SearchRequest& request) const {
  return search_with(request, on(*pool_));
}

std::vector<std::vector<SearchResult>> Engine::search_many(std::span<const SearchRequest> requests) const {
  std::vector<std::vector<SearchResult>> answers(requests.size());
  if (requests.size() == 1) {
    answers[0] = search(requests[0]);
    return answers;
  }
  // One request per worker at a time, each scored on its worker alone. The
  // pool's loop body must not throw: a failure (memory) is carried out.
  std::mutex failure_guard;
  std::exception_ptr failure;
  pool_->parallel_for(requests.size(), [&](std::size_t begin, std::size_t end) {
    try {
      for (std::size_t i = begin; i < end; ++i) answers[i] = search_with(requests[i], run_serially);
    } catch (...) {
      const std::lock_guard<std::mutex> hold(failure_guard);
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  return answers;
}

std::vector<SearchResult> Engine::search_with(const SearchRequest& request, const ParallelFor& parallel_for) const {
  const RecordList& records = get_all();
  const bool filtered = !request.filters.empty();
  if (!index_ || request.decay || (filtered && !(request.filter_through_index &&
                                  index_filters_faster(records, request.filters,
                                                       std::max(request.k, index_->ef_search()))))) {
    return search_records(records, metric_, request, parallel_for, squares_);
  }
  // The attached index answers with positions of the list.
  const std::function<bool(std::size_t)> passing = [&](std::size_t position) {
    return passes(records.metadata(position), request.filters);
  };
  std::vector<SearchResult> results;
  for (const HnswMatch& match :
       index_->search(records, request.query, request.k, metric_, filtered ? &passing : nullptr)) {
    const auto position = static_cast<std::size_t>(match.node);
    results.push_back(SearchResult{std::string(records.id(position)), records.metadata(position), match.value});
  }
  return results;
}

std::expected<void, EngineError> Engine::attach_index(const HnswConfig& config) {
  if (auto problem = index_config_problem(config, kHighestIndexLevel)) return config_error(*problem);
  compact_records();  // node numbers are dense positions
  if (auto problem = hnsw_slots_problem(get_all().slot_count())) return config_error(std::move(*problem));
  index_ = std::make_unique<AttachedIndex>(config, get_all(), metric_, parts_on(*pool_), index_threads(config));
  store_.add_note(graph_rebuilt_note());
  graph_rebuilt_ = true;
  return {};
}

void Engine::set_index_ef_search(std::uint64_t ef_search) {
  if (index_) index_->set_ef_search(ef_search);
}

std::optional<std::uint64_t> Engine::index_ef_search() const {
  if (!index_) return std::nullopt;
  return index_->ef_search();
}

void Engine::detach_index() {
  if (index_) store_.add_note(graph_rebuilt_note());
  index_.reset();
  graph_rebuilt_ = false;
}

const HnswIndex* Engine::index() const { return index_ ? &index_->index() : nullptr; }

}  // namespace quorvel
