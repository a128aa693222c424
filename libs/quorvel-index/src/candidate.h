#pragma once

// The nodes that a search finds, with their distance keys, and their two
// orders. Internal to the index library and its tests.

#include <cstdint>

namespace quorvel {

// A node with a distance key.
struct Candidate {
  float key = 0.0f;
  std::uint64_t node = 0;

  friend bool operator==(const Candidate&, const Candidate&) = default;
};

// The Candidate order: by key; when neither key is smaller than the other
// (equal keys, or either key NaN), the larger node number is the greater.
// With NaN keys this is not transitive, which is why the index's heaps
// (candidate_heap.h) sift by hand instead of relying on the standard
// heap algorithms.
constexpr bool operator<(const Candidate& a, const Candidate& b) {
  if (a.key < b.key) return true;
  if (b.key < a.key) return false;
  return a.node < b.node;
}

// The order in which found Candidates are reported and selected: ascending
// key, NaN keys after every number, and ascending node number among equal
// keys (among NaN keys too). Unlike the Candidate order it is a strict weak
// order even with NaN, so it can drive a sort.
constexpr bool closer_first(const Candidate& a, const Candidate& b) {
  const bool a_nan = a.key != a.key;
  const bool b_nan = b.key != b.key;
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.key != b.key) return a.key < b.key;
  return a.node < b.node;
}

}  // namespace quorvel
