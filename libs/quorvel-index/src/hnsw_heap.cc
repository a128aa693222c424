#include <utility>

#include "quorvel/index/hnsw_index.h"

namespace quorvel {

// Sifting compares only parent and child and moves one level per step, so
// it ends after O(log size) steps even when NaN keys make the order
// inconsistent; the heap is then merely out of order, never broken.

void CandidateHeap::push(Candidate candidate) {
  items_.push_back(candidate);
  std::size_t child = items_.size() - 1;
  while (child > 0) {
    const std::size_t parent = (child - 1) / 2;
    if (!(items_[parent] < items_[child])) break;
    std::swap(items_[parent], items_[child]);
    child = parent;
  }
}

Candidate CandidateHeap::pop() {
  const Candidate top = items_.front();
  items_.front() = items_.back();
  items_.pop_back();
  const std::size_t size = items_.size();
  std::size_t parent = 0;
  while (true) {
    const std::size_t left = 2 * parent + 1;
    if (left >= size) break;
    const std::size_t right = left + 1;
    const std::size_t larger = (right < size && items_[left] < items_[right]) ? right : left;
    if (!(items_[parent] < items_[larger])) break;
    std::swap(items_[parent], items_[larger]);
    parent = larger;
  }
  return top;
}

std::vector<Candidate> CandidateHeap::take() {
  std::vector<Candidate> items = std::move(items_);
  items_.clear();
  return items;
}

}  // namespace quorvel
