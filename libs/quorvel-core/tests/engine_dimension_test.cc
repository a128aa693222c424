// The fixed dimension, remove's answer, the error causes callers map to
// kinds, and search_many.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/testing/database_test.h"

namespace quorvel {
namespace {

class EngineDimensionTest : public testing::DatabaseTest<Engine> {
 protected:
  std::expected<Engine, EngineError> open_fixed(std::optional<std::size_t> length) {
    EngineOptions options;
    options.fixed_dimension = FixedDimension{length};
    return Engine::open(path_, options);
  }

  void store(std::vector<std::pair<std::string, std::vector<float>>> records) {
    Engine engine = open_ok();
    for (auto& [id, vector] : records) ASSERT_TRUE(engine.insert(id, std::move(vector), std::nullopt));
  }
};

TEST_F(EngineDimensionTest, TheFirstRecordFixesAnOpenDimension) {
  auto engine = open_fixed(std::nullopt);
  ASSERT_TRUE(engine) << engine.error().message();
  EXPECT_EQ(engine->dimension(), std::nullopt);
  EXPECT_TRUE(engine->check_dimension(7));  // anything goes until a record is stored

  ASSERT_TRUE(engine->insert("a", {1.0f, 2.0f, 3.0f}, std::nullopt));
  EXPECT_EQ(engine->dimension(), 3u);
  auto refused = engine->insert("b", {1.0f, 2.0f}, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Dimension error: the vector has 2 floats, the database's dimension is 3");
  EXPECT_EQ(engine->get("b"), std::nullopt);
  EXPECT_FALSE(engine->check_dimension(4));
  EXPECT_TRUE(engine->check_dimension(3));
}

TEST_F(EngineDimensionTest, AFailedFirstInsertLeavesTheDimensionOpen) {
  auto engine = open_fixed(std::nullopt);
  ASSERT_TRUE(engine);
  ASSERT_FALSE(engine->insert("a", {std::nanf("")}, std::nullopt));
  EXPECT_EQ(engine->dimension(), std::nullopt);
  ASSERT_TRUE(engine->insert("a", {1.0f, 2.0f}, std::nullopt));
  EXPECT_EQ(engine->dimension(), 2u);
}

TEST_F(EngineDimensionTest, StoredRecordsAreCheckedAtOpen) {
  store({{"a", {1.0f, 2.0f}}, {"b", {1.0f, 2.0f, 3.0f}}});
  struct Case {
    std::optional<std::size_t> length;
    std::string message;
  };
  const Case cases[] = {
      {std::nullopt, ": record \"b\" has 3 floats, record \"a\" has 2; a fixed dimension needs vectors of one length"},
      {2, ": record \"b\" has 3 floats, the dimension given is 2"},
  };
  for (const Case& c : cases) {
    auto engine = open_fixed(c.length);
    ASSERT_FALSE(engine);
    EXPECT_EQ(engine.error().kind, EngineError::Kind::Dimension);
    std::string expected("Dimension error: ");
    expected.append(path_).append(c.message);
    EXPECT_EQ(engine.error().message(), expected);
  }
  // Without the rule the same file opens as it always did.
  EXPECT_EQ(open_ok().get_all().size(), 2u);
}

TEST_F(EngineDimensionTest, AGivenLengthHoldsInAnEmptyFileAndOnUniformRecords) {
  {
    auto engine = open_fixed(2);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->dimension(), 2u);
    EXPECT_FALSE(engine->insert("a", {1.0f}, std::nullopt));
    ASSERT_TRUE(engine->insert("a", {1.0f, 0.0f}, std::nullopt));
  }
  auto engine = open_fixed(std::nullopt);
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->dimension(), 2u);
}

TEST_F(EngineDimensionTest, InsertAllNamesTheFirstRecordOfAnotherLength) {
  auto engine = open_fixed(std::nullopt);
  ASSERT_TRUE(engine);
  std::vector<Record> records = {{"a", {1.0f, 2.0f}, std::nullopt, std::nullopt},
                                 {"b", {1.0f, 2.0f}, std::nullopt, std::nullopt},
                                 {"c", {1.0f}, std::nullopt, std::nullopt}};
  std::size_t refused = 99;
  auto stored = engine->insert_all(records, &refused);
  ASSERT_FALSE(stored);
  EXPECT_EQ(refused, 2u);
  EXPECT_EQ(stored.error().message(), "Dimension error: the vector has 1 floats, the database's dimension is 2");
  EXPECT_TRUE(engine->get_all().empty());
  EXPECT_EQ(engine->dimension(), std::nullopt);

  records.pop_back();
  ASSERT_TRUE(engine->insert_all(records));
  EXPECT_EQ(engine->dimension(), 2u);
}

TEST_F(EngineDimensionTest, RemoveSaysWhetherARecordWasThere) {
  Engine engine = open_ok();
  ASSERT_TRUE(engine.insert("a", {1.0f}, std::nullopt));
  EXPECT_EQ(engine.remove("a"), true);
  EXPECT_EQ(engine.remove("a"), false);
  EXPECT_EQ(engine.remove("never"), false);
}

TEST_F(EngineDimensionTest, ErrorsCarryTheCauseACallerReactsTo) {
  Engine engine = open_ok();
  auto second = Engine::open(path_);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().storage.cause, StorageError::Cause::Locked);

  auto refused = engine.insert("a", {std::nanf("")}, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().storage.kind, StorageError::Kind::Serialization);
  EXPECT_EQ(refused.error().storage.cause, StorageError::Cause::Other);
}

TEST_F(EngineDimensionTest, SearchManyAnswersAsSearchDoesForEachRequest) {
  Engine engine = open_ok();
  for (int i = 0; i < 50; ++i) {
    const float x = static_cast<float>(i % 7);
    const std::string id = std::to_string(i);
    ASSERT_TRUE(engine.insert(id, {x, 1.0f, -x}, JsonValue(static_cast<JsonValue::Signed>(i % 3))));
  }
  std::vector<SearchRequest> requests;
  for (int q = 0; q < 9; ++q) {
    SearchRequest request{{static_cast<float>(q), 1.0f, 0.5f}, static_cast<std::uint64_t>(q + 1), {}, {}, {}};
    if (q % 2 == 1) request.filters.push_back({"", JsonValue(1)});  // no record passes: metadata is no object
    requests.push_back(std::move(request));
  }
  const auto answers = engine.search_many(requests);
  ASSERT_EQ(answers.size(), requests.size());
  for (std::size_t q = 0; q < requests.size(); ++q) EXPECT_EQ(answers[q], engine.search(requests[q])) << q;
  EXPECT_TRUE(engine.search_many({}).empty());
}

}  // namespace
}  // namespace quorvel
