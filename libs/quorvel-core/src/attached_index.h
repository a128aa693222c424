#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/record_store.h"

namespace quorvel {

// Why `config` cannot work as an attached index's configuration, or nothing
// when it can: ml must be a finite, non-negative number that lets no node
// draw a level above `highest_level`.
std::optional<std::string> index_config_problem(const HnswConfig& config, std::uint64_t highest_level);

// An HnswIndex over a record list, whose node numbers are the list's
// positions; it reads the vectors from the list (`vector_of`), which must be
// the list it was built over, as it stands, without free slots. The engine
// calls insert() or rebuild() after every change of the list to keep the
// numbering true.
//
// Not thread-safe: insert and rebuild need exclusive access; search may run
// concurrently with itself.
class AttachedIndex {
 public:
  // Builds an index with `config` over every entry of `records`, first to
  // last, under `metric`; `progress`, when given, is told each insertion.
  AttachedIndex(const HnswConfig& config, const RecordList& records, Metric metric,
                const ProgressReport& progress = {});

  // Takes over `index`, a graph of the list's positions made before (read
  // back from the companion file).
  explicit AttachedIndex(HnswIndex index);

  // Draws the level word of the next insert() (see HnswIndex::next_level_word).
  std::uint32_t next_level_word() const { return index_.next_level_word(); }

  // Inserts the entry at `position`, which must be the last of `records`,
  // at the level that `level_word` gives.
  void insert(const RecordList& records, std::size_t position, Metric metric, std::uint32_t level_word);

  // Builds the index afresh from every entry of `records`, with the same
  // configuration; `progress`, when given, is told each insertion.
  void rebuild(const RecordList& records, Metric metric, const ProgressReport& progress = {});

  // The index's answer for `query`: up to k (position, metric value) pairs,
  // closest first, searched with ef_search() as ef.
  std::vector<HnswMatch> search(const RecordList& records, std::span<const float> query, std::uint64_t k,
                                Metric metric) const;

  const HnswIndex& index() const { return index_; }
  HnswIndex& index() { return index_; }

  // The ef of searches: the configuration's ef_search until set otherwise.
  std::uint64_t ef_search() const { return ef_search_; }
  void set_ef_search(std::uint64_t ef_search) { ef_search_ = ef_search; }

 private:
  HnswIndex index_;
  std::uint64_t ef_search_;
};

}  // namespace quorvel
