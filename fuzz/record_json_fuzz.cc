// libFuzzer target of the stored-record reader, which reads every value of a
// database file when it is opened. For every input it checks:
// - a refused text names a position that exists in the text;
// - the loader's reader (which appends vector elements to a block of floats)
//   accepts and refuses exactly the same texts, with the same results;
// - an accepted record's metadata is nested at most kMaxMetadataNesting levels;
// - an accepted record is written, unless a vector element is infinite (a
//   number beyond the float range), and a refused write leaves its output
//   alone;
// - a written record reads back to the same record, floats compared bit for
//   bit, and is written as the same text again.
// A failed check aborts, which libFuzzer reports with the input.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <vector>

#include "fuzz_checks.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/storage/record.h"
#include "record_json.h"

namespace {

using quorvel::JsonValue;
using quorvel::Record;

[[noreturn]] void fail(std::string_view what, std::string_view detail) {
  quorvel::fuzz::fail("record_json_fuzz", what, detail);
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// Equal values whose floats have equal bits: unlike ==, 0.0 and -0.0 differ.
bool same_bits(const JsonValue& a, const JsonValue& b) {
  if (a.data().index() != b.data().index()) return false;
  if (const auto* number = a.get_if<JsonValue::Float>()) {
    return std::bit_cast<std::uint64_t>(*number) == std::bit_cast<std::uint64_t>(b.as<JsonValue::Float>());
  }
  if (const auto* array = a.get_if<JsonValue::Array>()) {
    return std::ranges::equal(*array, b.as<JsonValue::Array>(),
                              [](const JsonValue& x, const JsonValue& y) { return same_bits(x, y); });
  }
  if (const auto* object = a.get_if<JsonValue::Object>()) {
    return std::ranges::equal(*object, b.as<JsonValue::Object>(),
                              [](const JsonValue::Member& x, const JsonValue::Member& y) {
                                return x.key == y.key && same_bits(x.value, y.value);
                              });
  }
  return a == b;
}

bool same_bits(const Record& a, const Record& b) {
  const auto same_float = [](float x, float y) { return same_bits(x, y); };
  return a.id == b.id && std::ranges::equal(a.vector, b.vector, same_float) && a.timestamp == b.timestamp &&
         a.metadata.has_value() == b.metadata.has_value() && (!a.metadata || same_bits(*a.metadata, *b.metadata));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto record = quorvel::read_record_json(text);

  quorvel::FloatBlock block = {0.5f};  // a block that already holds another record's element
  const auto loaded = quorvel::read_record_json_into(text, block);
  if (loaded.has_value() != record.has_value()) fail("the loader's reader decides differently", text);
  if (!loaded && loaded.error().message() != record.error().message()) {
    fail("the loader's reader refuses differently", loaded.error().message());
  }
  if (loaded) {
    const Record as_loaded{loaded->id, std::vector<float>(block.begin() + 1, block.end()), loaded->metadata,
                           loaded->timestamp};
    if (loaded->vector_length + 1 != block.size() || !same_bits(as_loaded, *record)) {
      fail("the loader's reader reads another record", text);
    }
  }

  if (!record) {
    if (!quorvel::fuzz::position_exists(text, record.error())) {
      fail("position outside the text", record.error().message());
    }
    return 0;
  }
  if (record->metadata && quorvel::json_nesting_depth(*record->metadata) > quorvel::kMaxMetadataNesting) {
    fail("accepted metadata nested too deep", text);
  }

  std::string stored;
  if (const auto written = quorvel::append_record_json(stored, *record); !written) {
    if (std::ranges::all_of(record->vector, [](float element) { return std::isfinite(element); })) {
      fail("accepted record cannot be written", written.error());
    }
    if (!stored.empty()) fail("refused write changed its output", stored);
    return 0;
  }
  const auto again = quorvel::read_record_json(stored);
  if (!again) fail("stored form refused", again.error().message() + " in " + stored);
  if (!same_bits(*again, *record)) fail("stored form reads as another record", stored);
  std::string twice;
  if (!quorvel::append_record_json(twice, *again) || twice != stored) {
    fail("stored form written differently the second time", stored + " then " + twice);
  }
  return 0;
}
