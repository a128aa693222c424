#pragma once

// The engine's part of the companion file beside the database (see
// quorvel/storage/snapshot.h): the cosine sums of squares and the attached
// index's graph as sections of their own, and a note on every change that
// says what the index did with it, so that an open can load the graph and
// bring it up to date instead of building it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "attached_index.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/snapshot.h"

namespace quorvel {

// The engine's sections, by kind.
enum class EngineSection : std::uint32_t {
  kSquares = 0,  // the sum of squares of each record's vector (f32), in the companion's order
  kGraph = 1,    // the metric (u32) and the layout (u32), the attached index's maps and kept vectors, then the
                 // graph's image (see hnsw_image.h)
};

// The note of a change that the attached index took in step: the nodes it
// made went into the graph with these level words, in order (none when the
// index draws them from its seeded generator); a retiring index retired
// the nodes of the records the change replaced or removed.
std::string inserted_note(std::span<const std::uint32_t> level_words);
// The note of a change after which the graph was built afresh (or dropped):
// a stored graph cannot be brought up to date past it.
std::string graph_rebuilt_note();
// The note of a compaction of a retiring index on request (the changes
// alone say when one fell due).
std::string index_compacted_note();

// Writes the engine's sections for a companion: the sums of squares when
// `squares` has one per position of `records`, and the graph of `index`
// when there is one.
class EngineAnnex : public SnapshotAnnex {
 public:
  EngineAnnex(const RecordList& records, Metric metric, std::span<const float> squares, const AttachedIndex* index)
      : records_(records), metric_(metric), squares_(squares), index_(index) {}

  std::vector<std::uint32_t> section_kinds() const override;
  void write_section(std::uint32_t kind, std::span<const std::size_t> order,
                     SnapshotSectionWriter& out) const override;

 private:
  const RecordList& records_;
  Metric metric_;
  std::span<const float> squares_;
  const AttachedIndex* index_;
};

// The engine's sections for a companion of the new list `records` (no
// index yet): the sums of squares under Cosine, computed with
// `parallel_for`.
std::unique_ptr<SnapshotAnnex> new_list_annex(const RecordList& records, Metric metric,
                                              const ParallelFor& parallel_for);

// The sums of squares stored with the records an open loaded, by position,
// when the companion has them and no change was replayed after them.
std::optional<std::vector<float>> loaded_squares(SnapshotLoad& load, const RecordList& records);

// The stored index, brought up to date with the changes the open replayed
// exactly as the engine that made them did (compactions included, on up
// to `threads` threads of `run`), as the index of `records` with `config`
// under `metric`; nothing when the companion holds no index of that
// configuration (ef_search aside) and metric, the stored one does not
// restore, or a change since cannot be replayed on it (the graph was
// rebuilt, or records changed while no index was attached).
std::unique_ptr<AttachedIndex> loaded_index(SnapshotLoad& load, const HnswConfig& config, Metric metric,
                                            const RecordList& records, std::uint64_t highest_level,
                                            const ParallelParts& run, std::size_t threads);

}  // namespace quorvel
