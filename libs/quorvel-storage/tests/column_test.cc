#include "quorvel/storage/column.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorvel {
namespace {

constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;

// Grown one value at a time, a column passes from the heap to mappings of
// its own (small-page tails, then whole huge pages) and keeps every value;
// each large one begins on a huge page boundary.
TEST(ColumnTest, KeepsItsValuesFromTheHeapToHugePageMappings) {
  Column<std::uint64_t> column;
  const std::uint64_t count = 3 * kHugePage / sizeof(std::uint64_t) + 5;
  std::size_t capacity = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    column.push_back(i * 7);
    if (column.capacity() != capacity) {
      capacity = column.capacity();
      if (capacity * sizeof(std::uint64_t) >= 1024 * 1024) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(column.data()) % kHugePage, 0u) << capacity;
      }
    }
  }
  for (std::uint64_t i = 0; i < count; ++i) ASSERT_EQ(column[i], i * 7) << i;
  // Sizes around the choices of a mapping: just under and at a huge page,
  // a quarter past one, and far from any.
  for (const std::size_t bytes :
       {kHugePage - 8, kHugePage, kHugePage * 5 / 4, kHugePage * 5 / 4 + 8, kHugePage * 3 / 2}) {
    Column<std::string> strings(bytes / sizeof(std::string), std::string(40, 'x'));
    strings.back() = "last";
    Column<std::string> copy = strings;
    EXPECT_EQ(copy.front(), std::string(40, 'x'));
    EXPECT_EQ(copy.back(), "last");
  }
}

}  // namespace
}  // namespace quorvel
