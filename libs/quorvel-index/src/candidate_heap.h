#pragma once

// The index's binary heap of Candidates. Internal to the index library and
// its tests.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "candidate.h"

namespace quorvel {

// A binary max-heap of Candidates under the Candidate order. The index uses
// it in two ways: as a result heap, holding Candidates as they are, so its
// top is the farthest result (the larger node number among equally far
// ones); and as a candidate heap, holding Candidates with negated keys, so
// its top is the closest node not yet expanded (the larger node number
// among equally close ones). Each push and pop does at most one sift of
// O(log size) steps whatever the keys, NaN included. Not thread-safe.
class CandidateHeap {
 public:
  // Whether the heap holds no Candidate, and how many it holds.
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }

  // The greatest Candidate. REQUIRES: !empty().
  const Candidate& top() const { return items_.front(); }

  // Adds a copy of `candidate`.
  void push(Candidate candidate) {
    items_.push_back(candidate);
    sift_up(items_.size() - 1);
  }

  // Removes and returns the greatest Candidate. REQUIRES: !empty().
  Candidate pop() {
    const Candidate top = items_.front();
    items_.front() = items_.back();
    items_.pop_back();
    sift_down(0);
    return top;
  }

  // Removes every Candidate, keeping the storage.
  void clear() { items_.clear(); }

  // The Candidates in heap order (not sorted).
  std::span<const Candidate> items() const { return items_; }

  // Moves the Candidates out in heap order, leaving the heap empty.
  std::vector<Candidate> take() { return std::exchange(items_, {}); }

 private:
  // Sifting compares only parent and child and moves one level per step, so
  // it ends after O(log size) steps even when NaN keys make the order
  // inconsistent; the heap is then merely out of order, never broken.
  void sift_up(std::size_t child) {
    while (child > 0) {
      const std::size_t parent = (child - 1) / 2;
      if (!(items_[parent] < items_[child])) return;
      std::swap(items_[parent], items_[child]);
      child = parent;
    }
  }

  void sift_down(std::size_t parent) {
    const std::size_t size = items_.size();
    while (true) {
      const std::size_t left = 2 * parent + 1;
      if (left >= size) return;
      const std::size_t right = left + 1;
      const std::size_t larger = (right < size && items_[left] < items_[right]) ? right : left;
      if (!(items_[parent] < items_[larger])) return;
      std::swap(items_[parent], items_[larger]);
      parent = larger;
    }
  }

  std::vector<Candidate> items_;
};

}  // namespace quorvel
