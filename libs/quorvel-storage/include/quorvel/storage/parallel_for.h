#pragma once

#include <cstddef>
#include <functional>

namespace quorvel {

// Runs body(begin, end) over sub-ranges that together cover [0, count),
// possibly on several threads at once, and returns when all have finished.
using ParallelFor =
    std::function<void(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body)>;

// Runs the body over the whole range on the calling thread.
void run_serially(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace quorvel
