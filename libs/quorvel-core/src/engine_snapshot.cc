#include "engine_snapshot.h"

#include <cstring>
#include <numeric>
#include <utility>

#include "quorvel/index/hnsw_image.h"
#include "search.h"

namespace quorvel {
namespace {

constexpr char kInsertedNote = 'I';
constexpr char kRebuiltNote = 'R';

// Floats of the sums of squares written at a time.
constexpr std::size_t kSquaresRun = 16384;

std::uint32_t kind_of(EngineSection section) { return static_cast<std::uint32_t>(section); }

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
  const std::uint32_t head[2] = {static_cast<std::uint32_t>(metric_), 0};
  out.write(std::as_bytes(std::span(head)));
  // The graph's nodes are the list's positions; in the companion they are
  // the records' places in its order.
  bool in_order = order.size() == records_.slot_count();
  for (std::size_t i = 0; i < order.size() && in_order; ++i) in_order = order[i] == i;
  write_hnsw_image(index_->index(), in_order ? std::span<const std::size_t>() : order,
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

std::unique_ptr<AttachedIndex> loaded_index(SnapshotLoad& load, const HnswConfig& config, Metric metric,
                                            const RecordList& records) {
  // Only new records may have come since, each with its level word: a
  // replaced or removed one, or one stored without an index, means the
  // graph was built again or fell behind.
  std::vector<std::uint32_t> words;
  for (const ReplayedChange& change : load.changes) {
    auto change_words = words_of(change.note);
    if (!change_words || change_words->size() != change.appended || change.replaced != 0 || change.removed != 0) {
      return nullptr;
    }
    words.insert(words.end(), change_words->begin(), change_words->end());
  }
  if (load.loaded_records + words.size() != records.slot_count()) return nullptr;

  auto section = load.section(kind_of(EngineSection::kGraph));
  if (!section) return nullptr;
  std::uint32_t head[2];
  if (!section->read(std::as_writable_bytes(std::span(head))) || head[0] != static_cast<std::uint32_t>(metric) ||
      head[1] != 0) {
    return nullptr;
  }
  auto graph = read_hnsw_image([&](std::span<std::byte> into) { return section->read(into); }, load.loaded_records);
  // ef_search shapes searches, not the graph: a graph built with another
  // one is the graph this configuration builds.
  HnswConfig built_with = config;
  if (graph) built_with.ef_search = graph->config().ef_search;
  if (!graph || graph->config() != built_with || graph->size() != load.loaded_records) return nullptr;

  // The changes replayed as they were made: positions then were the
  // loaded records, then the new ones in turn; `moved` says where each
  // stands now.
  const auto now_at = [&](std::uint64_t then) {
    return load.moved.empty() ? static_cast<std::size_t>(then) : load.moved[then];
  };
  const auto vector_of = [&](std::uint64_t node) { return records.vector(now_at(node)); };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::uint64_t node = load.loaded_records + i;
    graph->insert(node, vector_of(node), vector_of, metric, words[i]);
  }
  if (!load.moved.empty()) {
    std::vector<std::size_t> order(load.moved.size());
    for (std::size_t then = 0; then < load.moved.size(); ++then) order[load.moved[then]] = then;
    *graph = renumbered(*graph, order);
  }
  auto index = std::make_unique<AttachedIndex>(std::move(*graph));
  index->set_ef_search(config.ef_search);
  return index;
}

}  // namespace quorvel
