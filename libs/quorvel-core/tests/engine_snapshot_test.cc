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

}  // namespace
}  // namespace quorvel
