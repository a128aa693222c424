// The index survives a reopen: an open with the configuration the stored
// graph was built with loads it and answers exactly as before the close;
// any other open builds afresh, and nothing stale is ever served.

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/index/hnsw_image.h"
#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

HnswConfig config_of(std::uint64_t m) {
  HnswConfig config = default_hnsw_config(m);
  config.ef_construction = 40;
  return config;
}

// The bytes of a graph: equal bytes, equal graphs.
std::string image_of(const HnswIndex& index) {
  std::string bytes;
  write_hnsw_image(index, {}, [&](std::span<const std::byte> part) {
    bytes.append(reinterpret_cast<const char*>(part.data()), part.size());
  });
  return bytes;
}

std::vector<float> random_vector(std::mt19937& random) {
  std::normal_distribution<float> normal;
  std::vector<float> vector(16);
  for (float& value : vector) value = normal(random);
  return vector;
}

// "<prefix><n>" (built without + on a literal, about which g++ 12 warns wrongly).
std::string numbered(std::string prefix, int n) {
  prefix += std::to_string(n);
  return prefix;
}

class EngineSnapshotTest : public testing::DatabaseTest<Engine> {
 protected:
  Engine open_with(std::optional<HnswConfig> index, Metric metric = Metric::Cosine) {
    EngineOptions options;
    options.metric = metric;
    options.index = index;
    auto engine = Engine::open(path_, options);
    EXPECT_TRUE(engine) << engine.error().message();
    return std::move(*engine);
  }

  void insert_random(Engine& engine, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(engine.insert(numbered(prefix, i), random_vector(random_), JsonValue(static_cast<JsonValue::Unsigned>(i))));
    }
  }

  // The answers of the engine to a fixed set of queries.
  std::vector<std::vector<SearchResult>> answers(const Engine& engine) {
    std::mt19937 queries(99);
    std::vector<std::vector<SearchResult>> all;
    for (int i = 0; i < 40; ++i) all.push_back(engine.search(random_vector(queries), 10));
    return all;
  }

  std::mt19937 random_{5};
};

TEST_F(EngineSnapshotTest, AStoredGraphIsLoadedAndAnswersExactlyAsBeforeTheClose) {
  std::string graph;
  std::vector<std::vector<SearchResult>> before;
  {
    Engine engine = open_with(config_of(8));
    insert_random(engine, "m", 300);
    // A reopen lists the records in id order: the graph's nodes with them.
    std::vector<std::size_t> order(300);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return engine.get_all().id(a) < engine.get_all().id(b); });
    graph = image_of(renumbered(*engine.index(), order));
    before = answers(engine);
  }
  // Records inserted since are appended to the companion with their level
  // words, and replayed into the graph at the next open, among them ids
  // that sort before every stored one (their nodes are renumbered).
  {
    Engine engine = open_with(config_of(8));
    EXPECT_EQ(image_of(*engine.index()), graph);
    EXPECT_EQ(answers(engine), before);
    insert_random(engine, "a", 20);
    insert_random(engine, "z", 20);
    ASSERT_TRUE(engine.insert_all({Record{"b-batch", random_vector(random_), std::nullopt, std::nullopt},
                                   Record{"y-batch", random_vector(random_), std::nullopt, std::nullopt}}));
    before = answers(engine);
  }
  std::string loaded;
  {
    Engine engine = open_with(config_of(8));
    EXPECT_EQ(answers(engine), before);
    EXPECT_EQ(engine.index()->size(), 342u);
    loaded = image_of(*engine.index());
  }
  // An open that asks for another ef searches the same graph.
  HnswConfig other_ef = config_of(8);
  other_ef.ef_search = 200;
  EXPECT_EQ(image_of(*open_with(other_ef).index()), loaded);
}

HnswConfig with_options(std::uint64_t m, NeighborSelection selection, std::optional<std::uint32_t> seed,
                        bool retire_deleted, std::uint64_t build_threads = 1) {
  HnswConfig config = config_of(m);
  config.selection = selection;
  config.keep_pruned = selection == NeighborSelection::Diverse;
  config.seed = seed;
  config.retire_deleted = retire_deleted;
  config.retired_share = 0.1f;  // compactions come often
  config.build_threads = build_threads;
  return config;
}

// Under every set of options, a reopen with the same configuration answers
// exactly as the engine did before the close, after changes in the session
// before it (replayed into the stored graph at the open) and after changes
// made on a graph that was itself loaded. A retiring index's churn takes
// in deletes, replacing inserts and batches, compactions that fall due and
// one asked for; since its numbering does not follow the list's order, the
// replayed graph is the engine's own, number for number.
TEST_F(EngineSnapshotTest, EveryOptionSetReopensToTheSameAnswers) {
  struct Case {
    const char* name;
    HnswConfig config;
  };
  const Case cases[] = {
      {"defaults", config_of(8)},
      {"diverse and seeded", with_options(8, NeighborSelection::Diverse, 11, false)},
      {"retiring", with_options(8, NeighborSelection::Closest, std::nullopt, true)},
      {"retiring, diverse, seeded, built on the workers", with_options(6, NeighborSelection::Diverse, 5, true, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path_);
    fs::remove(path_ + "-snapshot");
    const bool retires = c.config.retire_deleted;
    int round = 0;
    const auto churn = [&](Engine& engine) {
      const std::string prefix = numbered("c", round++) + "-";
      insert_random(engine, prefix, 15);
      std::vector<Record> batch;
      for (int i = 0; i < 6; ++i) batch.push_back(Record{numbered(prefix + "b", i), random_vector(random_), std::nullopt, std::nullopt});
      if (retires) {
        for (int i = 0; i < 12; ++i) ASSERT_TRUE(engine.remove(numbered("m", 3 * i + round)));
        for (int i = 0; i < 6; ++i) {
          ASSERT_TRUE(engine.insert(numbered("m", 5 * i + 40 + round), random_vector(random_), std::nullopt));
        }
        for (int i = 0; i < 4; ++i) batch.push_back(Record{numbered("m", 7 * i + 90 + round), random_vector(random_), std::nullopt, std::nullopt});
      }
      ASSERT_TRUE(engine.insert_all(std::move(batch)));
      if (retires && round == 1) {
        ASSERT_TRUE(engine.remove(numbered("m", 140)));
        engine.compact_index();
      }
    };
    std::vector<std::vector<SearchResult>> before;
    HnswGraph graph;
    {
      Engine engine = open_with(c.config);
      insert_random(engine, "m", 150);
      churn(engine);
      before = answers(engine);
      graph = engine.index()->graph();
    }
    {
      Engine engine = open_with(c.config);
      EXPECT_EQ(answers(engine), before);
      if (retires) {
        EXPECT_EQ(engine.index()->graph(), graph);
      }
      churn(engine);
      before = answers(engine);
      graph = engine.index()->graph();
    }
    Engine engine = open_with(c.config);
    EXPECT_EQ(answers(engine), before);
    if (retires) {
      EXPECT_EQ(engine.index()->graph(), graph);
    }
    EXPECT_EQ(engine.index()->size() - engine.index()->retired_count(), engine.get_all().size());
  }
}

// A stored graph is loaded only for the configuration it was built with:
// one that differs in any single field but ef_search builds its own.
TEST_F(EngineSnapshotTest, AConfigurationDifferingInOneOptionBuildsAfresh) {
  const HnswConfig stored = with_options(8, NeighborSelection::Closest, 3, true);
  {
    Engine engine = open_with(stored);
    insert_random(engine, "m", 120);
  }
  std::vector<HnswConfig> changed(7, stored);
  changed[0].selection = NeighborSelection::Diverse;
  changed[1].keep_pruned = true;
  changed[2].seed = 4;
  changed[3].seed = std::nullopt;
  changed[4].retire_deleted = false;
  changed[5].retired_share = 0.3f;
  changed[6].build_threads = 2;
  for (const HnswConfig& config : changed) {
    // Each open stores what it built; the stored one is written back last.
    EXPECT_EQ(open_with(config).index()->config(), config);
    EXPECT_EQ(open_with(stored).index()->config(), stored);
  }
}

TEST_F(EngineSnapshotTest, AGraphRebuiltInTheSessionIsStoredAtTheClose) {
  std::vector<std::vector<SearchResult>> before;
  std::string graph;
  {
    Engine engine = open_with(config_of(8));
    insert_random(engine, "m", 200);
  }
  {
    Engine engine = open_with(config_of(8));
    ASSERT_TRUE(engine.remove("m7"));                                   // rebuilds the graph
    ASSERT_TRUE(engine.insert("m8", random_vector(random_), std::nullopt));  // a replacement rebuilds too
    graph = image_of(*engine.index());
    before = answers(engine);
  }
  Engine engine = open_with(config_of(8));
  EXPECT_EQ(image_of(*engine.index()), graph);
  EXPECT_EQ(answers(engine), before);
}

TEST_F(EngineSnapshotTest, AnotherConfigurationOrMetricBuildsAfresh) {
  std::string graph;
  {
    Engine engine = open_with(config_of(8));
    insert_random(engine, "m", 200);
    graph = image_of(*engine.index());
  }
  struct Case {
    const char* name;
    HnswConfig config;
    Metric metric;
  };
  const Case cases[] = {{"another m", config_of(6), Metric::Cosine},
                        {"another metric", config_of(8), Metric::Euclidean},
                        {"the first again", config_of(8), Metric::Cosine}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string built;
    {
      Engine engine = open_with(c.config, c.metric);
      EXPECT_EQ(engine.index()->config(), c.config);
      built = image_of(*engine.index());
      EXPECT_NE(built, graph);  // its level draws are new
    }
    // The graph built is what the companion keeps now.
    EXPECT_EQ(image_of(*open_with(c.config, c.metric).index()), built);
    graph = built;
  }
}

TEST_F(EngineSnapshotTest, RecordsChangedWithoutTheIndexAreNeverServedFromAStaleGraph) {
  {
    Engine engine = open_with(config_of(8));
    insert_random(engine, "m", 200);
  }
  {
    Engine engine = open_with(std::nullopt);
    ASSERT_TRUE(engine.remove("m3"));
    insert_random(engine, "n", 30);
  }
  Engine engine = open_with(config_of(8));
  EXPECT_EQ(engine.index()->size(), 229u);
  for (const auto& results : answers(engine)) {
    for (const SearchResult& result : results) {
      EXPECT_NE(result.id, "m3");
      EXPECT_TRUE(engine.get(result.id)) << result.id;
    }
  }
  // Every record takes part: the exhaustive answer for a stored vector is
  // itself, and so is the index's.
  const auto n5 = engine.get_all().find("n5");
  ASSERT_TRUE(n5);
  const auto vector = engine.get_all().vector(*n5);
  EXPECT_EQ(engine.search(std::vector<float>(vector.begin(), vector.end()), 1)[0].id, "n5");
}

// Bit flips anywhere in a companion that holds a graph: an open with the
// index either loads the very graph that was stored or builds one afresh.
TEST_F(EngineSnapshotTest, ADamagedStoredGraphIsNeverUsed) {
  std::string graph;
  {
    Engine engine = open_with(config_of(8));
    insert_random(engine, "m", 120);
  }
  {
    Engine engine = open_with(config_of(8));  // written with its graph when first built, loaded now
    graph = image_of(*engine.index());
  }
  const std::string companion = path_ + "-snapshot";
  std::ifstream in(companion, std::ios::binary);
  const std::string intact((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::mt19937 flips(3);
  for (int flip = 0; flip < 40; ++flip) {
    std::string damaged = intact;
    const std::size_t at = flips() % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << (flips() % 8)));
    std::ofstream(companion, std::ios::binary | std::ios::trunc).write(damaged.data(),
                                                                       static_cast<std::streamsize>(damaged.size()));
    const auto inode_of = [](const std::string& path) {
      struct stat status {};
      ::stat(path.c_str(), &status);
      return status.st_ino;
    };
    const ino_t damaged_inode = inode_of(companion);
    Engine engine = open_with(config_of(8));
    // Written afresh (a new file) when anything it needed was damaged;
    // otherwise it was used as it is, and then the graph is the stored one.
    if (inode_of(companion) == damaged_inode) {
      EXPECT_EQ(image_of(*engine.index()), graph) << at;
    }
    EXPECT_EQ(engine.index()->size(), 120u);
  }
}

// A graph whose stored form spans several of the companion's checked
// blocks is read by several workers at once: whole and exact, and refused
// (then built afresh and stored again) when a block past the first is
// damaged.
TEST_F(EngineSnapshotTest, AGraphOfManyBlocksLoadsOnSeveralWorkers) {
  const auto open_on_workers = [&] {
    EngineOptions options;
    options.index = config_of(8);
    options.worker_threads = 4;
    auto engine = Engine::open(path_, options);
    EXPECT_TRUE(engine) << engine.error().message();
    return std::move(*engine);
  };
  std::string graph;
  std::vector<std::vector<SearchResult>> before;
  {
    Engine engine = open_on_workers();
    std::vector<Record> records;
    // Enough records that the graph spans several blocks at 32-bit numbers.
    for (int i = 0; i < 12000; ++i) {
      std::string id = std::to_string(100000 + i);  // inserted in id order: no renumbering at the reopen
      records.push_back(Record{std::move(id), random_vector(random_), std::nullopt, std::nullopt});
    }
    ASSERT_TRUE(engine.insert_all(std::move(records)));
    graph = image_of(*engine.index());
    before = answers(engine);
  }
  ASSERT_GT(graph.size(), 3u * 256 * 1024);  // several blocks
  {
    Engine engine = open_on_workers();
    EXPECT_EQ(image_of(*engine.index()), graph);
    EXPECT_EQ(answers(engine), before);
  }
  const std::string companion = path_ + "-snapshot";
  std::string bytes;
  {
    std::ifstream in(companion, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The graph is the last section before the page of the checksum table:
  // this byte lies in its last blocks.
  const std::size_t at = bytes.size() - 4096 - graph.size() / 3;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  std::ofstream(companion, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                     static_cast<std::streamsize>(bytes.size()));
  struct stat damaged {};
  ASSERT_EQ(::stat(companion.c_str(), &damaged), 0);
  {
    Engine engine = open_on_workers();
    EXPECT_EQ(engine.index()->size(), 12000u);
  }
  struct stat rewritten {};
  ASSERT_EQ(::stat(companion.c_str(), &rewritten), 0);
  EXPECT_NE(rewritten.st_ino, damaged.st_ino);
}

}  // namespace
}  // namespace quorvel
