#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "attached_index.h"
#include "messages.h"

namespace quorvel {
namespace {

namespace messages = core::messages;

const ParallelParts kSerial = [](std::size_t parts, const std::function<void(std::size_t)>& body) {
  for (std::size_t part = 0; part < parts; ++part) body(part);
};

HnswConfig retiring_config() {
  HnswConfig config = default_hnsw_config(6);
  config.ef_construction = 40;
  config.seed = 11;
  config.retire_deleted = true;
  config.retired_share = 1.0f;  // no compaction on its own
  return config;
}

// A record list and the retiring indexes that follow it: every change is
// made to the list once and followed by each index.
struct Churn {
  RecordList records;
  std::vector<AttachedIndex*> indexes;
  std::mt19937 generator{5};

  std::vector<float> random_vector() {
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> vector(4);
    for (float& value : vector) value = uniform(generator);
    return vector;
  }

  std::vector<float> copy_at(std::size_t position) const {
    const std::span<const float> vector = records.vector(position);
    return {vector.begin(), vector.end()};
  }

  void remove(const std::string& id) {
    const std::size_t position = *records.find(id);
    const std::vector<float> old = copy_at(position);
    records.remove(id);
    for (AttachedIndex* index : indexes) index->removed(position, old);
  }

  void replace(const std::string& id) {
    const std::size_t position = *records.find(id);
    const std::vector<float> old = copy_at(position);
    records.replace(position, random_vector(), std::nullopt, std::nullopt);
    for (AttachedIndex* index : indexes) index->replaced(records, position, old, Metric::Euclidean);
  }

  void add(const std::string& id) {
    records.append(id, random_vector(), std::nullopt, std::nullopt);
    for (AttachedIndex* index : indexes) index->insert(records, records.slot_count() - 1, Metric::Euclidean);
  }
};

// 200 records and an index over them after removals, replacements and new
// records: live nodes, retired nodes with kept vectors and free slots.
struct Churned {
  Churn churn;
  std::unique_ptr<AttachedIndex> index;

  Churned() {
    for (int i = 0; i < 200; ++i) {
      churn.records.append(std::to_string(i), churn.random_vector(), std::nullopt, std::nullopt);
    }
    index = std::make_unique<AttachedIndex>(retiring_config(), churn.records, Metric::Euclidean, kSerial, 1);
    churn.indexes = {index.get()};
    for (int i = 0; i < 200; i += 9) churn.remove(std::to_string(i));
    for (int i = 4; i < 200; i += 9) churn.replace(std::to_string(i));
    for (int i = 200; i < 220; ++i) churn.add(std::to_string(i));
  }
};

TEST(AttachedIndexState, RestoresAnIndexThatGoesOnAsTheOriginal) {
  Churned churned;
  const AttachedIndexState state = churned.index->state();
  ASSERT_FALSE(state.retired_nodes.empty());
  ASSERT_GT(churned.churn.records.free_slots(), 0u);
  auto restored = AttachedIndex::restore(state, churned.churn.records, 64);
  ASSERT_TRUE(restored) << restored.error();
  EXPECT_EQ(restored->state(), state);
  std::mt19937 queries(9);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int q = 0; q < 20; ++q) {
    const std::vector<float> query = {uniform(queries), uniform(queries), uniform(queries), uniform(queries)};
    EXPECT_EQ(restored->search(churned.churn.records, query, 10, Metric::Euclidean),
              churned.index->search(churned.churn.records, query, 10, Metric::Euclidean));
  }
  // The same changes after the restore, with the seeded level draws, give
  // the same state on both.
  churned.churn.indexes.push_back(&*restored);
  churned.churn.replace("5");
  churned.churn.remove("6");
  churned.churn.add("new");
  EXPECT_EQ(restored->state(), churned.index->state());
}

TEST(AttachedIndexState, RefusesStatesThatDoNotFitTheRecords) {
  Churned churned;
  const AttachedIndexState good = churned.index->state();
  const std::uint64_t live = good.node_at[1];
  const std::vector<std::pair<std::function<void(AttachedIndexState&)>, std::string_view>> cases = {
      {[](AttachedIndexState& s) { s.graph.config.retire_deleted = false; }, messages::kMapsWithoutRetiring},
      {[](AttachedIndexState& s) { s.position_at.pop_back(); }, messages::kMapSizes},
      {[](AttachedIndexState& s) { s.retired_floats.pop_back(); }, messages::kRetiredVectorCounts},
      {[](AttachedIndexState& s) { s.retired_lengths.pop_back(); }, messages::kRetiredVectorCounts},
      {[&](AttachedIndexState& s) { s.position_at[live] = 2; }, messages::kMapsDisagree},
      {[](AttachedIndexState& s) { s.node_at[0] = 0; }, messages::kMapsDisagree},  // a free slot with a node
      {[](AttachedIndexState& s) { s.retired_nodes[0] = s.node_at[1]; }, messages::kMapsDisagree},
      {[](AttachedIndexState& s) { s.graph.retired.assign(s.graph.retired.size(), 0); }, messages::kMapsDisagree},
  };
  for (const auto& [damage, message] : cases) {
    AttachedIndexState state = good;
    damage(state);
    auto restored = AttachedIndex::restore(state, churned.churn.records, 64);
    ASSERT_FALSE(restored) << message;
    EXPECT_EQ(restored.error(), message);
  }
  // Without retiring, the graph must hold one node per entry of a list
  // without free slots.
  RecordList records;
  records.append("a", std::vector<float>{1.0f}, std::nullopt, std::nullopt);
  AttachedIndex plain(default_hnsw_config(4), records, Metric::Euclidean, kSerial, 1);
  records.append("b", std::vector<float>{2.0f}, std::nullopt, std::nullopt);
  auto refused = AttachedIndex::restore(plain.state(), records, 64);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), messages::kNodesAreNotTheEntries);
}

}  // namespace
}  // namespace quorvel
