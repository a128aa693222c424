#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/record_store.h"

namespace quorvel {

// Why `config` cannot work as an attached index's configuration, or nothing
// when it can: ml must be a finite, non-negative number that lets no node
// draw a level above `highest_level`, and retired_share a number from 0 to 1.
std::optional<std::string> index_config_problem(const HnswConfig& config, std::uint64_t highest_level);

// The whole state of an AttachedIndex as plain arrays, for storing it beside
// the records and reading it back (AttachedIndex::state() and restore()).
struct AttachedIndexState {
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  HnswGraph graph;
  std::uint64_t ef_search = 0;
  // With retire_deleted: position -> node and node -> position, kNone for
  // a free slot and for a retired node. Empty otherwise (node = position).
  std::vector<std::uint64_t> node_at;
  std::vector<std::uint64_t> position_at;
  // With retire_deleted: the retired nodes, rising, and the copies of their
  // vectors one after the other, retired_lengths[i] floats each.
  std::vector<std::uint64_t> retired_nodes;
  std::vector<std::uint64_t> retired_lengths;
  std::vector<float> retired_floats;

  friend bool operator==(const AttachedIndexState&, const AttachedIndexState&) = default;
};

// An HnswIndex over a record list, which reads the vectors from the list
// (`vector_of`); every call must pass the list it was built over, as it
// stands. The engine calls the members below after every change of the
// list to keep the index true to it.
//
// Two ways to number the nodes, chosen by the configuration:
// - By default node numbers are the list's positions and the list has no
//   free slots: a new record is inserted, and a removal or a replaced
//   vector rebuilds the index from the list.
// - With retire_deleted, the index keeps a map from node to position and
//   back. A new record gets the next node number; a removed record's node is
//   retired (a waypoint never returned, whose vector the index keeps a copy
//   of), and a replaced record's node is retired and the record gets a new
//   node. Once the retired share passes retired_share, compact() drops the
//   retired nodes and closes up the numbers of the rest, in their order.
//   Which node a record gets never depends on where the record stands in
//   the list, so the same changes give the same graph whatever the list's
//   order (a list loaded again is in id order).
//
// Not thread-safe: the changing members need exclusive access; search may
// run concurrently with itself.
class AttachedIndex {
 public:
  // Builds an index with `config` over every entry of `records`, first to
  // last, under `metric`: in order on the calling thread, or on up to
  // `threads` threads of `run` when `threads` > 1. `progress`, when given,
  // is told the insertions done after each one, one call at a time (from
  // the workers when they build). REQUIRES: `records` has no free slots.
  AttachedIndex(const HnswConfig& config, const RecordList& records, Metric metric, const ParallelParts& run,
                std::size_t threads, const ProgressReport& progress = {});

  // The vector of the entry at a list position, for the members that follow
  // the list through a lookup of the caller's instead of the list itself.
  using VectorAt = std::function<std::span<const float>(std::size_t position)>;

  // Whether removals and replacements retire nodes (retire_deleted).
  bool retires() const { return index_.config().retire_deleted; }

  // Why the index cannot number `new_nodes` more nodes (hnsw_slots_problem),
  // or nothing when it can: asked before a change that adds them.
  std::optional<std::string> growth_problem(std::uint64_t new_nodes) const;

  // Draws the level word of the next new node (see HnswIndex::next_level_word).
  std::uint32_t next_level_word() const { return index_.next_level_word(); }

  // Inserts the entry at `position`, which must be the last of `records`
  // and new to the index, at the level that `level_word` gives (a level
  // of its own draw without one).
  // With `plan` (from plan_change() for this change, with retires()), its
  // level word and searches stand in for the level word and the searches.
  void insert(const RecordList& records, std::size_t position, Metric metric,
              std::optional<std::uint32_t> level_word = std::nullopt, const HnswInsertPlan* plan = nullptr);
  void insert_at(const VectorAt& vector_at, std::size_t position, Metric metric,
                 std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan = nullptr);

  // With retires(): the entry at `position` had its vector replaced in
  // place; `old_vector` is the vector it had. Retires its node and gives it
  // a new one, at a level as insert() gives it; `plan` as for insert().
  void replaced(const RecordList& records, std::size_t position, std::vector<float> old_vector, Metric metric,
                std::optional<std::uint32_t> level_word = std::nullopt, const HnswInsertPlan* plan = nullptr);
  void replaced_at(const VectorAt& vector_at, std::size_t position, std::vector<float> old_vector, Metric metric,
                   std::optional<std::uint32_t> level_word, const HnswInsertPlan* plan = nullptr);

  // With retires(): the searches that insert() (for a new entry) or
  // replaced() (for the entry at `replacing`) will make for the new node,
  // whose vector is `vector`, at the level of `level_word`, found while
  // `records` still stands as before the change. Reads only, so it may run
  // on another thread while the change is committed, as long as neither the
  // index nor the list changes meanwhile.
  HnswInsertPlan plan_change(const RecordList& records, std::optional<std::size_t> replacing,
                             std::span<const float> vector, Metric metric, std::uint32_t level_word) const;

  // With a seed: the level word that next_level_word() will return next,
  // without drawing it; nothing without a seed.
  std::optional<std::uint32_t> peek_level_word() const { return index_.peek_level_word(); }

  // With retires(): the entry at `position` was removed (its slot is now
  // free); `old_vector` is the vector it had. Retires its node.
  void removed(std::size_t position, std::vector<float> old_vector);

  // With retires(): `records` is about to close its free slots
  // (RecordList::compact); moves every node's position to where its entry
  // will stand. Allocates nothing.
  void before_compaction(const RecordList& records) noexcept;

  // Whether the retired nodes have passed the configured share of nodes.
  bool compaction_due() const;

  // Drops every retired node and numbers the rest 0, 1, 2, ... in the
  // order of their numbers before. Mends the lists on up to `threads`
  // threads of `run`.
  void compact(const RecordList& records, Metric metric, const ParallelParts& run, std::size_t threads);
  void compact_at(const VectorAt& vector_at, Metric metric, const ParallelParts& run, std::size_t threads);

  // The list was put in another order: the entry at position p now stands
  // at moved[p], or is gone when that is kGone (a free slot). Without
  // retires(), no entry may be gone.
  void positions_moved(std::span<const std::size_t> moved);
  static constexpr std::size_t kGone = static_cast<std::size_t>(-1);

  // Builds the index afresh from every entry of `records`, with the same
  // configuration; `progress` as for the constructor. REQUIRES: `records`
  // has no free slots.
  void rebuild(const RecordList& records, Metric metric, const ParallelParts& run, std::size_t threads,
               const ProgressReport& progress = {});

  // The index's answer for `query`: up to k (position, metric value) pairs,
  // closest first, searched with ef_search() as ef; with `accept`, only
  // positions it accepts (it is asked with positions).
  std::vector<HnswMatch> search(const RecordList& records, std::span<const float> query, std::uint64_t k,
                                Metric metric, const std::function<bool(std::size_t)>* accept = nullptr) const;

  const HnswIndex& index() const { return index_; }

  // Everything the index holds, as plain arrays (see AttachedIndexState).
  AttachedIndexState state() const;
  // state() without the graph: the ef, the maps and the kept vectors.
  AttachedIndexState maps() const;

  // The index that `state` describes, over `records` as they stand when
  // state() was taken: checks the graph as HnswIndex::from_graph does (with
  // `highest_level`), and that the maps agree with each other, with the
  // graph and with `records` (every entry has a node, every node an entry
  // or a kept vector, and nothing else), or without retire_deleted that
  // the graph has exactly one node per entry and no free slot. Fails with
  // the first problem found, in words.
  static std::expected<AttachedIndex, std::string> restore(AttachedIndexState state, const RecordList& records,
                                                           std::uint64_t highest_level);

  // restore() of `index`, a graph read back and checked already, with
  // `maps` (as maps() gave them; their graph is not read), over a list of
  // `entries` entries without free slots (as a loaded list stands). The
  // same checks of the maps.
  static std::expected<AttachedIndex, std::string> restore(HnswIndex index, AttachedIndexState maps,
                                                           std::size_t entries);

  // The ef of searches: the configuration's ef_search until set otherwise.
  std::uint64_t ef_search() const { return ef_search_; }
  void set_ef_search(std::uint64_t ef_search) { ef_search_ = ef_search; }

 private:
  static constexpr std::uint64_t kNone = AttachedIndexState::kNone;

  AttachedIndex(HnswIndex index, std::uint64_t ef_search) : index_(std::move(index)), ef_search_(ef_search) {}

  // What restore() checks the maps against: the list's and the graph's
  // shapes.
  struct ListShape {
    std::size_t slots;
    std::size_t free_slots;
    std::function<bool(std::size_t)> is_free;
  };
  struct GraphShape {
    std::uint64_t slots;  // one past the largest node number
    std::uint64_t nodes;
    std::function<bool(std::uint64_t)> is_node;
  };
  static std::optional<std::string_view> maps_problem(const AttachedIndexState& state, bool retiring,
                                                      const ListShape& list, const GraphShape& graph);
  // The index with `maps` taken over, once the marks agree with them.
  static std::expected<AttachedIndex, std::string> adopt(HnswIndex index, AttachedIndexState maps);

  // The node's vector: its entry's, or the copy kept of a retired one.
  std::span<const float> vector_of(const VectorAt& vector_at, std::uint64_t node) const;
  void retire(std::uint64_t node, std::vector<float> old_vector);
  // Numbers every entry's node by its position (maps of the identity).
  void number_by_position(std::size_t count);

  HnswIndex index_;
  std::uint64_t ef_search_;
  // With retires(): position -> node and node -> position (kNone for a
  // free slot and for a retired node), and the vectors of retired nodes.
  std::vector<std::uint64_t> node_at_;
  std::vector<std::uint64_t> position_at_;
  std::unordered_map<std::uint64_t, std::vector<float>> retired_vectors_;
};

}  // namespace quorvel
