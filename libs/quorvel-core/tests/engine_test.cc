#include "quorvel/core/engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

class EngineTest : public testing::DatabaseTest<Engine> {};

std::vector<std::pair<std::string, std::optional<JsonValue>>> listing(const Engine& engine) {
  std::vector<std::pair<std::string, std::optional<JsonValue>>> out;
  for (const RecordView& record : engine.get_all()) out.emplace_back(record.id, record.metadata);
  return out;
}

TEST_F(EngineTest, EmptyDatabaseHasNothingToGet) {
  Engine engine = open_ok();
  EXPECT_EQ(engine.get("a"), std::nullopt);
  EXPECT_TRUE(engine.get_all().empty());
  EXPECT_TRUE(engine.remove("a"));  // Removing an unknown id succeeds.
}

TEST_F(EngineTest, InsertedRecordsComeBackAsCopiesWithoutTimestamp) {
  {
    Engine engine = open_ok();
    ASSERT_TRUE(engine.insert("with", {1.0f, 2.0f}, JsonValue("m")));
    ASSERT_TRUE(engine.insert("without", {}, std::nullopt));
    ASSERT_TRUE(engine.insert("odd length", {1.0f, 2.0f, 3.0f}, JsonValue(JsonValue::Array{})));
    EXPECT_EQ(engine.get("with"), (SearchResult{"with", JsonValue("m"), 0.0f}));
    EXPECT_EQ(engine.get("without"), (SearchResult{"without", std::nullopt, 0.0f}));
  }
  Engine engine = open_ok();
  ASSERT_EQ(engine.get_all().size(), 3u);
  for (const RecordView& record : engine.get_all()) EXPECT_EQ(record.timestamp, std::nullopt);
  EXPECT_EQ(engine.get_all()[0].to_record().vector, (std::vector<float>{1.0f, 2.0f, 3.0f}));  // "odd length"
  EXPECT_TRUE(engine.get_all()[2].vector.empty());                              // "without"
}

TEST_F(EngineTest, IdsAreComparedByteForByte) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("Id", {}, JsonValue(1)));
  ASSERT_TRUE(engine.insert("id", {}, JsonValue(2)));
  ASSERT_TRUE(engine.insert("\xc3\xa9", {}, JsonValue(3)));   // precomposed e-acute
  ASSERT_TRUE(engine.insert("e\xcc\x81", {}, JsonValue(4)));  // e + combining acute
  EXPECT_EQ(engine.get_all().size(), 4u);
  EXPECT_EQ(engine.get("id")->metadata, JsonValue(2));
  EXPECT_EQ(engine.get("e\xcc\x81")->metadata, JsonValue(4));
  EXPECT_EQ(engine.get("ID"), std::nullopt);
}

TEST_F(EngineTest, ReinsertedIdShowsOnlyTheNewerRecordBeforeAndAfterReopen) {
  {
    Engine engine = open_ok();
    ASSERT_TRUE(engine.insert("x", {1.0f}, JsonValue(1)));
    ASSERT_TRUE(engine.insert("w", {1.0f}, std::nullopt));
    ASSERT_TRUE(engine.insert("x", {2.0f}, JsonValue(2)));
    EXPECT_EQ(engine.get("x")->metadata, JsonValue(2));
    EXPECT_EQ(listing(engine), (decltype(listing(engine)){{"x", JsonValue(2)}, {"w", std::nullopt}}));
  }
  Engine engine = open_ok();
  EXPECT_EQ(listing(engine), (decltype(listing(engine)){{"w", std::nullopt}, {"x", JsonValue(2)}}));

  ASSERT_TRUE(engine.remove("x"));
  EXPECT_EQ(engine.get("x"), std::nullopt);
  EXPECT_EQ(listing(engine), (decltype(listing(engine)){{"w", std::nullopt}}));
}

TEST_F(EngineTest, FailuresCarryTheStoreErrorBehindTheEnginePrefix) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("a", {1.0f}, JsonValue(1)));

  auto refused = engine.insert("a", {std::nanf("")}, JsonValue(2));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "Storage error: Serialization error: vector element 0 is NaN, which has no JSON form");
  EXPECT_EQ(engine.get("a")->metadata, JsonValue(1));
  EXPECT_EQ(engine.get_all().size(), 1u);

  auto second = Engine::open(path_);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(), "Storage error: Database error: database is locked (file " + path_ + ")");
}

// Numbers that JSON cannot hold are refused wherever they sit in the
// metadata, by insert and insert_all alike, before anything is written.
TEST_F(EngineTest, NonFiniteMetadataIsRefusedBeforeAnythingIsWritten) {
  using Member = JsonValue::Member;
  {
    Engine engine = open_ok();
    auto refused =
        engine.insert("a", {1.0f}, JsonValue::make_object({Member{"scores", JsonValue::Array{1.0, std::nan("")}}}));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(),
              "Storage error: Serialization error: metadata[\"scores\"][1] is NaN, which has no JSON form");

    std::size_t at = 0;
    const std::vector<Record> records = {Record{"b", {1.0f}, JsonValue(1), {}},
                                         Record{"c", {}, JsonValue(-HUGE_VAL), {}}};
    auto all = engine.insert_all(records, &at);
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error().message(),
              "Storage error: Serialization error: metadata is infinite, which has no JSON form");
    EXPECT_EQ(at, 1u);
    EXPECT_TRUE(engine.get_all().empty());
  }
  EXPECT_TRUE(open_ok().get_all().empty());
}

}  // namespace
}  // namespace quorvel
