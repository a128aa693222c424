#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_value.h"

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
// that metadata text can express (see kDefaultJsonNestingBudget).
inline constexpr std::size_t kMaxMetadataNesting = kDefaultJsonNestingBudget - 1;

}  // namespace quorvel
