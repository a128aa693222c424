#include "engine_snapshot.h"

#include <cstring>
#include <deque>
#include <unordered_map>
#include <numeric>
#include <utility>

#include "quorvel/index/hnsw_image.h"
#include "search.h"

namespace quorvel {
namespace {

constexpr char kInsertedNote = 'I';
constexpr char kRebuiltNote = 'R';
constexpr char kCompactedNote = 'C';

// The layout of the graph section (its second word): the index's maps and
// kept vectors, then the graph's image.
constexpr std::uint32_t kGraphLayout = 2;

// Floats of the sums of squares written at a time.
constexpr std::size_t kSquaresRun = 16384;

std::uint32_t kind_of(EngineSection section) { return static_cast<std::uint32_t>(section); }

// A count, then the words.
void write_words(SnapshotSectionWriter& out, std::span<const std::uint64_t> words) {
  const std::uint64_t count = words.size();
  out.write(std::as_bytes(std::span(&count, 1)));
  out.write(std::as_bytes(words));
}

// What write_words wrote, of at most `most` words (what the section can
// still hold); nothing when the section says otherwise.
template <class Value>
std::optional<std::vector<Value>> read_values(SnapshotSectionReader& in, std::uint64_t most) {
  std::uint64_t count = 0;
  if (!in.read(std::as_writable_bytes(std::span(&count, 1))) || count > most) return std::nullopt;
  std::vector<Value> values(count);
  if (!in.read(std::as_writable_bytes(std::span(values)))) return std::nullopt;
  return values;
}

// The maps and kept vectors of a graph section (see write_section).
std::optional<AttachedIndexState> read_maps(SnapshotSectionReader& in) {
  const std::uint64_t most = in.size() / sizeof(std::uint64_t);
  AttachedIndexState maps;
  auto node_at = read_values<std::uint64_t>(in, most);
  auto position_at = read_values<std::uint64_t>(in, most);
  auto retired_nodes = read_values<std::uint64_t>(in, most);
  auto retired_lengths = read_values<std::uint64_t>(in, most);
  std::uint64_t floats = 0;
  if (!node_at || !position_at || !retired_nodes || !retired_lengths ||
      !in.read(std::as_writable_bytes(std::span(&floats, 1))) || floats > 2 * most) {
    return std::nullopt;
  }
  maps.retired_floats.resize((floats + 1) / 2 * 2);
  if (!in.read(std::as_writable_bytes(std::span(maps.retired_floats)))) return std::nullopt;
  maps.retired_floats.resize(floats);
  maps.node_at = std::move(*node_at);
  maps.position_at = std::move(*position_at);
  maps.retired_nodes = std::move(*retired_nodes);
  maps.retired_lengths = std::move(*retired_lengths);
  return maps;
}

// The level words of an inserted_note, or nothing for any other note.
std::optional<std::vector<std::uint32_t>> words_of(std::string_view note) {
  if (note.empty() || note[0] != kInsertedNote || (note.size() - 1) % sizeof(std::uint32_t) != 0) return std::nullopt;
  std::vector<std::uint32_t> words((note.size() - 1) / sizeof(std::uint32_t));
  std::memcpy(words.data(), note.data() + 1, note.size() - 1);
  return words;
}

}  // namespace

std::string inserted_note(std::span<const std::uint32_t> level_words) {
  std::string note(1, kInsertedNote);
  note.append(reinterpret_cast<const char*>(level_words.data()), level_words.size_bytes());
  return note;
}

std::string graph_rebuilt_note() { return std::string(1, kRebuiltNote); }

std::string index_compacted_note() { return std::string(1, kCompactedNote); }

std::vector<std::uint32_t> EngineAnnex::section_kinds() const {
  std::vector<std::uint32_t> kinds;
  if (!squares_.empty() && squares_.size() == records_.slot_count()) kinds.push_back(kind_of(EngineSection::kSquares));
  if (index_ != nullptr) kinds.push_back(kind_of(EngineSection::kGraph));
  return kinds;
}

void EngineAnnex::write_section(std::uint32_t kind, std::span<const std::size_t> order,
                                SnapshotSectionWriter& out) const {
  if (kind == kind_of(EngineSection::kSquares)) {
    std::vector<float> run;
    run.reserve(kSquaresRun);
    for (const std::size_t position : order) {
      run.push_back(squares_[position]);
      if (run.size() == kSquaresRun) {
        out.write(std::as_bytes(std::span(run)));
        run.clear();
      }
    }
    out.write(std::as_bytes(std::span(run)));
    return;
  }
  const std::uint32_t head[2] = {static_cast<std::uint32_t>(metric_), kGraphLayout};
  out.write(std::as_bytes(std::span(head)));
  bool in_order = order.size() == records_.slot_count();
  for (std::size_t i = 0; i < order.size() && in_order; ++i) in_order = order[i] == i;
  // Positions in the companion are the records' places in its order.
  AttachedIndexState maps = index_->maps();
  if (index_->retires() && !in_order) {
    std::vector<std::uint64_t> place_of(records_.slot_count(), AttachedIndexState::kNone);
    for (std::size_t i = 0; i < order.size(); ++i) place_of[order[i]] = i;
    std::vector<std::uint64_t> node_at(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) node_at[i] = maps.node_at[order[i]];
    maps.node_at = std::move(node_at);
    for (std::uint64_t& position : maps.position_at) {
      if (position != AttachedIndexState::kNone) position = place_of[position];
    }
  }
  write_words(out, maps.node_at);
  write_words(out, maps.position_at);
  write_words(out, maps.retired_nodes);
  write_words(out, maps.retired_lengths);
  const std::uint64_t floats = maps.retired_floats.size();
  out.write(std::as_bytes(std::span(&floats, 1)));
  maps.retired_floats.resize((floats + 1) / 2 * 2, 0.0f);  // whole words
  out.write(std::as_bytes(std::span(maps.retired_floats)));
  // Without retiring, the graph's nodes are the list's positions, and are
  // renumbered with them; a retiring index keeps its numbers.
  const bool renumber = !index_->retires() && !in_order;
  write_hnsw_image(index_->index(), renumber ? order : std::span<const std::size_t>(),
                   [&](std::span<const std::byte> bytes) { out.write(bytes); });
}

namespace {

// An EngineAnnex that owns the sums of squares it writes.
class NewListAnnex : public SnapshotAnnex {
 public:
  NewListAnnex(const RecordList& records, Metric metric, std::vector<float> squares)
      : squares_(std::move(squares)), annex_(records, metric, squares_, nullptr) {}
  std::vector<std::uint32_t> section_kinds() const override { return annex_.section_kinds(); }
  void write_section(std::uint32_t kind, std::span<const std::size_t> order,
                     SnapshotSectionWriter& out) const override {
    annex_.write_section(kind, order, out);
  }

 private:
  std::vector<float> squares_;
  EngineAnnex annex_;
};

}  // namespace

std::unique_ptr<SnapshotAnnex> new_list_annex(const RecordList& records, Metric metric,
                                              const ParallelFor& parallel_for) {
  std::vector<float> squares;
  if (metric == Metric::Cosine) squares = squares_of(records, parallel_for);
  return std::make_unique<NewListAnnex>(records, metric, std::move(squares));
}

std::optional<std::vector<float>> loaded_squares(SnapshotLoad& load, const RecordList& records) {
  if (!load.changes.empty()) return std::nullopt;
  auto section = load.section(kind_of(EngineSection::kSquares));
  if (!section || section->size() != records.slot_count() * sizeof(float)) return std::nullopt;
  std::vector<float> squares(records.slot_count());
  if (!section->read(std::as_writable_bytes(std::span(squares)))) return std::nullopt;
  return squares;
}

namespace {

// The vectors of the list's entries as they were at a point of the replay:
// an entry that a later change replaced or removed had the vector that
// change's prior record holds; any other has its vector of now. Positions
// are the replay's (before the list was put in id order).
class ReplayedVectors {
 public:
  ReplayedVectors(const SnapshotLoad& load, const RecordList& records) : records_(records), moved_(load.moved) {
    for (const ReplayedChange& change : load.changes) {
      for (const PriorRecord& prior : change.replaced_records) pending_[prior.position].push_back(&prior.vector);
      for (const PriorRecord& prior : change.removed_records) pending_[prior.position].push_back(&prior.vector);
    }
  }

  // The replay has reached `change`: its prior vectors are history now.
  void reached(const ReplayedChange& change) {
    for (const PriorRecord& prior : change.replaced_records) pending_[prior.position].pop_front();
    for (const PriorRecord& prior : change.removed_records) pending_[prior.position].pop_front();
  }

  std::span<const float> at(std::size_t position) const {
    if (const auto it = pending_.find(position); it != pending_.end() && !it->second.empty()) {
      return *it->second.front();
    }
    return records_.vector(moved_.empty() ? position : moved_[position]);
  }

 private:
  const RecordList& records_;
  std::span<const std::size_t> moved_;
  std::unordered_map<std::size_t, std::deque<const std::vector<float>*>> pending_;
};

// Replays `changes` on `index`, each as the engine applied it when it was
// made (see Engine::insert, insert_all, remove and compact_index): false
// when one cannot be replayed (a rebuild, a change made without the
// index, words that do not fit).
bool replay(AttachedIndex& index, const SnapshotLoad& load, const RecordList& records, Metric metric,
            const ParallelParts& run, std::size_t threads) {
  ReplayedVectors vectors(load, records);
  const AttachedIndex::VectorAt vector_at = [&vectors](std::size_t position) { return vectors.at(position); };
  const bool retires = index.retires();
  const bool seeded = index.index().config().seed.has_value();
  std::size_t slots = load.loaded_records;
  for (const ReplayedChange& change : load.changes) {
    vectors.reached(change);
    if (change.note == index_compacted_note()) {
      if (!retires || change.appended + change.replaced + change.removed != 0) return false;
      index.compact_at(vector_at, metric, run, threads);
      continue;
    }
    auto words = words_of(change.note);
    if (!words) return false;
    const std::size_t nodes = change.appended + (retires ? change.replaced_records.size() : 0);
    if (!retires && (change.replaced != 0 || change.removed != 0)) return false;
    if (seeded) {
      if (!words->empty()) return false;
      for (std::size_t i = 0; i < nodes; ++i) words->push_back(index.next_level_word());
    }
    if (words->size() != nodes) return false;
    std::size_t word = 0;
    for (const PriorRecord& prior : change.replaced_records) {
      index.replaced_at(vector_at, prior.position, prior.vector, metric, (*words)[word++]);
    }
    for (std::size_t i = 0; i < change.appended; ++i) index.insert_at(vector_at, slots + i, metric, (*words)[word++]);
    for (const PriorRecord& prior : change.removed_records) index.removed(prior.position, prior.vector);
    if (retires && index.compaction_due()) index.compact_at(vector_at, metric, run, threads);
    slots += change.appended;
  }
  return true;
}

}  // namespace

std::unique_ptr<AttachedIndex> loaded_index(SnapshotLoad& load, const HnswConfig& config, Metric metric,
                                            const RecordList& records, std::uint64_t highest_level,
                                            const ParallelParts& run, std::size_t threads) {
  auto section = load.section(kind_of(EngineSection::kGraph));
  if (!section) return nullptr;
  std::uint32_t head[2];
  if (!section->read(std::as_writable_bytes(std::span(head))) || head[0] != static_cast<std::uint32_t>(metric) ||
      head[1] != kGraphLayout) {
    return nullptr;
  }
  auto maps = read_maps(*section);
  if (!maps) return nullptr;
  const std::uint64_t slots = config.retire_deleted ? maps->position_at.size() : load.loaded_records;
  auto graph = read_hnsw_image([&](std::span<std::byte> into) { return section->read(into); }, slots,
                               highest_level, run);
  // ef_search shapes searches, not the graph: a graph built with another
  // one is the graph this configuration builds. Every other field must
  // agree, the options included.
  HnswConfig built_with = config;
  if (graph) built_with.ef_search = graph->config().ef_search;
  if (!graph || graph->config() != built_with) return nullptr;
  auto restored = AttachedIndex::restore(std::move(*graph), std::move(*maps), load.loaded_records);
  if (!restored) return nullptr;
  auto index = std::make_unique<AttachedIndex>(std::move(*restored));
  if (!replay(*index, load, records, metric, run, threads)) return nullptr;
  index->positions_moved(load.moved);
  // Every record has its node, and no other node is live.
  if (index->index().size() - index->index().retired_count() != records.size()) return nullptr;
  index->set_ef_search(config.ef_search);
  return index;
}

}  // namespace quorvel
