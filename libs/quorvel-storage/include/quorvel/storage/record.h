#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/storage/json_reader.h"
#include "quorvel/storage/json_value.h"

namespace quorvel {

// One stored entry. A plain value: it owns everything it holds and a copy is
// a deep copy.
struct Record {
  std::string id;                         // UTF-8; the record's key in the file
  std::vector<float> vector;              // any length, empty allowed
  std::optional<JsonValue> metadata;      // absent when none was given
  std::optional<std::uint64_t> timestamp; // whole seconds; absent unless set by a caller

  friend bool operator==(const Record&, const Record&) = default;
};

// Levels of arrays and objects that stored metadata may have: every value
// that metadata text can express (see JsonReader::kDefaultNestingBudget).
inline constexpr std::size_t kMaxMetadataNesting = JsonReader::kDefaultNestingBudget - 1;

// Appends the stored JSON form of `record` to `out`:
// {"id":...,"vector":[...],"metadata":...,"timestamp":...} in compact form,
// with absent metadata or timestamp written as null.
//
// Fails, leaving `out` as it was, when the form would not read back: a vector
// element that is NaN or infinite (the message names its position), or
// metadata nested deeper than kMaxMetadataNesting levels.
[[nodiscard]] std::expected<void, std::string> append_record_json(std::string& out,
                                                                  const Record& record);

// Reads a record from its stored JSON form: an object with the keys "id"
// (string, required), "vector" (array of numbers, required), "metadata" (any
// value; null or missing means absent) and "timestamp" (null, missing, or an
// integer 0..2^64-1) in any order, each at most once, other keys ignored; or
// the array form [id, vector, metadata, timestamp]. Vector elements: an
// integer converts directly to the nearest float, any other number goes
// through the nearest double. Nesting is limited to kMaxMetadataNesting + 1
// levels, counting the record itself.
[[nodiscard]] std::expected<Record, JsonError> read_record_json(std::string_view bytes);

}  // namespace quorvel
