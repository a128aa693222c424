#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "quorvel/json/json_reader.h"
#include "json_messages.h"
#include "messages.h"
#include "record_json.h"
#include "quorvel/storage/record.h"

namespace quorvel {
namespace {

namespace messages = storage::messages;

std::string write(const Record& record) {
  std::string out;
  auto ok = append_record_json(out, record);
  EXPECT_TRUE(ok) << (ok ? "" : ok.error());
  return out;
}

// Metadata of `levels` nested arrays around the number 1.
JsonValue nested_arrays(std::size_t levels) {
  JsonValue value(1);
  for (std::size_t i = 0; i < levels; ++i) value = JsonValue(JsonValue::Array{std::move(value)});
  return value;
}

TEST(RecordJsonTest, WritesAllFourKeysInOrder) {
  using Member = JsonValue::Member;
  EXPECT_EQ(write(Record{"a", {1.0f, 0.5f, -2.25f}, JsonValue::make_object({Member{"k", 1}}), {}}),
            R"({"id":"a","vector":[1.0,0.5,-2.25],"metadata":{"k":1},"timestamp":null})");
  EXPECT_EQ(write(Record{"a", {}, std::nullopt, std::nullopt}),
            R"({"id":"a","vector":[],"metadata":null,"timestamp":null})");
  EXPECT_EQ(write(Record{"t", {0.1f, 100.0f, 123456789.0f, 1e-7f, 1e13f}, JsonValue(), 7}),
            R"({"id":"t","vector":[0.1,100.0,123456790.0,1e-7,1e+13],"metadata":null,"timestamp":7})");
}

TEST(RecordJsonTest, EveryWrittenRecordReadsBackEqual) {
  const Record records[] = {
      Record{"q\"b\\t\t\xc3\xa9", {0.1f, -0.0f, std::numeric_limits<float>::max(),
                                   std::numeric_limits<float>::denorm_min()},
             JsonValue(JsonValue::Array{0.1, 1e16, -1, "x\n"}), 18446744073709551615u},
      Record{std::string("nul\0id", 6), {}, JsonValue(false), 0},
      Record{"deep", {1.0f}, nested_arrays(kMaxMetadataNesting), std::nullopt},
  };
  for (const Record& record : records) {
    auto read = read_record_json(write(record));
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, record);
  }
}

TEST(RecordJsonTest, ReadsObjectsInAnyOrderArraysAndIgnoresExtraKeys) {
  const struct {
    const char* text;
    Record expected;
  } cases[] = {
      {R"({"vector":[1,2],"id":"a"})", Record{"a", {1.0f, 2.0f}, {}, {}}},
      {R"( {"extra":{"x":[1,{}]},"id":"a","vector":[],"metadata":null,"timestamp":null} )",
       Record{"a", {}, {}, {}}},
      {R"(["a",[1,2],null,null])", Record{"a", {1.0f, 2.0f}, {}, {}}},
      {R"(["a",[-0],{"k":[true]},18446744073709551615])",
       Record{"a", {-0.0f}, JsonValue::make_object({JsonValue::Member{"k", JsonValue(JsonValue::Array{true})}}),
              18446744073709551615u}},
      // An integer converts straight to the nearest float; other numbers go
      // through the nearest double first.
      {R"({"id":"n","vector":[16777217,-16777217,1e0,18446744073709551616,0.1]})",
       Record{"n", {16777216.0f, -16777216.0f, 1.0f, 18446744073709551616.0f, 0.1f}, {}, {}}},
  };
  for (const auto& c : cases) {
    auto read = read_record_json(c.text);
    ASSERT_TRUE(read) << c.text << ": " << read.error().message();
    EXPECT_EQ(*read, c.expected) << c.text;
  }
}

TEST(RecordJsonTest, RefusesMalformedRecordsNamingWhatWasExpected) {
  const struct {
    const char* text;
    std::string message;
  } cases[] = {
      {R"({"vector":[]})", "missing field `id` at line 1 column 13"},
      {R"({"id":"a"})", "missing field `vector` at line 1 column 10"},
      {R"({"id":"a","vector":[1,null]})", std::string(messages::kExpectedF32) + " at line 1 column 23"},
      {R"({"id":"a","vector":[],"timestamp":-1})",
       std::string(messages::kExpectedTimestamp) + " at line 1 column 35"},
      {R"({"id":"a","vector":[],"timestamp":1.5})",
       std::string(messages::kExpectedTimestamp) + " at line 1 column 35"},
      {R"({"id":"a","vector":[],"timestamp":18446744073709551616})",
       std::string(messages::kExpectedTimestamp) + " at line 1 column 35"},
      {R"({"id":"a","id":"b","vector":[]})", "duplicate field `id` at line 1 column 11"},
      {R"({"id":1,"vector":[]})", std::string(messages::kExpectedString) + " at line 1 column 7"},
      {R"({"id":"a","vector":{}})", std::string(messages::kExpectedSequence) + " at line 1 column 20"},
      {R"(["a",[1,2]])", std::string(messages::kExpectedRecordOf4) + " at line 1 column 11"},
      {R"(["a",[],null,null,null])", std::string(messages::kExpectedRecordOf4) + " at line 1 column 18"},
      {R"("a")", std::string(messages::kExpectedRecord) + " at line 1 column 3"},
      {R"({"id":"a","vector":[],"extra":[1,]})", "trailing comma at line 1 column 34"},
      {R"({"id":"a","vector":[]} x)", "trailing characters at line 1 column 24"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"id\":\"\xff\",\"vector\":[]}", "invalid unicode code point at line 1 column 8"},
  };
  for (const auto& c : cases) {
    auto read = read_record_json(c.text);
    ASSERT_FALSE(read) << c.text;
    EXPECT_EQ(read.error().message(), c.message) << c.text;
  }
}

TEST(RecordJsonTest, AllowsMetadataAsDeepAsMetadataTextCanBeButNoDeeper) {
  // 127 levels of metadata inside the record's own object: 128 in all.
  const std::string open(kMaxMetadataNesting, '['), close(kMaxMetadataNesting, ']');
  auto deepest = read_record_json(R"({"id":"a","vector":[],"metadata":)" + open + close + "}");
  ASSERT_TRUE(deepest) << deepest.error().message();
  EXPECT_EQ(json_nesting_depth(*deepest->metadata), kMaxMetadataNesting);

  auto deeper = read_record_json(R"({"id":"a","vector":[],"metadata":[)" + open + close + "]}");
  ASSERT_FALSE(deeper);
  EXPECT_EQ(deeper.error().description, json::messages::kRecursionLimit);
}

TEST(RecordJsonTest, RefusesToWriteRecordsThatWouldNotReadBack) {
  const struct {
    Record record;
    const char* message;
  } cases[] = {
      {Record{"a", {1.0f, std::nanf("")}, {}, {}}, "vector element 1 is NaN, which has no JSON form"},
      {Record{"a", {-std::numeric_limits<float>::infinity()}, {}, {}},
       "vector element 0 is infinite, which has no JSON form"},
      {Record{"a", {}, nested_arrays(kMaxMetadataNesting + 1), {}}, "metadata is nested deeper than 127 levels"},
      {Record{"\xc3", {}, {}, {}}, "id is not valid UTF-8"},
      {Record{"a", {}, JsonValue::make_object({JsonValue::Member{"\xed\xa0\x80", 1}}), {}},
       "metadata holds text that is not valid UTF-8"},
      {Record{"a", {}, JsonValue(std::nan("")), {}}, "metadata is NaN, which has no JSON form"},
      {Record{"a", {},
              JsonValue::make_object({JsonValue::Member{"ok", 1.5},
                                      JsonValue::Member{"q\"", JsonValue::Array{0.0, JsonValue::make_object({
                                          JsonValue::Member{"x", -std::numeric_limits<double>::infinity()}})}}}),
              {}},
       R"(metadata["q\""][1]["x"] is infinite, which has no JSON form)"},
  };
  for (const auto& c : cases) {
    std::string out = "kept";
    auto ok = append_record_json(out, c.record);
    ASSERT_FALSE(ok);
    EXPECT_EQ(ok.error(), c.message);
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace
}  // namespace quorvel
