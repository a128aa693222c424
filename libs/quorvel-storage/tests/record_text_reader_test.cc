#include "quorvel/storage/record_text_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quorvel/storage/stored_file.h"

namespace quorvel {
namespace {

// Runs each index of the range on a thread of its own, so that the chunks
// of a call are parsed concurrently.
void on_threads(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < count; ++i) threads.emplace_back([&body, i] { body(i, i + 1); });
  for (std::thread& thread : threads) thread.join();
}

// Record text of every shape the reader takes, `count` of them: both forms,
// with and without metadata and timestamps, vectors of several lengths
// (empty too) and numbers off the fast path.
std::vector<std::string> texts(int count) {
  std::vector<std::string> made;
  for (int i = 0; i < count; ++i) {
    const std::string id = "\"r" + std::to_string(i) + "\"";
    std::string vector = "[";
    for (int j = 0; j < i % 6; ++j) {
      if (j > 0) vector += ',';
      vector += std::to_string(i);
      vector += '.';
      vector += std::to_string(j);
      vector += "e-1";
    }
    vector += "]";
    switch (i % 3) {
      case 0: made.push_back("{\"id\":" + id + ",\"vector\":" + vector + "}"); break;
      case 1: made.push_back("[" + id + ", " + vector + ", {\"n\": " + std::to_string(i) + "}, " + std::to_string(i) + "]"); break;
      default: made.push_back("{\"timestamp\":7,\"vector\":" + vector + ",\"metadata\":[null],\"id\":" + id + "}"); break;
    }
  }
  return made;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) { return {texts.begin(), texts.end()}; }

TEST(RecordTextReaderTest, AppendsWhatTheStoredFormReaderReadsInOrderAcrossCalls) {
  RecordTextReader reader;
  RecordList list;
  const std::vector<std::string> first = texts(300);
  const std::vector<std::string> second = texts(70);  // the same ids again, and fewer chunks than before
  ASSERT_TRUE(reader.read(views(first), on_threads));
  EXPECT_EQ(reader.records(), 300u);
  EXPECT_EQ(reader.floats(), 750u);  // 0 + 1 + ... + 5 in every six records
  reader.append_to(list);
  EXPECT_EQ(reader.records(), 0u);
  ASSERT_TRUE(reader.read(views(second), on_threads));
  reader.append_to(list);
  ASSERT_TRUE(reader.read({}, on_threads));
  reader.append_to(list);
  ASSERT_EQ(list.size(), 370u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string& text = i < first.size() ? first[i] : second[i - first.size()];
    EXPECT_EQ(list[i].to_record(), read_stored_record(text).value()) << text;
  }
}

TEST(RecordTextReaderTest, NamesTheFirstBadValueAndKeepsNothingOfItsCall) {
  RecordTextReader reader;
  RecordList list;
  ASSERT_TRUE(reader.read(views(texts(3)), on_threads));
  reader.append_to(list);
  // Bad values in two chunks, the later chunk's parsed as soon as the
  // earlier one's.
  std::vector<std::string> values = texts(200);
  values[130] = R"({"id":"x","vector":[1,]})";
  values[150] = "not a record";
  const auto read = reader.read(views(values), on_threads);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().index, 130u);
  EXPECT_EQ(read.error().error, read_stored_record(values[130]).error());
  EXPECT_EQ(reader.records(), 0u);
  reader.append_to(list);
  EXPECT_EQ(list.size(), 3u);
}

}  // namespace
}  // namespace quorvel
